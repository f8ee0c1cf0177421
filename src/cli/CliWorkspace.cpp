#include "cli/CliWorkspace.h"

#include "core/io/FileHelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QTemporaryDir>

namespace {

const char* const kLinkedEntries[] = {"Config", "jre"};
const char* const kOwnerLock = "owner.lock";

// Removes a workspace directory: the links first, so that nothing of the
// bundle can be reached by the removal.
bool removeWorkspaceDirectory(const QString& directory) {
    for (const char* entry : kLinkedEntries) {
        const QString link = directory + QLatin1Char('/') + QLatin1String(entry);
        if (QFileInfo(link).isSymLink())
            FileHelpers::RemoveFile(link);
    }
    return FileHelpers::DeleteDirectoryTree(directory);
}

// Workspaces of runs that were killed: their owner's lock is stale.
void removeAbandonedWorkspaces() {
    const QDir temp(QDir::tempPath());
    for (const QString& name :
         temp.entryList({QStringLiteral("corvane-cli-*")}, QDir::Dirs | QDir::Hidden)) {
        const QString directory = temp.filePath(name);
        const QString lockPath = directory + QLatin1Char('/') + QLatin1String(kOwnerLock);
        if (!QFileInfo::exists(lockPath))
            continue; // being made, or not ours to judge
        QLockFile lock(lockPath);
        lock.setStaleLockTime(0); // stale only when its holder is gone
        if (!lock.tryLock(0))
            continue; // a live run
        lock.unlock();
        removeWorkspaceDirectory(directory);
    }
}

} // namespace

PrivateWorkspace::PrivateWorkspace() = default;

PrivateWorkspace::~PrivateWorkspace() {
    remove();
}

bool PrivateWorkspace::create(const QString& bundleDirectory, QString* error) {
    for (const char* entry : kLinkedEntries) {
        const QString target = bundleDirectory + QLatin1Char('/') + QLatin1String(entry);
        if (!QFileInfo(target).isDir()) {
            if (error)
                *error = QStringLiteral("the bundle has no \"%1\" directory").arg(target);
            return false;
        }
    }
    removeAbandonedWorkspaces();
    m_dir =
        std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/corvane-cli-XXXXXX"));
    if (!m_dir->isValid()) {
        if (error)
            *error = QStringLiteral("cannot make a workspace in \"%1\": %2")
                         .arg(QDir::tempPath(), m_dir->errorString());
        m_dir.reset();
        return false;
    }
    m_lock = std::make_unique<QLockFile>(m_dir->filePath(QLatin1String(kOwnerLock)));
    if (!m_lock->tryLock(0)) {
        if (error)
            *error = QStringLiteral("cannot lock the workspace \"%1\"").arg(m_dir->path());
        remove();
        return false;
    }
    for (const char* entry : kLinkedEntries) {
        const QString target =
            QFileInfo(bundleDirectory + QLatin1Char('/') + QLatin1String(entry)).absoluteFilePath();
        const QString link = m_dir->filePath(QLatin1String(entry));
        if (!QFile::link(target, link)) {
            if (error)
                *error = QStringLiteral("cannot link \"%1\" to \"%2\"").arg(link, target);
            remove();
            return false;
        }
    }
    return true;
}

bool PrivateWorkspace::remove() {
    if (!m_dir)
        return true;
    if (m_lock)
        m_lock->unlock();
    m_lock.reset();
    m_dir->setAutoRemove(false);
    const bool removed = removeWorkspaceDirectory(m_dir->path());
    m_dir.reset();
    return removed;
}

QString PrivateWorkspace::path() const {
    return m_dir ? m_dir->path() : QString();
}
