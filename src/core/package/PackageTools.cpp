#include "core/package/PackageTools.h"

#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/ToolRunner.h"
#include "core/base/WorkspacePaths.h"

#include "core/base/TestHooks.h"
#include "core/crypto/ApkSigner.h"
#include "core/crypto/SigningKey.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/ZipMemberReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

namespace {

template <typename T, void (*Free)(T*)> struct OpenSslFree {
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, OpenSslFree<BIO, BIO_free_all>>;
using Pkcs7 = std::unique_ptr<PKCS7, OpenSslFree<PKCS7, PKCS7_free>>;
using Store = std::unique_ptr<X509_STORE, OpenSslFree<X509_STORE, X509_STORE_free>>;

// The helpers below leave their cause in the caller's string.
Bio memoryBio(const QByteArray& bytes) {
    return Bio(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
}

// The platform key pair the bundle gives: a certificate and its private key
// that belong together, each named in the cause as the platform's.
bool loadPlatformKeyPair(const WorkspacePaths& paths, SigningKey* key, QString* error) {
    const QString certificatePath = paths.keyFile(QStringLiteral("platform.x509.pem"));
    const QString keyPath = paths.keyFile(QStringLiteral("platform.pk8"));
    QString cause;
    SigningKey::Fault fault = SigningKey::Fault::None;
    if (key->load(certificatePath, keyPath, &cause, &fault))
        return true;
    switch (fault) {
    case SigningKey::Fault::Certificate:
        return Fail(error, QStringLiteral("the platform certificate \"%1\" is missing or "
                                          "damaged: %2")
                               .arg(certificatePath, cause));
    case SigningKey::Fault::Mismatch:
        return Fail(error, QStringLiteral("the platform key \"%1\" does not belong to the "
                                          "platform certificate \"%2\"")
                               .arg(keyPath, certificatePath));
    default:
        return Fail(error, QStringLiteral("the platform key \"%1\" is missing or damaged: %2")
                               .arg(keyPath, cause));
    }
}

// A signed APK is a ZIP the program reads whose v1 signature holds: a
// META-INF/*.SF signature file with its PKCS#7 block (.RSA, .DSA or .EC)
// that signs it and names the platform certificate as its signer.
bool checkSignedApk(const QString& apk, X509* platform, QString* error) {
    QList<ArchiveMember> members;
    QString cause;
    if (!ReadArchiveMembers(apk, &members, &cause))
        return Fail(error, QStringLiteral("the signed APK is not a readable ZIP: %1").arg(cause));
    QString signatureFile;
    QString block;
    for (const ArchiveMember& member : members) {
        const QString& name = member.name;
        if (!name.startsWith(QLatin1String("META-INF/")) || name.indexOf(QLatin1Char('/'), 9) > 0)
            continue;
        if (name.endsWith(QLatin1String(".SF"), Qt::CaseInsensitive))
            signatureFile = name;
    }
    const QString base = signatureFile.left(signatureFile.size() - 3);
    for (const ArchiveMember& member : members) {
        for (const char* extension : {".RSA", ".DSA", ".EC"}) {
            if (!signatureFile.isEmpty() &&
                member.name.compare(base + QLatin1String(extension), Qt::CaseInsensitive) == 0)
                block = member.name;
        }
    }
    if (signatureFile.isEmpty() || block.isEmpty())
        return Fail(error, QStringLiteral("the signed APK carries no signature (META-INF/*.SF "
                                          "and its signature block)"));
    // Both are small; anything beyond a few MB is not a signature.
    constexpr qint64 kLimit = 64 << 20;
    QByteArray sf;
    QByteArray der;
    if (!ReadZipMember(apk, signatureFile, kLimit, &sf, &cause) ||
        !ReadZipMember(apk, block, kLimit, &der, &cause))
        return Fail(error, QStringLiteral("the signed APK: %1").arg(cause));

    Bio blockBio = memoryBio(der);
    const Pkcs7 pkcs7(d2i_PKCS7_bio(blockBio.get(), nullptr));
    if (!pkcs7 || !PKCS7_type_is_signed(pkcs7.get()))
        return Fail(error, QStringLiteral("the signature block %1 of the signed APK is "
                                          "damaged")
                               .arg(block));
    const Store store(X509_STORE_new());
    Bio content = memoryBio(sf);
    // The certificate is compared below; no chain to a trusted root is asked for.
    if (PKCS7_verify(pkcs7.get(), nullptr, store.get(), content.get(), nullptr,
                     PKCS7_NOVERIFY | PKCS7_BINARY) != 1)
        return Fail(error, QStringLiteral("the signature block %1 does not verify the "
                                          "signature file %2")
                               .arg(block, signatureFile));
    STACK_OF(X509)* signers = PKCS7_get0_signers(pkcs7.get(), nullptr, 0);
    const bool platformSigned =
        signers && sk_X509_num(signers) == 1 && X509_cmp(sk_X509_value(signers, 0), platform) == 0;
    sk_X509_free(signers);
    if (!platformSigned)
        return Fail(error, QStringLiteral("the signed APK is not signed with the platform "
                                          "certificate"));
    return true;
}

} // namespace

namespace {

// A tool's failure: the cause alone, worded for the caller's command by it.
Result toolFailed(const QString& cause) {
    return Result::failed(Notice{}, cause);
}

} // namespace

Result ExtractArchive(ToolRunner& runner, const WorkspacePaths& paths, const QString& archivePath,
                      const QString& outputDirectory) {
    if (archivePath.isEmpty() || outputDirectory.isEmpty())
        return toolFailed(QStringLiteral("no archive or no output directory"));
    ToolCommand command;
    command.program = paths.extractorTool();
    QString archive = archivePath;
    QString output = outputDirectory;
    // 7-Zip replaces every '*' of its -o path with the archive's name, -spd
    // or not. Such a path is given relative to its deepest existing
    // directory, which becomes the working directory.
    if (output.contains(QLatin1Char('*'))) {
        archive = QFileInfo(archivePath).absoluteFilePath();
        QString existing = QFileInfo(outputDirectory).absoluteFilePath();
        while (!FileHelpers::IsDirectory(existing))
            existing = QFileInfo(existing).absolutePath();
        output = QDir(existing).relativeFilePath(QFileInfo(outputDirectory).absoluteFilePath());
        if (output.contains(QLatin1Char('*')))
            return toolFailed(QStringLiteral("7-Zip cannot make a directory whose name holds '*'"));
        command.workingDirectory = existing;
    }
    // -spd: '*' and '?' in a file name are no wildcards; -bsp1: progress.
    command.arguments = QStringList{
        QStringLiteral("x"),           QStringLiteral("-spd"), QStringLiteral("-bsp1"), archive,
        QStringLiteral("-o") + output, QStringLiteral("-y"),
    };
    command.busyText = QStringLiteral("Decompressing files");
    command.centre = true;
    command.exitCodeMeansSuccess = SevenZipExitCodeMeansSuccess;
    command.reportsPercent = true;
    const ToolRunResult result = runner.run(command);
    if (!result.succeeded())
        return toolFailed(result.describe(QStringLiteral("7-Zip")));
    return Result::done();
}

Result SignArchive(ToolRunner& runner, const WorkspacePaths& paths, const QString& inputPath,
                   const QString& outputPath, const ApkKeyPair& keyPair) {
    if (inputPath.isEmpty() || outputPath.isEmpty())
        return toolFailed(QStringLiteral("no input or no output"));
    if (FileHelpers::IsSameFile(inputPath, outputPath))
        return toolFailed(QStringLiteral("the output names the input"));
    if (FileHelpers::PathExists(outputPath) && !FileHelpers::RemoveFile(outputPath))
        return toolFailed(QStringLiteral("cannot remove the old \"%1\"").arg(outputPath));

    // The pair is checked as it is loaded; the signed copy is checked
    // against its certificate.
    QString cause;
    SigningKey key;
    if (keyPair.certificate.isEmpty() ? !loadPlatformKeyPair(paths, &key, &cause)
                                      : !key.load(keyPair.certificate, keyPair.privateKey, &cause))
        return toolFailed(cause);

    // The signed copy is scratch (whoever keeps its bytes flushes its own
    // copy): it is renamed into place without being flushed to the disk.
    const bool signedAndChecked = runner.runInBackground(QStringLiteral("Signing files"), [&] {
        FileHelpers::TemporaryFile file(outputPath);
        if (!file.open(&cause) || !SignApkInto(inputPath, file, key, &cause) ||
            !file.commitScratch(&cause))
            return false;
        FaultPoint("apk:signed");
        return checkSignedApk(outputPath, key.certificate(), &cause);
    });
    if (signedAndChecked)
        return Result::done();
    // The signer leaves nothing on failure; a signed copy that fails the
    // check is removed.
    if (FileHelpers::PathExists(outputPath) && !FileHelpers::IsDirectory(outputPath))
        FileHelpers::RemoveFile(outputPath);
    return toolFailed(cause);
}
