#pragma once

#include "core/Result.h"

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

enum class SigningKey { Platform, Test };

// Signs the input into the output with the workspace's signing tool: with the
// platform key pair (an APK), or with the test key pair and a whole-file
// signature. Done only when the tool exited with 0 and left a non-empty
// output; otherwise any output it left is removed. An output that names the
// input is refused. An output that exists already is replaced.
// With the platform key, the key pair is checked before the tool runs (a
// damaged key, or one that is not the certificate's, is named as such), and
// the output must be an APK signed with it: a ZIP whose v1 signature block
// verifies its signature file and names the platform certificate.
Result SignArchive(ToolRunner& runner, const WorkspacePaths& paths, const QString& inputPath,
                   const QString& outputPath, SigningKey key);
