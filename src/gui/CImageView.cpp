#include "gui/CImageView.h"

#include "gui/CCorvaneApp.h"
#include "gui/UiDialogs.h"
#include "gui/DialogBuilder.h"
#include "gui/ChangeLogWriter.h"
#include "gui/WaitCursor.h"
#include "core/Archive.h"
#include "core/FileHelpers.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPushButton>
#include <QUrl>

namespace {

const QString kImageFilter = QStringLiteral("*.img;*.bin (*.bin *.img);;All Files(*.*) (*)");
const QString kZipFilter = QStringLiteral("*.zip (*.zip);;All Files(*.*) (*)");

// What one replace button replaces.
struct ImageReplacement {
    int buttonId;
    bool zipFilter;
    const char* target;        // below the tree's root
    const char* pathInArchive; // empty: the archive's root
    const char* failure;       // shown when the archive update fails
};

constexpr ImageReplacement kReplacements[] = {
    {1006, false, "/logo.img", "", "Failed to replace the logo.img! "},
    {1007, false, "/fastplay.img", "", "Failed to replace the fastplay.img! "},
    {1008, true, "/system/media/bootanimation.zip", "system/media",
     "Failed to replace the bootanimation.zip! "},
    {1010, false, "/bootargs.img", "", "Failed to replace the bootargs.img! "},
    {1011, false, "/baseparam.img", "", "Failed to replace the baseparam.img! "},
    {1012, false, "/boot.img", "", "Failed to replace the boot.img! "},
    {1013, false, "/fastboot.img", "", "Failed to replace the fastboot.img! "},
    {1014, false, "/recovery.img", "", "Failed to replace the recovery.img! "},
    {1015, false, "/pq_param.img", "", "Failed to replace the pq_param.img! "},
};

const ImageReplacement* FindReplacement(int buttonId) {
    for (const ImageReplacement& replacement : kReplacements) {
        if (replacement.buttonId == buttonId)
            return &replacement;
    }
    return nullptr;
}

// Keeps the tree's old file aside while the new one is copied in and the
// archive updated, so that a failed replacement can put it back: the tree then
// still matches the archive. The old file is moved, not copied, where it can
// be; a backup that cannot be put back is kept rather than lost.
class TargetBackup {
public:
    TargetBackup(const QString& target, const QString& backupPath)
        : m_target(target), m_backup(backupPath) {}
    ~TargetBackup() {
        if (m_saved && !m_keepBackup)
            RemoveFile(m_backup);
    }

    // Sets the old file aside (nothing to keep when there is none).
    bool save() {
        m_hadTarget = PathExists(m_target);
        if (!m_hadTarget)
            return true;
        if (PathExists(m_backup))
            RemoveFile(m_backup);
        m_saved = MoveFileTo(m_target, m_backup) || CopyFileTo(m_target, m_backup, false);
        return m_saved;
    }

    // Puts the tree back as it was before the replacement.
    void restore() {
        if (!m_saved) {
            if (!m_hadTarget && PathExists(m_target))
                RemoveFile(m_target);
            return;
        }
        if (PathExists(m_target))
            RemoveFile(m_target);
        if (MoveFileTo(m_backup, m_target)) {
            m_saved = false; // nothing left aside
            return;
        }
        // If even a copy back fails, the old file stays in the backup.
        m_keepBackup = !CopyFileTo(m_backup, m_target, false);
    }

private:
    QString m_target;
    QString m_backup;
    bool m_hadTarget = false;
    bool m_saved = false;
    bool m_keepBackup = false;
};

} // namespace

CImageView::CImageView(QWidget* parent) : QWidget(parent) {
    BuildDialog(this, dialogTemplate(IDD_IMAGE_PAGE));
    RootDirectory = theApp().Paths().extractedTree();

    installEventFilter(this);
    for (const ImageReplacement& replacement : kReplacements) {
        QPushButton* button = Control<QPushButton>(this, replacement.buttonId);
        if (!button)
            continue;
        button->installEventFilter(this);
        const int id = replacement.buttonId;
        connect(button, &QPushButton::clicked, this, [this, id] { ReplaceImageFile(id); });
    }
    for (const int id : {1009, 1016}) {
        QPushButton* button = Control<QPushButton>(this, id);
        if (!button)
            continue;
        button->installEventFilter(this);
        connect(button, &QPushButton::clicked, this, [this, id] { OpenImageDirectory(id); });
    }
}

void CImageView::ReplaceImageFile(int buttonId) {
    const ImageReplacement* replacement = FindReplacement(buttonId);
    if (!replacement)
        return;
    const QString archive = theApp().WorkingArchivePath;
    // Without an open package there is no archive to keep in step.
    if (archive.isEmpty()) {
        ShowMessage(this, QStringLiteral("Please open a firmware package first!"));
        return;
    }

    const QStringList chosen = UiDialogs::instance().openFileNames(
        nullptr, replacement->zipFilter ? kZipFilter : kImageFilter, false);
    if (chosen.isEmpty())
        return;
    const QString source = chosen.first();
    const QString target = RootDirectory + QLatin1String(replacement->target);

    // The backup lies beside the working archive, outside the tree.
    TargetBackup backup(target,
                        QFileInfo(archive).absolutePath() + QStringLiteral("/replaced-image.bak"));
    if (!backup.save()) {
        ShowMessage(this, QStringLiteral("Copy failed!"));
        return;
    }
    if (!CopyFileTo(source, target, false)) {
        backup.restore();
        ShowMessage(this, QStringLiteral("Copy failed!"));
        return;
    }
    if (!WithWaitCursor([&] {
            return RunArchiver(QLatin1Char('u'), target, archive,
                               QLatin1String(replacement->pathInArchive));
        })) {
        backup.restore();
        ShowMessage(this, QLatin1String(replacement->failure));
        return;
    }
    LogFileReplaced(target, source);
    MarkPageChanged(buttonId);
}

void CImageView::OpenImageDirectory(int buttonId) {
    const QString directory =
        buttonId == 1009 ? RootDirectory + QStringLiteral("/system/media") : RootDirectory;
    QDesktopServices::openUrl(QUrl::fromLocalFile(directory));
}

void CImageView::MarkPageChanged(int buttonId) {
    QPushButton* button = Control<QPushButton>(this, buttonId);
    if (button && !button->text().contains(QLatin1Char('*')))
        button->setText(button->text() + QLatin1Char('*'));
}

bool CImageView::eventFilter(QObject* watched, QEvent* event) {
    // Claiming the shortcut override as well keeps the keys from any shortcut.
    if (IsEnterOrEscapeKeyEvent(event)) {
        event->accept();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
