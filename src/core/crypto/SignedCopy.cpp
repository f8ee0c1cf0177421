#include "core/crypto/SignedCopy.h"

#include "core/base/ErrorText.h"
#include "core/crypto/DigestPipe.h"
#include "core/crypto/WholeFileSignature.h"
#include "core/crypto/WrittenPackageCheck.h"
#include "core/format/ArchiveOutput.h"
#include "core/format/ZipFormat.h"

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
    // Every byte of the output reaches the digest and the check here, in
    // the order of the file.
    const auto read = [&](const char* data, qint64 size) {
        digest.push(data, size);
        if (check)
            check->take(data, size);
    };
    // An added file's entry is held back from the readers until its local
    // header is completed after its data, then read back from the file.
    quint64 sent = 0;
    bool held = false;
    quint64 heldFrom = 0;
    const ByteSink sink = [&](const char* data, qint64 size) {
        if (!held)
            read(data, size);
        sent += static_cast<quint64>(size);
        return out.write(data, size, &writeError);
    };
    const SinkPatching patching{
        [&] {
            held = true;
            heldFrom = sent;
        },
        [&](quint64 offset, const char* data, qint64 size) {
            return archive_edit::writeAt(out.handle(), offset, data, size, &writeError);
        },
        [&] {
            QByteArray block;
            for (quint64 at = heldFrom; at < sent;) {
                block.resize(static_cast<qsizetype>(
                    qMin<quint64>(static_cast<quint64>(archive_edit::kChunk), sent - at)));
                if (!ReadZipBytesAt(out.handle(), at, block.data(), block.size(), &writeError))
                    return false;
                read(block.constData(), block.size());
                at += static_cast<quint64>(block.size());
            }
            held = false;
            return true;
        }};
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
        },
        &patching);
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
