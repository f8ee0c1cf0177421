#pragma once

#include "core/base/Result.h"

#include <QString>

class ToolRunner;
class WorkspacePaths;

// The tools' results carry no notice of their own: a failure is only its
// cause, and the caller words it for its command.

// Unpacks the archive into the directory with the workspace's 7-Zip. Every
// path is taken literally (no wildcards). Done only when 7-Zip ran to its end
// and reported success (exit code 0, or 1 for warnings).
Result ExtractArchive(ToolRunner& runner, const WorkspacePaths& paths, const QString& archivePath,
                      const QString& outputDirectory);

// Signs the input APK into the output with the workspace's platform key pair,
// in-process, behind the runner's busy display ("Signing files"). An output
// that names the input is refused; one that exists already is replaced. The
// key pair is checked first (a damaged key, or one that is not the
// certificate's, is named as such), and the output must be an APK signed with
// it: a ZIP whose v1 signature block verifies its signature file and names the
// platform certificate. On failure nothing is left at the output. The output
// is scratch: it is not flushed to the disk.
// keyPair, when given, stands in for the workspace's platform pair (a
// customer's): certificate PEM or DER, unencrypted PKCS#8 key PEM or DER.
struct ApkKeyPair {
    QString certificate;
    QString privateKey;
};
Result SignArchive(ToolRunner& runner, const WorkspacePaths& paths, const QString& inputPath,
                   const QString& outputPath, const ApkKeyPair& keyPair = {});
