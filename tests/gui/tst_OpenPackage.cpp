#include "core/base/FileHelpers.h"
#include "core/base/TestHooks.h"
#include "core/workspace/WorkspaceRecord.h"
#include "gui/CApkEditView.h"
#include "gui/CImageView.h"
#include "gui/DialogBuilder.h"
#include "gui/ProgressDialog.h"
#include "support/ImageFixture.h"
#include "support/PackageFixture.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstring>

class TestOpenPackage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void cancelChangesNothing();
    void refusalKeepsCurrentWork_data();
    void refusalKeepsCurrentWork();
    void opensPackage();
    void secondOpenReplacesFirst();
    void packageWithoutBuildProp();
    void stoppedExtraction();
    void failedCopyOfWorkingArchive();
    void reopeningTheWorkingArchive();
    void imagePackageListsTheApksInsideTheImage();

private:
    QString makePackage(const QString& name, const QByteArray& release, const QString& apk);
    void open(const QString& path) { m_window->open(path); }
    QString file(const QString& relative) const { return m_window->file(relative); }

    std::unique_ptr<PackageWindow> m_window;
    ScriptedUiDialogs* m_dialogs = nullptr;
    CCorvaneDlg* m_dlg = nullptr;
    AppState* m_state = nullptr;
};

void TestOpenPackage::init() {
    m_window = std::make_unique<PackageWindow>();
    m_dialogs = &m_window->dialogs;
    m_dlg = &m_window->dlg;
    m_state = &m_window->state();
    m_dlg->show();
}

void TestOpenPackage::cleanup() {
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_window.reset();
}

QString TestOpenPackage::makePackage(const QString& name, const QByteArray& release,
                                     const QString& apk) {
    QList<QPair<QString, QByteArray>> members{{"logo.img", "logo of " + name.toUtf8()},
                                              {"system/app/" + apk, "apk"},
                                              {"userdata/app/Data.apk", "data apk"}};
    if (!release.isNull())
        members.prepend({"system/build.prop", "ro.build.version.release=" + release + "\n"});
    return m_window->writePackage(name, members);
}

void TestOpenPackage::cancelChangesNothing() {
    m_dlg->OnBrowseClicked();
    QCOMPARE(m_dialogs->fileDialogs.size(), 1);
    QCOMPARE(m_dialogs->fileDialogs[0].filter, QString("*.zip (*.zip)"));
    QCOMPARE(m_dialogs->fileDialogs[0].kind, UiDialogs::FileKind::Package);
    QVERIFY(!m_dialogs->fileDialogs[0].multiple);
    QVERIFY(m_dlg->packagePathField()->text().isEmpty());
    QVERIFY(m_dialogs->boxes.isEmpty());
}

void TestOpenPackage::refusalKeepsCurrentWork_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message"); // %1: the chosen path
    const QByteArray emptyZip = QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');
    QTest::newRow("missing file") << "typed name.zip" << QByteArray()
                                  << "File \"%1\" does not exist!";
    QTest::newRow("text") << "bad.zip" << QByteArray("not a zip at all") << "UnZip file failed";
    QTest::newRow("zero bytes") << "bad.zip" << QByteArray("") << "UnZip file failed";
    QTest::newRow("ZIP without members") << "empty.zip" << emptyZip << "UnZip file failed";
}

// A refused package costs nothing: the open package stays as it was.
void TestOpenPackage::refusalKeepsCurrentWork() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    open(makePackage("first.zip", "4.4.2", "Music.apk"));
    const QString chosen = file("packages/" + name);
    if (!bytes.isNull())
        QVERIFY(WriteFile(chosen, bytes));
    open(chosen);
    // A refused package's cause follows the message on a line of its own.
    QCOMPARE(m_dialogs->texts().size(), 2);
    QCOMPARE(m_dialogs->texts()[0], "UnZip file successfully");
    QCOMPARE(m_dialogs->texts()[1].section('\n', 0, 0), message.arg(chosen));
    QCOMPARE(m_dialogs->texts()[1].contains('\n'), !bytes.isNull());
    QCOMPARE(m_dialogs->boxes.last().owner.data(), m_dlg);
    QVERIFY(FileHelpers::PathExists(file("srctemp/system/app/Music.apk")));
    QCOMPARE(m_state->workingArchivePath(), file("zipTemp/temp.zip"));
    QCOMPARE(ReadFile(file("zipTemp/temp.zip")), ReadFile(file("packages/first.zip")));
    QCOMPARE(WorkspaceRecord::read(file("zipTemp/workspace.state")).package,
             file("packages/first.zip"));
    QCOMPARE(m_dlg->packagePathField()->text(), file("packages/first.zip"));
    // The cause is kept for the user to send: one line, for the refusal only.
    const QString log = QString::fromUtf8(ReadFile(m_state->paths().diagnosticsLog()));
    QCOMPARE(log.count('\n'), 1);
    QVERIFY2(log.contains(QString("Open \"%1\" failed: ").arg(chosen)), qPrintable(log));
}

