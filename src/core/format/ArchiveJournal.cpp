#include "core/format/ArchiveJournal.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/TestHooks.h"
#include "core/base/UniqueFd.h"
#include "core/format/Deflate.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"

#include <QDateTime>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSet>

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace archive_edit;

namespace {

// Journal: magic, length of the archive before the edit, offset and length
// of the bytes saved from it, the identity of the archive (ArchiveIdentity),
// the saved bytes, CRC-32 of everything before it, end marker. The identity
// tells a journal left for another file that has since taken the archive's
// place; it is checked before the CRC, so that neither a foreign nor a
// damaged journal is ever replayed.
constexpr char kJournalMagic[8] = {'C', 'V', 'N', 'J', 'R', 'N', 'L', '3'};
constexpr char kJournalEnd[8] = {'C', 'V', 'N', 'J', 'E', 'N', 'D', '3'};
constexpr qint64 kJournalHeaderSize = 8 + 7 * 8;
constexpr quint64 kFingerprintSpan = 64 * 1024;
constexpr qint64 kJournalTrailerSize = 4 + 8;

QByteArray encodeJournalHeader(const JournalHeader& header) {
    QByteArray out(kJournalMagic, sizeof kJournalMagic);
    for (const quint64 value :
         {header.oldLength, header.savedOffset, header.savedLength, header.identity.fingerprint,
          header.identity.device, header.identity.inode, header.identity.birth})
        AppendLe64(&out, value);
    return out;
}

} // namespace

namespace archive_edit {

bool identityOf(int fd, quint64 savedOffset, ArchiveIdentity* identity, QString* error) {
    struct statx info;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &info) != 0)
        return Fail(error, QStringLiteral("cannot read the archive: %1").arg(systemError()));
    identity->device = (static_cast<quint64>(info.stx_dev_major) << 32) | info.stx_dev_minor;
    identity->inode = info.stx_ino;
    identity->birth =
        (info.stx_mask & STATX_BTIME)
            ? static_cast<quint64>(info.stx_btime.tv_sec) * 1000000000u + info.stx_btime.tv_nsec
            : 0;
    const quint64 span = qMin(kFingerprintSpan, savedOffset);
    QByteArray bytes(static_cast<qsizetype>(span), Qt::Uninitialized);
    if (!ReadZipBytesAt(fd, savedOffset - span, bytes.data(), bytes.size(), error))
        return false;
    identity->fingerprint = crcOf(kCrcStart, bytes.constData(), bytes.size());
    return true;
}

// The journal saves the archive's bytes from savedOffset to its end. It is
// written under a temporary name and renamed into place once complete and
// flushed: a journal under its own name is always whole unless damaged.
bool writeJournal(const QString& archive, int archiveFd, quint64 savedOffset, quint64 oldLength,
                  Progress& progress, QString* error) {
    const QString journal = ArchiveJournalPath(archive);
    FileHelpers::TemporaryFile file(journal);
    const bool written = [&] {
        JournalHeader header;
        header.oldLength = oldLength;
        header.savedOffset = savedOffset;
        header.savedLength = oldLength - savedOffset;
        if (!file.open(error) || !identityOf(archiveFd, savedOffset, &header.identity, error))
            return false;
        const QByteArray encoded = encodeJournalHeader(header);
        quint32 crc = crcOf(kCrcStart, encoded.constData(), encoded.size());
        BufferedOutput out(0, [&file](quint64 offset, const char* data, qint64 size, QString* e) {
            return writeAt(file.handle(), offset, data, size, e);
        });
        if (!out.write(encoded, error))
            return false;
        QByteArray block;
        for (quint64 pos = savedOffset; pos < oldLength;) {
            block.resize(static_cast<qsizetype>(qMin<quint64>(kChunk, oldLength - pos)));
            if (!ReadZipBytesAt(archiveFd, pos, block.data(), block.size(), error) ||
                !out.write(block, error))
                return false;
            crc = crcOf(crc, block.constData(), block.size());
            pos += static_cast<quint64>(block.size());
            progress.add(block.size());
        }
        QByteArray trailer;
        AppendLe32(&trailer, crc);
        trailer.append(kJournalEnd, sizeof kJournalEnd);
        return out.write(trailer, error) && out.flush(error) && file.commit(error);
    }();
    if (!written)
        return Fail(error, QStringLiteral("cannot write the journal %1: %2").arg(journal, *error));
    return true;
}

