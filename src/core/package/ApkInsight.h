#pragma once

#include "core/base/MemoryBudget.h"

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>

// What an APK says of itself, read in-process: its manifest's identity, the
// ABIs of its native libraries and the certificates it is signed with.

struct ApkFacts {
    QString packageName;
    qint64 versionCode = -1; // -1: absent
    QString versionName;     // resolved from the resources when a reference
    int minSdk = -1;         // -1: absent; a codename: kDevelopmentSdkLevel (format/BinaryXml.h)
    int targetSdk = -1;      // the same (as aapt, no default from minSdk)
    QStringList abis;        // from lib/<abi>/*.so members, sorted
    QByteArray v1CertificateSha256; // of the first signer's certificate (DER); empty if unsigned
    QByteArray v2CertificateSha256; // of the first signer's first certificate in the signing block
    QByteArray v3CertificateSha256;
    QList<int> signatureSchemes; // 1, 2, 3 present
    qint64 size = 0;
};

// Reads an APK from a random-access device (a file, or a window onto a stored
// member of a package). Bounded: reads the central directory,
// AndroidManifest.xml, resources.arsc only when versionName is a reference,
// the META-INF signature block and the signing block, each within a size
// limit. Hostile input gives false with the cause.
// What it holds whole (the manifest, a resource table, signature files, the
// signing block) is taken from the budget, the process's one unless told: a
// member larger than what is left there is refused, named with the memory it
// needs.
bool ReadApkFacts(QIODevice& apk, ApkFacts* facts, QString* error,
                  MemoryBudget& budget = ProcessMemoryBudget());
bool ReadApkFacts(const QString& apkPath, ApkFacts* facts, QString* error);

// True when any certificate (v1, v2 or v3) of the facts is the given DER
// certificate.
bool SignedWith(const ApkFacts& facts, const QByteArray& certificateDer);
