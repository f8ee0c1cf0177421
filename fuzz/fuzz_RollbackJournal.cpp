// The roll-back of an interrupted archive edit over any journal beside a
// small valid archive: no crash, the journal never stays in the way, and the
// archive is touched only by a journal that belongs to it and is whole.
//
// Input: one byte of options, then the journal. Option bit 0 writes the
// archive's real identity into the journal's header and bit 1 its real
// checksum, so that the fuzzer reaches the replay too.

#include "core/format/ArchiveEditor.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

// Journal layout: magic (8), old length, saved offset, saved length,
// fingerprint, device, inode, birth (8 each), saved bytes, CRC-32 (4), end
// marker (8).
constexpr qsizetype kHeader = 64;
constexpr qsizetype kTrailer = 12;

QString g_directory;
QByteArray g_archive;

QString archivePath() {
    return g_directory + QStringLiteral("/temp.zip");
}

// The archive back as it was, in place (same inode, same birth time).
void restoreArchive() {
    const int fd = ::open(QFile::encodeName(archivePath()).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    require(fd >= 0);
    require(::write(fd, g_archive.constData(), static_cast<size_t>(g_archive.size())) ==
            g_archive.size());
    ::close(fd);
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void put64(QByteArray* bytes, qsizetype at, quint64 value) {
    for (int i = 0; i < 8; ++i)
        (*bytes)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

quint64 get64(const QByteArray& bytes, qsizetype at) {
    quint64 value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

quint32 crcOf(quint32 crc, const char* data, qsizetype size) {
    return static_cast<quint32>(
        crc32_z(crc, reinterpret_cast<const Bytef*>(data), static_cast<z_size_t>(size)));
}

// The identity of the archive as the editor records it.
void writeIdentity(QByteArray* journal) {
    struct statx info;
    require(statx(AT_FDCWD, QFile::encodeName(archivePath()).constData(), 0,
                  STATX_INO | STATX_BTIME, &info) == 0);
    const quint64 savedOffset = get64(*journal, 16);
    if (savedOffset <= static_cast<quint64>(g_archive.size())) {
        const auto span = static_cast<qsizetype>(qMin<quint64>(64 * 1024, savedOffset));
        put64(journal, 32,
              crcOf(0, g_archive.constData() + static_cast<qsizetype>(savedOffset) - span, span));
    }
    put64(journal, 40, (static_cast<quint64>(info.stx_dev_major) << 32) | info.stx_dev_minor);
    put64(journal, 48, info.stx_ino);
    put64(journal, 56,
          (info.stx_mask & STATX_BTIME)
              ? static_cast<quint64>(info.stx_btime.tv_sec) * 1000000000u + info.stx_btime.tv_nsec
              : 0);
}

void writeChecksum(QByteArray* journal) {
    const quint32 crc = crcOf(0, journal->constData(), journal->size() - kTrailer);
    for (int i = 0; i < 4; ++i)
        (*journal)[journal->size() - kTrailer + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/dev/shm/fuzz_RollbackJournal.XXXXXX";
    char* made = mkdtemp(pattern);
    if (!made) {
        char fallback[] = "/tmp/fuzz_RollbackJournal.XXXXXX";
        made = mkdtemp(fallback);
    }
    require(made != nullptr);
    g_directory = QString::fromLocal8Bit(made);
    std::atexit([] { QDir(g_directory).removeRecursively(); });
    // A small archive as the editor leaves it: two stored members.
    g_archive = QByteArray::fromBase64(
        "UEsDBAoAAAAAAAAAIVBqOeDQBQAAAAUAAAAFAAAAYS50eHRhbHBoYVBLAwQKAAAAAAAAACFQibib"
        "CQUAAAAFAAAABQAAAGIudHh0YnJhdm9QSwECFAMKAAAAAAAAACFQajng0AUAAAAFAAAABQAAAAAA"
        "AAAAAAAApIEAAAAAYS50eHRQSwECFAMKAAAAAAAAACFQibibCQUAAAAFAAAABQAAAAAAAAAAAAAA"
        "pIEoAAAAYi50eHRQSwUGAAAAAAIAAgBmAAAAUAAAAAAA");
    require(g_archive.startsWith("PK"));
    restoreArchive();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t options = data[0];
    QByteArray journal(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    if ((options & 1) && journal.size() >= kHeader)
        writeIdentity(&journal);
    if ((options & 2) && journal.size() >= kHeader + kTrailer)
        writeChecksum(&journal);
    const QString path = ArchiveJournalPath(archivePath());
    {
        QFile file(path);
        require(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        require(file.write(journal) == journal.size());
    }

    QString error;
    ArchiveRecovery recovery;
    const bool whole = RecoverArchive(archivePath(), &error, &recovery);
    require(whole || !error.isEmpty());
    // The journal never stays in the way: replayed and removed, or set aside
    // with its bytes.
    require(!QFileInfo::exists(path) || (!whole && !recovery.rolledBack));
    if (!recovery.setAside.isEmpty()) {
        require(!recovery.rolledBack);
        require(readAll(recovery.setAside) == journal);
        require(QFile::remove(recovery.setAside));
    }
    if (!recovery.rolledBack)
        require(readAll(archivePath()) == g_archive);
    else
        require(QFileInfo(archivePath()).size() == static_cast<qint64>(get64(journal, 8)));
    QFile::remove(path);
    restoreArchive();
    // Nothing else is left beside the archive.
    require(QDir(g_directory).entryList(QDir::Files | QDir::Hidden).size() == 1);
    return 0;
}