void TestOpenPackage::opensPackage() {
    const QString package = makePackage("my package 固件.zip", "5.1.1", "Browser/Browser.apk");
    const QByteArray before = ReadFile(package);
    m_dlg->ImagePage()->MarkPageChanged(1006);
    m_dlg->ImagePage()->MarkPageChanged(1015);
    open(package);
    QCOMPARE(m_dialogs->texts(), QStringList({"UnZip file successfully"}));
    QCOMPARE(m_dialogs->boxes[0].caption, ApplicationTitle());
    QCOMPARE(m_dialogs->boxes[0].owner.data(), m_dlg);
    QCOMPARE(m_dlg->packagePathField()->text(), package);
    QCOMPARE(m_state->workingArchivePath(), file("zipTemp/temp.zip"));
    QCOMPARE(ReadFile(m_state->workingArchivePath()), before);
    QCOMPARE(ReadFile(package), before);
    QCOMPARE(m_state->androidMajorVersion(), 5);
    QCOMPARE(ReadFile(file("srctemp/logo.img")), QByteArray("logo of my package 固件.zip"));
    QCOMPARE(m_dlg->SystemApkPage()->ApkPaths(),
             QStringList({file("srctemp/system/app/Browser/Browser.apk")}));
    QCOMPARE(m_dlg->DataApkPage()->ApkPaths(),
             QStringList({file("srctemp/userdata/app/Data.apk")}));
    QCOMPARE(Control<QPushButton>(m_dlg->ImagePage(), 1006)->text(), QString("Replace logo.img"));
    QCOMPARE(Control<QPushButton>(m_dlg->ImagePage(), 1015)->text(),
             QString("Replace pq_param.img"));
    for (const int id : {IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL})
        QVERIFY(FindControl(m_dlg, id)->isEnabled());
}

void TestOpenPackage::secondOpenReplacesFirst() {
    open(makePackage("first.zip", "5.1.1", "Music.apk"));
    m_state->appendChangeLog("line of the first package");
    m_dlg->ImagePage()->MarkPageChanged(1008);
    // An older package without the release key keeps the version at 5.
    const QString second = file("packages/second.zip");
    QVERIFY(WriteZip(second, {{"system/build.prop", "ro.product.model=box\n"},
                              {"system/app/Camera.apk", "apk"}}));
    open(second);
    QVERIFY(!FileHelpers::PathExists(file("srctemp/system/app/Music.apk")));
    QVERIFY(FileHelpers::PathExists(file("srctemp/system/app/Camera.apk")));
    QCOMPARE(ReadFile(m_state->workingArchivePath()), ReadFile(second));
    QCOMPARE(m_state->changeLog(), QStringList({"line of the first package"}));
    QCOMPARE(m_state->androidMajorVersion(), 5);
    QCOMPARE(Control<QPushButton>(m_dlg->ImagePage(), 1008)->text(),
             QString("Replace Boot Animation"));
}

void TestOpenPackage::packageWithoutBuildProp() {
    open(makePackage("noprop.zip", QByteArray(), "Music.apk"));
    QCOMPARE(
        m_dialogs->texts(),
        QStringList({QString("Failed to open the file %1! ").arg(file("srctemp/system/build.prop")),
                     "UnZip file successfully"}));
    QCOMPARE(m_state->androidMajorVersion(), 4);
    QCOMPARE(m_state->workingArchivePath(), file("zipTemp/temp.zip"));
}

