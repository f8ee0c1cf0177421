#pragma once

#include "core/base/FileHelpers.h"
#include "core/crypto/SigningKey.h"

#include <QByteArray>
#include <QString>

#include <memory>

// Signing an APK with a key pair, natively: the v1 (JAR) signature and the
// APK Signature Scheme v2 and v3 blocks, laid out as signapk lays them out.

// Signs the APK at inputPath into outputPath with the key, as signapk
// chooses the schemes: v1 signature, v2 and v3 blocks, digests chosen by the
// APK's minSdkVersion, earlier signatures replaced. Each member's data is
// copied as it lies in the input (a compressed one is not deflated again),
// stored members aligned as signapk aligns them (4 bytes, native libraries
// on 4096-byte pages); so the members' contents, the v1 signature files and
// the alignment are signapk's, the compressed bytes the input's. The output
// is written under a temporary name beside it and renamed into place only
// when complete; on failure nothing is left and outputPath is untouched.
// False with a precise cause for bad input. The members are read and
// inflated once for the v1 digest (checked against their CRC-32 and size) on
// one worker thread per core, a bounded amount (some 16 MB) ahead of the
// writing.
bool SignApk(const QString& inputPath, const QString& outputPath, const SigningKey& key,
             QString* error);
// The same into an open temporary file of the caller's, left uncommitted
// (a failure may leave part of the output in it).
bool SignApkInto(const QString& inputPath, FileHelpers::TemporaryFile& output,
                 const SigningKey& key, QString* error);

// Whether the APK at apkPath can be signed: every check the signing runs on
// its input, without writing anything. The members are ZIP's stored or
// deflated ones, none twice, none whose name holds a line break (the v1
// manifest could not name it), each reading back to its CRC-32; the
// AndroidManifest.xml is there and readable; an earlier META-INF/MANIFEST.MF
// has a well-formed main section. False with the cause SignApk would give.
bool CheckSignable(const QString& apkPath, QString* error);

// The minSdkVersion a binary AndroidManifest.xml declares (1 without one).
// False with the cause when the document is malformed.
bool ApkMinSdkVersion(const QByteArray& binaryManifest, int* minSdk, QString* error);
