#include "cli/CliWorkspace.h"

#include "core/FileHelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

const char* const kLinkedEntries[] = {"Config", "jre"};

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
    m_dir =
        std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/corvane-cli-XXXXXX"));
    if (!m_dir->isValid()) {
        if (error)
            *error = QStringLiteral("cannot make a workspace in \"%1\": %2")
                         .arg(QDir::tempPath(), m_dir->errorString());
        m_dir.reset();
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
    // The links go first, so that nothing of the bundle can be reached by the
    // removal of the directory.
    for (const char* entry : kLinkedEntries) {
        const QString link = m_dir->filePath(QLatin1String(entry));
        if (QFileInfo(link).isSymLink())
            FileHelpers::RemoveFile(link);
    }
    const bool removed = m_dir->remove();
    m_dir.reset();
    return removed;
}

QString PrivateWorkspace::path() const {
    return m_dir ? m_dir->path() : QString();
}