void TestOpenPackage::stoppedExtraction() {
    open(makePackage("first.zip", "4.4.2", "Music.apk"));
    const QByteArray firstArchive = ReadFile(file("zipTemp/temp.zip"));
    const QString second = makePackage("second.zip", "4.4.2", "Camera.apk");
    // The extraction waits at its first member until the dialog is closed.
    std::atomic<bool> closed{false};
    QString busyText;
    SetFaultPointHookForTesting([&](const char* name) {
        while (std::strcmp(name, "open:extracting") == 0 && !closed)
            QThread::msleep(5);
        return FaultAction::None;
    });
    QTimer::singleShot(200, m_dlg, [&] {
        if (m_window->app.BusyDialog()->isVisible())
            busyText = m_window->app.BusyDialog()->busyText();
        m_window->app.BusyDialog()->reject();
        closed = true;
    });
    open(second);
    SetFaultPointHookForTesting(nullptr);
    QVERIFY2(busyText.startsWith("Decompressing files"), qPrintable(busyText));
    // No half tree stays.
    QVERIFY(!FileHelpers::PathExists(file("srctemp")));
    QCOMPARE(m_dialogs->texts(), QStringList({"UnZip file successfully", "UnZip file failed"}));
    QCOMPARE(m_dlg->packagePathField()->text(), second);
    // The old tree is gone; no edit may reach the old working archive now,
    // and the next start must not offer it.
    QVERIFY(!FileHelpers::PathExists(file("srctemp/system/app/Music.apk")));
    QVERIFY(m_state->workingArchivePath().isEmpty());
    // The old working archive went with the old tree.
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/temp.zip")));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/temp.zip.part")));
    QCOMPARE(WorkspaceRecord::read(file("zipTemp/workspace.state")).stage,
             WorkspaceRecord::Stage::Opening);
    QCOMPARE(m_dlg->SystemApkPage()->ApkCount(), 0);
    for (const int id : {IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL})
        QVERIFY(FindControl(m_dlg, id)->isEnabled());
}

void TestOpenPackage::failedCopyOfWorkingArchive() {
    FileHelpers::SetFileFaultsForTesting([](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::CopyFile && path.endsWith("zipTemp/temp.zip.part");
    });
    open(makePackage("first.zip", "4.4.2", "Music.apk"));
    QCOMPARE(m_dialogs->texts(), QStringList({"Failed to copy the zip file!"}));
    QCOMPARE(m_dialogs->boxes[0].icon, UiDialogs::Icon::Exclamation);
    QVERIFY(!m_dialogs->boxes[0].hadOwner);
    QVERIFY(m_state->workingArchivePath().isEmpty());
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/temp.zip")));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/temp.zip.part")));
    QCOMPARE(WorkspaceRecord::read(file("zipTemp/workspace.state")).stage,
             WorkspaceRecord::Stage::Opening);
}

void TestOpenPackage::reopeningTheWorkingArchive() {
    open(makePackage("first.zip", "4.4.2", "Music.apk"));
    open(file("zipTemp/temp.zip"));
    QCOMPARE(m_dialogs->texts().last(), QString("UnZip file successfully"));
    QCOMPARE(ReadFile(m_state->workingArchivePath()), ReadFile(file("packages/first.zip")));
    QVERIFY(FileHelpers::PathExists(file("srctemp/system/app/Music.apk")));
}

// A block-based package (system.new.dat.br): the system page lists the APKs
// inside the image, unpacked into the tree by the open.
void TestOpenPackage::imagePackageListsTheApksInsideTheImage() {
    if (FindTool("mke2fs").isEmpty() || FindTool("e2fsck").isEmpty())
        QSKIP("e2fsprogs is not installed");
    const QString raw = file("scratch/system.img");
    QDir().mkpath(file("scratch"));
    QCOMPARE(MakeSystemImage(raw, SmallSystemFiles()), QString());
    const auto image =
        SystemImageMembers(raw, BlockImageForm::NewDatBrotli, file("scratch/members"));
    QVERIFY(!image.isEmpty());
    const QString package = m_window->writePackage(
        "block.zip",
        QList<QPair<QString, QByteArray>>{{"userdata/app/Data.apk", "data apk"}} + image);
    open(package);
    QCOMPARE(m_dialogs->texts(), QStringList({"UnZip file successfully"}));
    QCOMPARE(m_state->androidMajorVersion(), 5);
    QStringList listed = m_dlg->SystemApkPage()->ApkPaths();
    listed.sort();
    QCOMPARE(listed, QStringList({file("srctemp/system/app/Bar/Bar.apk"),
                                  file("srctemp/system/app/Foo/Foo.apk"),
                                  file("srctemp/system/priv-app/Priv/Priv.apk")}));
    QCOMPARE(m_dlg->DataApkPage()->ApkPaths(),
             QStringList({file("srctemp/userdata/app/Data.apk")}));
}

QTEST_MAIN(TestOpenPackage)
#include "tst_OpenPackage.moc"
