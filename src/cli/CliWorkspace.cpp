#include "cli/CliWorkspace.h"

#include "core/base/FileHelpers.h"
#include "core/base/WorkspacePaths.h"

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

const char kOwnerLock[] = "owner.lock";
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

} // namespace

void RemoveAbandonedCliWorkspaces() {
    removeAbandonedWorkspaces();
}
