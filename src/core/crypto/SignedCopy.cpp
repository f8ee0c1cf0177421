#include "core/crypto/SignedCopy.h"

#include "core/base/ErrorText.h"
#include "core/crypto/DigestPipe.h"
#include "core/crypto/WholeFileSignature.h"
#include "core/crypto/WrittenPackageCheck.h"

bool WriteSignedCopy(const QString& archive, const QList<ArchiveChange>& changes,
                     const QString& certificate, const QString& privateKey,
                     FileHelpers::TemporaryFile& out,
                     const std::function<bool(int percent)>& progress, QString* error,
                     WrittenPackageCheck* check) {
    WholeFileSigner signer;
    QByteArray otacert;
    if (!signer.loadKey(certificate, privateKey, error) ||
        !OtaCertData(certificate, &otacert, error))
        return false;
    bool stopped = false;
    QString writeError;
    DigestPipe digest(signer);
    const ByteSink sink = [&](const char* data, qint64 size) {
        digest.push(data, size);
        if (check)
            check->take(data, size);
        return out.write(data, size, &writeError);
    };
    const ArchiveProgress percent = [&](qint64 done, qint64 total) {
        if (progress && !progress(total > 0 ? int(done * 100 / total) : 100))
            stopped = true;
    };
    QString copyError;
    const bool written = WriteEditedCompactArchive(
        archive, changes, {{QLatin1String(kOtaCertMember), otacert}}, sink, &copyError, percent,
        KeptInSignedPackage, [&stopped] { return stopped; },
        [check](const ZipCentralEntry& entry) {
            if (check)
                check->expect(entry);
        });
    digest.finish();
    if (stopped)
        return Fail(error, QStringLiteral("stopped"));
    if (!written)
        return Fail(error, writeError.isEmpty() ? copyError : writeError);
    QByteArray tail;
    if (!signer.finish(&tail, error))
        return false;
    if (check)
        check->take(tail.constData(), tail.size());
    return out.write(tail, error) && out.sync(error);
}