// Reads the header and checks that the journal is as long as it says and
// ends with its marker. False for anything else: not a journal, or a damaged
// one.
bool readJournalHeader(int fd, JournalHeader* header, quint32* storedCrc) {
    struct stat info;
    if (fstat(fd, &info) != 0 ||
        static_cast<quint64>(info.st_size) < kJournalHeaderSize + kJournalTrailerSize)
        return false;
    const auto journalSize = static_cast<quint64>(info.st_size);
    char bytes[kJournalHeaderSize];
    char trailer[kJournalTrailerSize];
    QString ignored;
    if (!ReadZipBytesAt(fd, 0, bytes, kJournalHeaderSize, &ignored) ||
        std::memcmp(bytes, kJournalMagic, sizeof kJournalMagic) != 0)
        return false;
    header->oldLength = ReadLe64(bytes + 8);
    header->savedOffset = ReadLe64(bytes + 16);
    header->savedLength = ReadLe64(bytes + 24);
    header->identity.fingerprint = ReadLe64(bytes + 32);
    header->identity.device = ReadLe64(bytes + 40);
    header->identity.inode = ReadLe64(bytes + 48);
    header->identity.birth = ReadLe64(bytes + 56);
    if (header->savedOffset > header->oldLength ||
        header->oldLength - header->savedOffset != header->savedLength ||
        journalSize - kJournalHeaderSize - kJournalTrailerSize != header->savedLength)
        return false;
    if (!ReadZipBytesAt(fd, journalSize - kJournalTrailerSize, trailer, kJournalTrailerSize,
                        &ignored) ||
        std::memcmp(trailer + 4, kJournalEnd, sizeof kJournalEnd) != 0)
        return false;
    *storedCrc = ReadLe32(trailer);
    return true;
}

// The whole journal checks out against its CRC-32, before a byte of it goes
// back.
bool journalChecksumHolds(int fd, const JournalHeader& header, quint32 stored, QString* error) {
    const QByteArray encoded = encodeJournalHeader(header);
    quint32 crc = crcOf(kCrcStart, encoded.constData(), encoded.size());
    QByteArray block;
    for (quint64 pos = 0; pos < header.savedLength;) {
        block.resize(static_cast<qsizetype>(qMin<quint64>(kChunk, header.savedLength - pos)));
        if (!ReadZipBytesAt(fd, kJournalHeaderSize + pos, block.data(), block.size(), error))
            return false;
        crc = crcOf(crc, block.constData(), block.size());
        pos += static_cast<quint64>(block.size());
    }
    return crc == stored;
}

// Puts the saved bytes back and cuts the archive to its old length.
bool replayJournal(int journalFd, const JournalHeader& header, UniqueFd& target, QString* error) {
    QByteArray block;
    for (quint64 pos = 0; pos < header.savedLength;) {
        block.resize(static_cast<qsizetype>(qMin<quint64>(kChunk, header.savedLength - pos)));
        if (!ReadZipBytesAt(journalFd, kJournalHeaderSize + pos, block.data(), block.size(),
                            error) ||
            !writeAt(target.get(), header.savedOffset + pos, block.constData(), block.size(),
                     error))
            return false;
        pos += static_cast<quint64>(block.size());
    }
    if (ftruncate(target.get(), static_cast<off_t>(header.oldLength)) != 0)
        return Fail(error, systemError());
    if (!syncFile(target.get(), error))
        return false;
    if (!target.close())
        return Fail(error, systemError());
    return true;
}

// Renames a journal that must never be replayed to a name of its own beside
// it ("<journal>.damaged-<time>", "<journal>.foreign-<time>"), so it neither
// blocks later edits nor is lost.
bool setJournalAside(const QString& journal, const QString& kind, QString* setAside,
                     QString* error) {
    const QString stem =
        QStringLiteral("%1.%2-%3")
            .arg(journal, kind,
                 QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss")));
    for (int attempt = 1; attempt < 100; ++attempt) {
        const QString candidate =
            attempt == 1 ? stem : QStringLiteral("%1-%2").arg(stem).arg(attempt);
        if (renameat2(AT_FDCWD, nativePath(journal).constData(), AT_FDCWD,
                      nativePath(candidate).constData(), RENAME_NOREPLACE) == 0) {
            *setAside = candidate;
            return FileHelpers::SyncDirectory(QFileInfo(journal).absolutePath(), error);
        }
        if (errno != EEXIST)
            break;
    }
    return Fail(error,
                QStringLiteral("cannot set the journal %1 aside: %2").arg(journal, systemError()));
}

} // namespace archive_edit

QString ArchiveJournalPath(const QString& archive) {
    return archive + QStringLiteral(".journal");
}
