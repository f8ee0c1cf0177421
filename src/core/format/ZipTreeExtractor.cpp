#include "core/format/ZipTreeExtractor.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipMemberReader.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr quint16 kHostUnix = 3;
constexpr quint32 kDosReadOnly = 0x01;
// Seconds from 1601-01-01 (Windows file times) to 1970-01-01.
constexpr qint64 kFileTimeEpochOffset = 11644473600LL;

QString systemError(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

mode_t processUmask() {
    static const mode_t mask = [] {
        const mode_t current = ::umask(022);
        ::umask(current);
        return current;
    }();
    return mask;
}

// The unix mode the archive gives an entry: only from an archive made on
// unix, and only with its file type present (7-Zip's rule); 0 for none.
mode_t unixModeOf(const ZipCentralEntry& entry) {
    if ((entry.versionMadeBy >> 8) != kHostUnix)
        return 0;
    const auto mode = static_cast<mode_t>(entry.externalAttributes >> 16);
    return (mode & S_IFMT) != 0 ? mode : 0;
}

// The modification time the archive gives an entry, as 7-Zip reads it: the
// NTFS times field, else the unix extended timestamp, else the DOS time in
// local time. False when there is none that makes sense.
bool modificationTimeOf(const ZipCentralEntry& entry, timespec* time) {
    const QByteArray& extra = entry.extra;
    for (qsizetype at = 0; at + 4 <= extra.size();) {
        const quint16 tag = ReadLe16(extra.constData() + at);
        const quint16 size = ReadLe16(extra.constData() + at + 2);
        const qsizetype data = at + 4;
        if (data + size > extra.size())
            break;
        if (tag == 0x000a && size >= 32 && ReadLe16(extra.constData() + data + 4) == 1 &&
            ReadLe16(extra.constData() + data + 6) >= 24) {
            const quint64 ticks = ReadLe64(extra.constData() + data + 8);
            time->tv_sec =
                static_cast<time_t>(static_cast<qint64>(ticks / 10000000) - kFileTimeEpochOffset);
            time->tv_nsec = static_cast<long>((ticks % 10000000) * 100);
            return true;
        }
        at = data + size;
    }
    for (qsizetype at = 0; at + 4 <= extra.size();) {
        const quint16 tag = ReadLe16(extra.constData() + at);
        const quint16 size = ReadLe16(extra.constData() + at + 2);
        const qsizetype data = at + 4;
        if (data + size > extra.size())
            break;
        if (tag == 0x5455 && size >= 5 && (extra.at(data) & 1)) {
            time->tv_sec =
                static_cast<time_t>(static_cast<qint32>(ReadLe32(extra.constData() + data + 1)));
            time->tv_nsec = 0;
            return true;
        }
        at = data + size;
    }
    tm local{};
    local.tm_year = ((entry.dosDate >> 9) & 0x7f) + 80;
    local.tm_mon = ((entry.dosDate >> 5) & 0x0f) - 1;
    local.tm_mday = entry.dosDate & 0x1f;
    local.tm_hour = (entry.dosTime >> 11) & 0x1f;
    local.tm_min = (entry.dosTime >> 5) & 0x3f;
    local.tm_sec = (entry.dosTime & 0x1f) * 2;
    local.tm_isdst = -1;
    if (local.tm_mon < 0 || local.tm_mday == 0)
        return false;
    const time_t seconds = ::mktime(&local);
    if (seconds == static_cast<time_t>(-1))
        return false;
    time->tv_sec = seconds;
    time->tv_nsec = 0;
    return true;
}

// The first failure of any thread, kept; the others stop at their next piece.
class FirstFailure {
public:
    void set(const QString& cause) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cause.isEmpty())
            m_cause = cause;
        m_failed = true;
    }
    bool failed() const { return m_failed.load(std::memory_order_relaxed); }
    QString cause() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_cause;
    }

