#include "cli/CliWorkspace.h"

#include "core/WorkspacePaths.h"
#include "core/io/FileHelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kLinkedEntries[] = {"Config"};
const char kOwnerLock[] = "owner.lock";
const char kPendingLock[] = "owner.lock.new";
const char kPrefix[] = "corvane-cli-";
// Seconds: a run is past its first instant after a minute; after an hour a
// workspace without a lock is abandoned whoever made it.
constexpr std::time_t kFirstInstant = 60;
constexpr std::time_t kAbandonedAge = 3600;

QString entryPath(const QString& directory, const char* name) {
    return directory + QLatin1Char('/') + QLatin1String(name);
}

// Removes a workspace directory: the links first (those of older runs too),
// so that nothing of the bundle can be reached by the removal; the lock file
// last, and only when everything else is gone.
bool removeWorkspaceDirectory(const QString& directory) {
    for (const QString& name : FileHelpers::ListDirectory(directory)) {
        const QString link = directory + QLatin1Char('/') + name;
        if (QFileInfo(link).isSymLink())
            FileHelpers::RemoveFile(link);
    }
    bool removed = true;
    for (const QString& name : FileHelpers::ListDirectory(directory)) {
        if (name == QLatin1String(kOwnerLock))
            continue;
        const QString entry = directory + QLatin1Char('/') + name;
        removed = (FileHelpers::IsDirectory(entry) ? FileHelpers::DeleteDirectoryTree(entry)
                                                   : FileHelpers::RemoveFile(entry)) &&
                  removed;
    }
    if (!removed)
        return false;
    const QByteArray lock = QFile::encodeName(entryPath(directory, kOwnerLock));
    if (::unlink(lock.constData()) != 0 && errno != ENOENT)
        return false;
    return FileHelpers::RemoveEmptyDirectory(directory);
}

// The creating run's process id, from the directory's name; 0 when the name
// holds none.
pid_t creatorOf(const QString& name) {
    const QString rest = name.mid(qsizetype(sizeof kPrefix) - 1);
    const qsizetype dash = rest.indexOf(QLatin1Char('-'));
    bool ok = false;
    const qlonglong pid = dash > 0 ? rest.left(dash).toLongLong(&ok) : 0;
    return ok && pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

bool processExists(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

// Removes the workspaces whose owner is provably gone (see the header).
void removeAbandonedWorkspaces() {
    const QString temp = QDir::tempPath();
    const QStringList names = QDir(temp).entryList({QLatin1String(kPrefix) + QLatin1Char('*')},
                                                   QDir::AllEntries | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString directory = temp + QLatin1Char('/') + name;
        struct stat info {};
        if (::lstat(QFile::encodeName(directory).constData(), &info) != 0 ||
            !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
            continue;
        const QByteArray lockPath = QFile::encodeName(entryPath(directory, kOwnerLock));
        const int lock =
            ::open(lockPath.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (lock >= 0) {
            struct stat lockInfo {};
            // Held while the workspace goes: another run sees it locked.
            if (::fstat(lock, &lockInfo) == 0 && S_ISREG(lockInfo.st_mode) &&
                ::flock(lock, LOCK_EX | LOCK_NB) == 0)
                removeWorkspaceDirectory(directory);
            ::close(lock);
            continue;
        }
        if (errno != ENOENT)
            continue; // a lock that cannot be judged
        const std::time_t age = std::time(nullptr) - info.st_mtime;
        const pid_t creator = creatorOf(name);
        if (age > kAbandonedAge || (age > kFirstInstant && creator > 0 && !processExists(creator)))
            removeWorkspaceDirectory(directory);
    }
}

Result failed(const QString& cause) {
    return Result::failed({}, cause);
}

} // namespace

void PrivateWorkspace::removeAbandoned() {
    removeAbandonedWorkspaces();
}

PrivateWorkspace::~PrivateWorkspace() {
    remove();
}

Result PrivateWorkspace::create(const QString& bundleDirectory) {
    // An installed program has no bundle to link: its tools and keys are
    // found where it is installed.
    const bool bundle = !WorkspacePaths::isInstalled(bundleDirectory);
    for (const char* entry : kLinkedEntries) {
        const QString target = entryPath(bundleDirectory, entry);
        if (bundle && !QFileInfo(target).isDir())
            return failed(QStringLiteral("the bundle has no \"%1\" directory").arg(target));
    }
    removeAbandonedWorkspaces();
    QByteArray name =
        QFile::encodeName(QDir::tempPath() + QLatin1Char('/') + QLatin1String(kPrefix) +
                          QString::number(::getpid()) + QStringLiteral("-XXXXXX"));
    if (!::mkdtemp(name.data()))
        return failed(QStringLiteral("cannot make a workspace in \"%1\": %2")
                          .arg(QDir::tempPath(), qt_error_string(errno)));
    m_path = QFile::decodeName(name);
    // The lock comes first, and has its name only once it is held.
    const QByteArray pending = QFile::encodeName(entryPath(m_path, kPendingLock));
    m_lock = ::open(pending.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_lock < 0 || ::flock(m_lock, LOCK_EX | LOCK_NB) != 0 ||
        ::rename(pending.constData(),
                 QFile::encodeName(entryPath(m_path, kOwnerLock)).constData()) != 0) {
        const Result locked = failed(QStringLiteral("cannot lock the workspace \"%1\": %2")
                                         .arg(m_path, qt_error_string(errno)));
        remove();
        return locked;
    }
    for (const char* entry : kLinkedEntries) {
        if (!bundle)
            break;
        const QString target = QFileInfo(entryPath(bundleDirectory, entry)).absoluteFilePath();
        const QString link = entryPath(m_path, entry);
        if (!QFile::link(target, link)) {
            remove();
            return failed(QStringLiteral("cannot link \"%1\" to \"%2\"").arg(link, target));
        }
    }
    return Result::done();
}

bool PrivateWorkspace::remove() {
    if (m_path.isEmpty())
        return true;
    // Removed under its lock: no other run takes it for abandoned meanwhile.
    const bool removed = removeWorkspaceDirectory(m_path);
    if (m_lock >= 0)
        ::close(m_lock);
    m_lock = -1;
    m_path.clear();
    return removed;
}
