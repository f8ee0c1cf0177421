#include "gui/QtUiDialogs.h"

#include "core/base/Messages.h"
#include "gui/RecentFolders.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// A Yes/No question has no Cancel: Escape does nothing there (Qt would take
// it for No), so the user answers only by a button.
class IgnoreEscape : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape)
            return true;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

UiDialogs::Answer QtUiDialogs::messageBox(QWidget* owner, const QString& text,
                                          const QString& caption, Buttons buttons, Icon icon) {
    QMessageBox box(
        icon == Icon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon, caption, text,
        buttons == Buttons::YesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, owner);
    IgnoreEscape ignoreEscape;
    if (buttons == Buttons::YesNo)
        box.installEventFilter(&ignoreEscape);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    case QMessageBox::Ok:
        return Answer::Ok;
    default:
        return Answer::Closed;
    }
}

QStringList QtUiDialogs::openFileNames(QWidget* owner, const QString& filter, bool multiple,
                                       FileKind kind) {
    QFileDialog dialog(owner, QString(), RecentFolders::startFolder(kind), filter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    // The APK filter only greys other files out: a typed name of any file is
    // taken, and the add asks about a name that is no APK's.
    if (kind == FileKind::Apk) {
        if (auto* model = dialog.findChild<QFileSystemModel*>())
            model->setNameFilterDisables(true);
    }
    if (dialog.exec() != QDialog::Accepted)
        return {};
    const QStringList chosen = dialog.selectedFiles();
    if (!chosen.isEmpty())
        RecentFolders::remember(kind, chosen.constFirst());
    return chosen;
}

QString QtUiDialogs::saveFileName(QWidget* owner, const QString& filter,
                                  const QString& proposedName, const QString& defaultSuffix,
                                  FileKind kind) {
    QFileDialog dialog(owner, QString(), RecentFolders::startFolder(kind), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(defaultSuffix);
    dialog.selectFile(proposedName);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const QString chosen = dialog.selectedFiles().constFirst();
    RecentFolders::remember(kind, chosen);
    return chosen;
}

bool QtUiDialogs::chooseProgram(QWidget* owner, const QString& filePath,
                                const QList<ProgramChoice>& candidates, ProgramChoice* chosen) {
    QDialog dialog(owner);
    dialog.setWindowTitle(QuestionCaption());
    auto* layout = new QVBoxLayout(&dialog);
    const QString file = QFileInfo(filePath).fileName();
    auto* list = new QListWidget(&dialog);
    for (const ProgramChoice& choice : candidates)
        list->addItem(choice.name);
    if (!candidates.isEmpty())
        list->setCurrentRow(0);
    // With no program to list, the dialog is only the way to one on disk.
    if (candidates.isEmpty()) {
        auto* label = new QLabel(Msg::NoEditorToChoose(file), &dialog);
        label->setWordWrap(true);
        layout->addWidget(label);
        list->hide();
    } else {
        layout->addWidget(new QLabel(Msg::ChooseEditor(file), &dialog));
    }
    layout->addWidget(list);
    auto* buttons = new QDialogButtonBox(candidates.isEmpty()
                                             ? QDialogButtonBox::Cancel
                                             : (QDialogButtonBox::Ok | QDialogButtonBox::Cancel),
                                         &dialog);
    QPushButton* other =
        buttons->addButton(candidates.isEmpty() ? Msg::BrowseForProgram() : Msg::OtherProgram(),
                           QDialogButtonBox::ActionRole);
    other->setObjectName(QStringLiteral("browseForProgram"));
    if (candidates.isEmpty()) {
        other->setDefault(true);
        other->setFocus();
    }
    layout->addWidget(buttons);

    ProgramChoice picked;
    bool havePick = false;
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
        const int row = list->currentRow();
        if (row < 0 || row >= candidates.size())
            return;
        picked = candidates.at(row);
        havePick = true;
        dialog.accept();
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(list, &QListWidget::itemDoubleClicked, buttons, &QDialogButtonBox::accepted);
    QObject::connect(other, &QPushButton::clicked, &dialog, [&] {
        QFileDialog browse(&dialog, Msg::BrowseForProgram(), QStringLiteral("/usr/bin"));
        browse.setAcceptMode(QFileDialog::AcceptOpen);
        browse.setFileMode(QFileDialog::ExistingFile);
        if (browse.exec() != QDialog::Accepted || browse.selectedFiles().isEmpty())
            return;
        const QString program = browse.selectedFiles().constFirst();
        picked = ProgramChoice{QFileInfo(program).fileName(), program, {}};
        havePick = true;
        dialog.accept();
    });
    if (dialog.exec() != QDialog::Accepted || !havePick)
        return false;
    if (chosen)
        *chosen = picked;
    return true;
}