private:
    mutable std::mutex m_mutex;
    QString m_cause;
    std::atomic<bool> m_failed{false};
};

// Directory members take their permissions (always writable by the owner,
// so that the tree can be edited) and then their times, the deepest first:
// writing in a folder changes its time.
void setDirectoryAttributes(QList<ZipTreeFile> directories, const ZipDirectory& directory) {
    std::sort(directories.begin(), directories.end(),
              [](const ZipTreeFile& a, const ZipTreeFile& b) { return a.path > b.path; });
    for (const ZipTreeFile& member : directories) {
        if (member.index >= static_cast<quint64>(directory.entries.size()))
            continue;
        const ZipCentralEntry& entry = directory.entries[static_cast<qsizetype>(member.index)];
        const QByteArray path = QFile::encodeName(member.path);
        if (const mode_t mode = unixModeOf(entry); S_ISDIR(mode))
            ::chmod(path.constData(), (mode | S_IRWXU) & 0777 & ~processUmask());
        timespec modified{};
        if (modificationTimeOf(entry, &modified)) {
            const timespec times[2] = {{0, UTIME_OMIT}, modified};
            ::utimensat(AT_FDCWD, path.constData(), times, 0);
        }
    }
}

class TreeWriter {
public:
    TreeWriter(const ZipTreeExtraction& extraction, int fd, const ZipDirectory& directory)
        : m_extraction(extraction), m_fd(fd), m_directory(directory) {
        for (const ZipTreeFile& file : extraction.files) {
            if (file.index < static_cast<quint64>(directory.entries.size()))
                m_totalBytes +=
                    directory.entries[static_cast<qsizetype>(file.index)].uncompressedSize;
        }
        // The largest first, so that the threads end close together.
        m_order.reserve(static_cast<size_t>(extraction.files.size()));
        for (qsizetype i = 0; i < extraction.files.size(); ++i)
            m_order.push_back(i);
        std::stable_sort(m_order.begin(), m_order.end(),
                         [this](qsizetype a, qsizetype b) { return sizeOf(a) > sizeOf(b); });
    }

    bool run(QString* error) {
        int threads = m_extraction.threads > 0 ? m_extraction.threads : QThread::idealThreadCount();
        threads = std::max(1, std::min<int>(threads, static_cast<int>(m_order.size())));
        std::vector<std::thread> workers;
        for (int i = 1; i < threads; ++i)
            workers.emplace_back([this] { work(); });
        work();
        for (std::thread& worker : workers)
            worker.join();
        if (m_failure.failed())
            return Fail(error, m_failure.cause());
        if (m_extraction.progress)
            m_extraction.progress(100);
        return true;
    }

private:
    quint64 sizeOf(qsizetype file) const {
        const quint64 index = m_extraction.files[file].index;
        return index < static_cast<quint64>(m_directory.entries.size())
                   ? m_directory.entries[static_cast<qsizetype>(index)].uncompressedSize
                   : 0;
    }

    bool stopping() {
        if (m_failure.failed())
            return true;
        if (m_extraction.stopRequested && m_extraction.stopRequested()) {
            m_failure.set(QStringLiteral("stopped"));
            return true;
        }
        return false;
    }

    void work() {
        for (;;) {
            const size_t next = m_next.fetch_add(1);
            if (next >= m_order.size() || stopping())
                return;
            QString cause;
            if (!writeFile(m_extraction.files[m_order[next]], &cause)) {
                m_failure.set(cause);
                return;
            }
        }
    }

    void advance(qint64 bytes) {
        const quint64 done =
            m_doneBytes.fetch_add(static_cast<quint64>(bytes)) + static_cast<quint64>(bytes);
        if (!m_extraction.progress || m_totalBytes == 0)
            return;
        const int percent = static_cast<int>(done * 100 / m_totalBytes);
        if (percent < 100 && m_lastPercent.exchange(percent) != percent)
            m_extraction.progress(percent);
    }

