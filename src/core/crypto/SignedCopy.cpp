#include "core/crypto/SignedCopy.h"

#include "core/base/ErrorText.h"
#include "core/base/TestHooks.h"
#include "core/crypto/DigestPipe.h"
#include "core/crypto/WholeFileSignature.h"
#include "core/crypto/WrittenPackageCheck.h"
#include "core/format/ArchiveOutput.h"
#include "core/format/ZipFormat.h"

#include <fcntl.h>

namespace {

// Writeback is started every this many bytes, so that the final flush finds
// little left to write.
constexpr qint64 kWritebackStep = 32 * 1024 * 1024;

} // namespace

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
    quint64 writtenBack = 0;
    QByteArray altered;
    const ByteSink sink = [&](const char* data, qint64 size) {
        if (!held)
            digest.push(data, size);
        if (const OutgoingBytesHook& hook = OutgoingBytesHookForTesting()) {
            altered = QByteArray(data, size);
            hook(static_cast<qint64>(sent), altered.data(), size);
            data = altered.constData();
        }
        if (!out.write(data, size, &writeError))
            return false;
        // The check takes the bytes as they were written, not as they were
        // signed.
        if (!held && check)
            check->take(data, size);
        sent += static_cast<quint64>(size);
        if (sent - writtenBack >= static_cast<quint64>(kWritebackStep)) {
            // Best effort: a file system without it flushes it all at the end.
            ::sync_file_range(out.handle(), static_cast<off_t>(writtenBack),
                              static_cast<off_t>(sent - writtenBack), SYNC_FILE_RANGE_WRITE);
            writtenBack = sent;
        }
        return true;
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
    if (!out.write(tail, error))
        return false;
    if (check) {
        check->take(tail.constData(), tail.size());
        check->signedAs(signer.signedDigest(), signer.signedBytes());
    }
    return out.sync(error);
}
