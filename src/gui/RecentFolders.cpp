#include "gui/RecentFolders.h"

#include "gui/UserSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

QString KeyOf(UiDialogs::FileKind kind) {
    switch (kind) {
    case UiDialogs::FileKind::Package:
        return QStringLiteral("folders/packages");
    case UiDialogs::FileKind::Apk:
        return QStringLiteral("folders/apks");
    case UiDialogs::FileKind::Image:
        return QStringLiteral("folders/images");
    }
    return QStringLiteral("folders/other");
}

} // namespace

QString RecentFolders::folder(UiDialogs::FileKind kind) {
    const QString folder = OpenUserSettings()->value(KeyOf(kind)).toString();
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
}

QString RecentFolders::startFolder(UiDialogs::FileKind kind) {
    const QString remembered = folder(kind);
    return remembered.isEmpty() ? QDir::homePath() : remembered;
}

void RecentFolders::remember(UiDialogs::FileKind kind, const QString& chosenFile) {
    if (chosenFile.isEmpty())
        return;
    OpenUserSettings()->setValue(KeyOf(kind), QFileInfo(chosenFile).absolutePath());
}
