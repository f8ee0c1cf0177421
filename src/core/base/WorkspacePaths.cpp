#include "core/base/WorkspacePaths.h"

#include "core/base/FileHelpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

const char kPrivateFolder[] = "/corvane";

} // namespace

QString WorkspacePaths::directoryOfExecutable(const QString& executablePath) {
    const QString trimmed = executablePath.trimmed();
    const qsizetype cut = trimmed.lastIndexOf(QLatin1Char('/'));
    return cut < 0 ? QString() : trimmed.left(cut);
}

bool WorkspacePaths::isBundle(const QString& directory) {
    return QFileInfo(directory + QStringLiteral("/Config")).isDir();
}

bool WorkspacePaths::isInstalled(const QString& programDirectory) {
    return !isBundle(programDirectory) &&
           QFileInfo(programDirectory + QStringLiteral("/../share/corvane")).isDir();
}

QString WorkspacePaths::workspaceForProgram(const QString& programDirectory) {
    if (!isInstalled(programDirectory))
        return programDirectory;
    // Named for the product, not the executable: the window and the
    // command line share the one folder.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QLatin1String(kPrivateFolder);
}

bool WorkspacePaths::makeWorkspaceForProgram(const QString& programDirectory, QString* workspace) {
    *workspace = workspaceForProgram(programDirectory);
    if (isInstalled(programDirectory))
        return FileHelpers::MakePrivateDirectory(*workspace);
    return QFileInfo(*workspace).isDir() || QDir().mkpath(*workspace);
}

QStringList WorkspacePaths::installedKeyDirectories(const QString& programDirectory) {
    return {
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            QLatin1String(kPrivateFolder) + QStringLiteral("/keys"),
        QStringLiteral("/etc/corvane"),
        QDir::cleanPath(programDirectory + QStringLiteral("/../share/corvane/keys")),
    };
}

QString WorkspacePaths::programDirectory() {
    return QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
}

QString WorkspacePaths::extractorTool() const {
    const QString bundled = m_app + QStringLiteral("/Config/7za");
    if (isBundle(m_app))
        return bundled;
    for (const char* name : {"7za", "7z", "7zz"}) {
        const QString found = QStandardPaths::findExecutable(QLatin1String(name));
        if (!found.isEmpty())
            return found;
    }
    return bundled;
}

QString WorkspacePaths::keyFile(const QString& name) const {
    if (isBundle(m_app))
        return configDir() + QLatin1Char('/') + name;
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    const QString certificate = (dot < 0 ? name : name.left(dot)) + QStringLiteral(".x509.pem");
    const QStringList directories = installedKeyDirectories(programDirectory());
    for (const QString& directory : directories) {
        if (QFileInfo::exists(directory + QLatin1Char('/') + certificate))
            return directory + QLatin1Char('/') + name;
    }
    return directories.last() + QLatin1Char('/') + name;
}