    bool writeFile(const ZipTreeFile& file, QString* cause) {
        if (file.index >= static_cast<quint64>(m_directory.entries.size()))
            return Fail(cause, QStringLiteral("the archive has no member %1").arg(file.index));
        const ZipCentralEntry& entry = m_directory.entries[static_cast<qsizetype>(file.index)];
        mode_t unixMode = unixModeOf(entry);
        // A DOS read-only file is made without write permission.
        if (unixMode == 0 && (entry.versionMadeBy >> 8) != kHostUnix &&
            (entry.externalAttributes & kDosReadOnly))
            unixMode = S_IFREG | 0444;
        const bool hasMode = unixMode != 0 && !S_ISLNK(unixMode);
        const QByteArray path = QFile::encodeName(file.path);
        const int out = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out < 0)
            return Fail(
                cause,
                QStringLiteral("cannot create \"%1\": %2").arg(file.path, systemError(errno)));
        QString writeCause;
        QString readCause;
        const bool read = ReadZipMemberData(
            m_fd, entry,
            [&](const char* data, qint64 size) {
                if (stopping()) {
                    writeCause = QStringLiteral("stopped");
                    return false;
                }
                for (qint64 written = 0; written < size;) {
                    const ssize_t n =
                        ::write(out, data + written, static_cast<size_t>(size - written));
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n <= 0) {
                        writeCause = QStringLiteral("cannot write \"%1\": %2")
                                         .arg(file.path, systemError(n < 0 ? errno : ENOSPC));
                        return false;
                    }
                    written += n;
                }
                advance(size);
                return true;
            },
            &readCause);
        bool ok = read;
        if (ok && hasMode && ::fchmod(out, unixMode & 0777 & ~processUmask()) != 0) {
            writeCause = QStringLiteral("cannot set the permissions of \"%1\": %2")
                             .arg(file.path, systemError(errno));
            ok = false;
        }
        timespec modified{};
        if (ok && modificationTimeOf(entry, &modified)) {
            const timespec times[2] = {{0, UTIME_OMIT}, modified};
            ::futimens(out, times); // a time that cannot be set is no failure
        }
        if (::close(out) != 0 && ok) {
            writeCause =
                QStringLiteral("cannot write \"%1\": %2").arg(file.path, systemError(errno));
            ok = false;
        }
        if (ok)
            return true;
        return Fail(cause, !writeCause.isEmpty()
                               ? writeCause
                               : QStringLiteral("the archive's member %1 cannot be read: %2")
                                     .arg(PrintableZipName(entry.rawName), readCause));
    }

    const ZipTreeExtraction& m_extraction;
    const int m_fd;
    const ZipDirectory& m_directory;
    std::vector<qsizetype> m_order;
    std::atomic<size_t> m_next{0};
    quint64 m_totalBytes = 0;
    std::atomic<quint64> m_doneBytes{0};
    std::atomic<int> m_lastPercent{-1};
    FirstFailure m_failure;
};

} // namespace

bool ExtractZipTree(const QString& archive, const ZipTreeExtraction& extraction, QString* error) {
    OpenedZip zip;
    if (!zip.open(archive, error))
        return false;
    QStringList directories;
    for (const ZipTreeFile& directory : extraction.directories)
        directories << directory.path;
    for (const ZipTreeFile& file : extraction.files)
        directories << file.path.left(file.path.lastIndexOf(QLatin1Char('/')));
    directories.removeDuplicates();
    for (const QString& directory : std::as_const(directories)) {
        if (!directory.isEmpty() && !QDir().mkpath(directory))
            return Fail(error, QStringLiteral("cannot create the folder \"%1\"").arg(directory));
    }
    if (!TreeWriter(extraction, zip.fd(), zip.directory()).run(error))
        return false;
    setDirectoryAttributes(extraction.directories, zip.directory());
    return true;
}
