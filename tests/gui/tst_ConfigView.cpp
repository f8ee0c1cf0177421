#include "core/base/Messages.h"
#include "gui/CConfigView.h"
#include "gui/CCorvaneApp.h"
#include "gui/DialogBuilder.h"
#include "gui/OpenInEditor.h"
#include "gui/QtUiDialogs.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

// The settings page starts real programs: fixture desktop entries whose Exec
// is a shell script that writes its arguments to a file, one per line.
class tst_ConfigView : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void buttonsOpenTheirFileInTheDefaultEditor_data();
    void buttonsOpenTheirFileInTheDefaultEditor();
    void systemImagePackageOpensNoSystemFile_data();
    void systemImagePackageOpensNoSystemFile();
    void quotedExecLineGetsThePathAsOneArgument();

    void withoutAUsableDefaultTheUserChooses_data();
    void withoutAUsableDefaultTheUserChooses();
    void chosenProgramThatCannotStartIsReported();
    void chosenProgramOpensTheNextFile();
    void rememberedProgramThatIsGoneIsForgotten();
    void withoutDesktopEditorsTheUsersEditorRunsInATerminal_data();
    void withoutDesktopEditorsTheUsersEditorRunsInATerminal();
    void emptyChooserBrowsesForAProgram();

private:
    QString desktopDir(const QString& relative) const { return m_desktop->filePath(relative); }
    // A script that records its arguments in output; returns its path.
    QString writeRecorder(const QString& relative, const QString& output) const;
    void writeEntry(const QString& id, const QString& name, const QString& exec,
                    const QString& mimeTypes) const;
    void setDefault(const QString& id) const;
    static QString recorded(const QStringList& arguments) {
        return arguments.join(QLatin1Char('\n')) + QLatin1Char('\n');
    }

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<ScriptedUiDialogs> m_dialogs;
    std::unique_ptr<CCorvaneApp> m_app;
    std::unique_ptr<QTemporaryDir> m_desktop;
};

QString tst_ConfigView::writeRecorder(const QString& relative, const QString& output) const {
    const QString script = desktopDir(relative);
    // Written aside and renamed, so that the file appears complete.
    const QString body = QStringLiteral("#!/bin/sh\nout='%1'\n"
                                        "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > "
                                        "\"$out.part\"\nmv \"$out.part\" \"$out\"\n")
                             .arg(output);
    if (!WriteFile(script, body.toUtf8()) ||
        !QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return QString();
    return script;
}

void tst_ConfigView::writeEntry(const QString& id, const QString& name, const QString& exec,
                                const QString& mimeTypes) const {
    QVERIFY(WriteFile(desktopDir(QStringLiteral("data-home/applications/") + id),
                      QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\n"
                                     "MimeType=%3\n")
                          .arg(name, exec, mimeTypes)
                          .toUtf8()));
}

void tst_ConfigView::setDefault(const QString& id) const {
    QVERIFY(WriteFile(desktopDir(QStringLiteral("config-home/mimeapps.list")),
                      ("[Default Applications]\ntext/plain=" + id + "\n").toUtf8()));
}

void tst_ConfigView::init() {
    m_bundle = std::make_unique<TestBundle>();
    QVERIFY(m_bundle->isValid());
    m_dialogs = std::make_unique<ScriptedUiDialogs>();
    m_app = std::make_unique<CCorvaneApp>(m_bundle->path());
    m_desktop = std::make_unique<QTemporaryDir>();
    QVERIFY(m_desktop->isValid());
    for (const char* sub : {"config-home", "config-dir", "data-home/applications", "data-dir"})
        QVERIFY(QDir().mkpath(desktopDir(QLatin1String(sub))));
    qputenv("XDG_CONFIG_HOME", desktopDir(QStringLiteral("config-home")).toUtf8());
    qputenv("XDG_CONFIG_DIRS", desktopDir(QStringLiteral("config-dir")).toUtf8());
    qputenv("XDG_DATA_HOME", desktopDir(QStringLiteral("data-home")).toUtf8());
    qputenv("XDG_DATA_DIRS", desktopDir(QStringLiteral("data-dir")).toUtf8());
    qunsetenv("XDG_CURRENT_DESKTOP");
    // The user's own editor and terminal are the test's to choose.
    for (const char* variable : {"VISUAL", "EDITOR", "TERMINAL"})
        qunsetenv(variable);
    // The chosen editor is remembered here, not in the user's settings.
    QVERIFY(QDir().mkpath(desktopDir(QStringLiteral("settings"))));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                       desktopDir(QStringLiteral("settings")));
}

void tst_ConfigView::cleanup() {
    m_desktop.reset();
    m_app.reset();
    m_dialogs.reset();
    m_bundle.reset();
}

void tst_ConfigView::buttonsOpenTheirFileInTheDefaultEditor_data() {
    QTest::addColumn<int>("buttonId");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("file");
    QTest::newRow("build.prop") << 1006 << "Open build.prop"
                                << "/system/build.prop";
    QTest::newRow("front panel") << 1007 << "Config front panel "
                                 << "/system/usr/keylayout/Vendor_0001_Product_0001.kl";
    QTest::newRow("remote") << 1008 << "Config remote"
                            << "/system/etc/key.xml";
}

void tst_ConfigView::buttonsOpenTheirFileInTheDefaultEditor() {
    QFETCH(int, buttonId);
    QFETCH(QString, file);
    const QString output = desktopDir(QStringLiteral("editor.out"));
    const QString script = writeRecorder(QStringLiteral("bin/editor.sh"), output);
    QVERIFY(!script.isEmpty());
    writeEntry(QStringLiteral("editor.desktop"), QStringLiteral("Editor"), script + " %f",
               QStringLiteral("text/plain;"));
    setDefault(QStringLiteral("editor.desktop"));

    CConfigView page(*m_app);
    QCOMPARE(page.RootDirectory(), m_bundle->file(QStringLiteral("srctemp")));
    QPushButton* button = Control<QPushButton>(&page, buttonId);
    QVERIFY(button);
    QTEST(button->text(), "caption");
    button->click();

    // The file need not exist: the editor is simply given the path.
    QTRY_COMPARE_WITH_TIMEOUT(ReadFile(output), recorded({page.RootDirectory() + file}).toUtf8(),
                              30000);
    QVERIFY(m_dialogs->chooserCandidates.isEmpty());
    QVERIFY(m_dialogs->boxes.isEmpty());
}

void tst_ConfigView::systemImagePackageOpensNoSystemFile_data() {
    buttonsOpenTheirFileInTheDefaultEditor_data();
}

// With the system partition an image (here system.new.dat.br and its transfer
// list at the tree's root), the page says so and starts no editor.
void tst_ConfigView::systemImagePackageOpensNoSystemFile() {
    QFETCH(int, buttonId);
    const QString output = desktopDir(QStringLiteral("editor.out"));
    const QString script = writeRecorder(QStringLiteral("bin/editor.sh"), output);
    QVERIFY(!script.isEmpty());
    writeEntry(QStringLiteral("editor.desktop"), QStringLiteral("Editor"), script + " %f",
               QStringLiteral("text/plain;"));
    setDefault(QStringLiteral("editor.desktop"));

    CConfigView page(*m_app);
    for (const char* name : {"system.new.dat.br", "system.transfer.list"})
        QVERIFY(WriteFile(page.RootDirectory() + "/" + name, "image"));
    QPushButton* button = Control<QPushButton>(&page, buttonId);
    QVERIFY(button);
    button->click();

    QCOMPARE(m_dialogs->texts(), QStringList{Msg::SystemPartitionIsImage(QStringLiteral(
                                     "system.new.dat.br with system.transfer.list"))});
    QVERIFY(m_dialogs->chooserCandidates.isEmpty());
    QVERIFY(!QFile::exists(output));
}

void tst_ConfigView::quotedExecLineGetsThePathAsOneArgument() {
    const QString output = desktopDir(QStringLiteral("editor.out"));
    const QString script = writeRecorder(QStringLiteral("my editors/edit.sh"), output);
    QVERIFY(!script.isEmpty());
    writeEntry(QStringLiteral("editor.desktop"), QStringLiteral("Editor"),
               "\"" + script + "\" --new-window %U %i", QStringLiteral("text/html;"));
    setDefault(QStringLiteral("editor.desktop"));

    const QString path = desktopDir(QStringLiteral("a tree/build.prop"));
    OpenInEditor(path);
    QTRY_COMPARE_WITH_TIMEOUT(ReadFile(output),
                              recorded({QStringLiteral("--new-window"), path}).toUtf8(), 30000);
    QVERIFY(m_dialogs->chooserCandidates.isEmpty());
}

void tst_ConfigView::withoutAUsableDefaultTheUserChooses_data() {
    QTest::addColumn<QString>("defaultId"); // empty: no default listed
    QTest::addColumn<QString>("choice");    // "candidate", "other program" or "cancel"

    for (const char* choice : {"candidate", "other program", "cancel"}) {
        QTest::addRow("no default, %s", choice) << QString() << choice;
        QTest::addRow("default not installed, %s", choice) << "absent.desktop" << choice;
        QTest::addRow("default cannot start, %s", choice) << "broken.desktop" << choice;
    }
}

void tst_ConfigView::withoutAUsableDefaultTheUserChooses() {
    QFETCH(QString, defaultId);
    QFETCH(QString, choice);

    const QString chooserOutput = desktopDir(QStringLiteral("scribe.out"));
    const QString scribe = writeRecorder(QStringLiteral("bin/scribe.sh"), chooserOutput);
    const QString otherOutput = desktopDir(QStringLiteral("other.out"));
    const QString other = writeRecorder(QStringLiteral("bin/other.sh"), otherOutput);
    QVERIFY(!scribe.isEmpty() && !other.isEmpty());
    writeEntry(QStringLiteral("scribe.desktop"), QStringLiteral("Scribe"),
               scribe + " --from-chooser %F", QStringLiteral("text/x-c;text/plain;"));
    writeEntry(QStringLiteral("notes.desktop"), QStringLiteral("notes"),
               QStringLiteral("corvane-test-notes --new %U"), QStringLiteral("text/plain;"));
    writeEntry(QStringLiteral("viewer.desktop"), QStringLiteral("Viewer"), scribe + " %f",
               QStringLiteral("image/png;"));
    writeEntry(QStringLiteral("broken.desktop"), QStringLiteral("Broken"),
               desktopDir(QStringLiteral("bin/missing-editor")) + " %f",
               QStringLiteral("text/html;"));
    if (!defaultId.isEmpty())
        setDefault(defaultId);

    if (choice == QLatin1String("candidate"))
        m_dialogs->programChoices.enqueue(
            ProgramChoice{QStringLiteral("Scribe"), scribe, {QStringLiteral("--from-chooser")}});
    else if (choice == QLatin1String("other program"))
        m_dialogs->programChoices.enqueue(ProgramChoice{QStringLiteral("other.sh"), other, {}});

    CConfigView page(*m_app);
    Control<QPushButton>(&page, 1006)->click();
    const QString path = page.RootDirectory() + QStringLiteral("/system/build.prop");

    // The installed applications that declare plain text, by name.
    QCOMPARE(m_dialogs->chooserCandidates.size(), 1);
    const QList<ProgramChoice> candidates = m_dialogs->chooserCandidates.first();
    QCOMPARE(candidates.size(), 2);
    QCOMPARE(candidates.at(0).name, QStringLiteral("notes"));
    QCOMPARE(candidates.at(0).command, QStringLiteral("corvane-test-notes"));
    QCOMPARE(candidates.at(0).arguments, QStringList{QStringLiteral("--new")});
    QCOMPARE(candidates.at(1).name, QStringLiteral("Scribe"));
    QCOMPARE(candidates.at(1).command, scribe);
    QCOMPARE(candidates.at(1).arguments, QStringList{QStringLiteral("--from-chooser")});
    QVERIFY(m_dialogs->boxes.isEmpty());

    if (choice == QLatin1String("candidate"))
        QTRY_COMPARE_WITH_TIMEOUT(ReadFile(chooserOutput),
                                  recorded({QStringLiteral("--from-chooser"), path}).toUtf8(),
                                  30000);
    else if (choice == QLatin1String("other program"))
        QTRY_COMPARE_WITH_TIMEOUT(ReadFile(otherOutput), recorded({path}).toUtf8(), 30000);
}

void tst_ConfigView::chosenProgramThatCannotStartIsReported() {
    const QString missing = desktopDir(QStringLiteral("bin/no-such-editor"));
    m_dialogs->programChoices.enqueue(ProgramChoice{QStringLiteral("gone"), missing, {}});
    CConfigView page(*m_app);
    Control<QPushButton>(&page, 1007)->click();
    QCOMPARE(m_dialogs->chooserCandidates.size(), 1);
    QCOMPARE(m_dialogs->texts(),
             QStringList{QStringLiteral("Failed to start \"%1\"!").arg(missing)});
    QCOMPARE(m_dialogs->boxes.first().owner.data(), &page);
}

void tst_ConfigView::chosenProgramOpensTheNextFile() {
    const QString output = desktopDir(QStringLiteral("scribe.out"));
    const QString scribe = writeRecorder(QStringLiteral("bin/scribe.sh"), output);
    QVERIFY(!scribe.isEmpty());
    writeEntry(QStringLiteral("scribe.desktop"), QStringLiteral("Scribe"), scribe + " --new %F",
               QStringLiteral("text/plain;"));
    m_dialogs->programChoices.enqueue(
        ProgramChoice{QStringLiteral("Scribe"), scribe, {QStringLiteral("--new")}});

    const QString first = desktopDir(QStringLiteral("tree/build.prop"));
    OpenInEditor(first);
    QTRY_COMPARE_WITH_TIMEOUT(ReadFile(output), recorded({QStringLiteral("--new"), first}).toUtf8(),
                              30000);
    QVERIFY(QFile::remove(output));

    // Remembered across runs: the next open (a new page) asks nothing.
    const QString second = desktopDir(QStringLiteral("tree/key.xml"));
    OpenInEditor(second);
    QTRY_COMPARE_WITH_TIMEOUT(ReadFile(output),
                              recorded({QStringLiteral("--new"), second}).toUtf8(), 30000);
    QCOMPARE(m_dialogs->chooserCandidates.size(), 1);
    QVERIFY(m_dialogs->boxes.isEmpty());
}

void tst_ConfigView::rememberedProgramThatIsGoneIsForgotten() {
    const QString output = desktopDir(QStringLiteral("scribe.out"));
    const QString scribe = writeRecorder(QStringLiteral("bin/scribe.sh"), output);
    QVERIFY(!scribe.isEmpty());
    writeEntry(QStringLiteral("scribe.desktop"), QStringLiteral("Scribe"), scribe + " %F",
               QStringLiteral("text/plain;"));
    const QString gone = writeRecorder(QStringLiteral("bin/gone.sh"), output);
    m_dialogs->programChoices.enqueue(ProgramChoice{QStringLiteral("gone"), gone, {}});
    const QString path = desktopDir(QStringLiteral("tree/build.prop"));
    OpenInEditor(path);
    QTRY_COMPARE_WITH_TIMEOUT(ReadFile(output), recorded({path}).toUtf8(), 30000);
    QVERIFY(QFile::remove(output));
    QVERIFY(QFile::remove(gone));

    // The uninstalled program is passed over in silence and the user
    // chooses again; the new choice is the one remembered.
    m_dialogs->programChoices.enqueue(ProgramChoice{QStringLiteral("Scribe"), scribe, {}});
    OpenInEditor(path);
    QCOMPARE(m_dialogs->chooserCandidates.size(), 2);
    QVERIFY(m_dialogs->boxes.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(ReadFile(output), recorded({path}).toUtf8(), 30000);
    QVERIFY(QFile::remove(output));
    OpenInEditor(path);
    QTRY_COMPARE_WITH_TIMEOUT(ReadFile(output), recorded({path}).toUtf8(), 30000);
    QCOMPARE(m_dialogs->chooserCandidates.size(), 2);
}

void tst_ConfigView::withoutDesktopEditorsTheUsersEditorRunsInATerminal_data() {
    QTest::addColumn<QString>("visual"); // "<bin>" stands for the test's editor script
    QTest::addColumn<QString>("editor");
    QTest::addColumn<bool>("terminal");   // $TERMINAL names the recording terminal
    QTest::addColumn<QStringList>("run"); // after the terminal's "-e"; empty: the chooser
    const QString bin = QStringLiteral("<bin>");
    QTest::newRow("visual first") << bin + " -f"
                                  << "vi" << true << QStringList{bin, "-f"};
    QTest::newRow("editor alone") << "" << bin + " --wait" << true << QStringList{bin, "--wait"};
    QTest::newRow("editor not installed") << ""
                                          << "corvane-test-no-editor" << true << QStringList();
    QTest::newRow("neither set") << ""
                                 << "" << true << QStringList();
    if (QStandardPaths::findExecutable(QStringLiteral("x-terminal-emulator")).isEmpty())
        QTest::newRow("no terminal") << bin << "" << false << QStringList();
}

void tst_ConfigView::withoutDesktopEditorsTheUsersEditorRunsInATerminal() {
    QFETCH(QString, visual);
    QFETCH(QString, editor);
    QFETCH(bool, terminal);
    QFETCH(QStringList, run);
    const QString output = desktopDir(QStringLiteral("terminal.out"));
    const QString recorder = writeRecorder(QStringLiteral("bin/terminal.sh"), output);
    const QString bin =
        writeRecorder(QStringLiteral("bin/my editor.sh"), desktopDir(QStringLiteral("unused.out")));
    QVERIFY(!recorder.isEmpty() && !bin.isEmpty());
    const auto quoted = [&](QString value) {
        return value.replace(QStringLiteral("<bin>"), QLatin1Char('"') + bin + QLatin1Char('"'));
    };
    qputenv("VISUAL", quoted(visual).toUtf8());
    qputenv("EDITOR", quoted(editor).toUtf8());
    if (terminal)
        qputenv("TERMINAL", recorder.toUtf8());
    // An application for another type is no desktop editor.
    writeEntry(QStringLiteral("viewer.desktop"), QStringLiteral("Viewer"), recorder + " %f",
               QStringLiteral("image/png;"));

    const QString path = desktopDir(QStringLiteral("tree/build.prop"));
    OpenInEditor(path);
    if (run.isEmpty()) {
        QCOMPARE(m_dialogs->chooserCandidates.size(), 1);
        QVERIFY(m_dialogs->chooserCandidates.first().isEmpty());
        QVERIFY(!QFileInfo::exists(output));
        return;
    }
    run.replaceInStrings(QStringLiteral("<bin>"), bin);
    QTRY_COMPARE_WITH_TIMEOUT(
        ReadFile(output),
        recorded(QStringList{QStringLiteral("-e")} + run + QStringList{path}).toUtf8(), 30000);
    QVERIFY(m_dialogs->chooserCandidates.isEmpty());
    QVERIFY(m_dialogs->boxes.isEmpty());
}

// The real chooser with no program to list is no dead end: it offers
// browsing for a program, and what is picked there is the answer.
void tst_ConfigView::emptyChooserBrowsesForAProgram() {
    const QString program = desktopDir(QStringLiteral("bin/my-editor"));
    QVERIFY(WriteFile(program, "#!/bin/sh\n"));
    bool okOffered = true;
    bool browseIsDefault = false;
    QString told;
    QTimer::singleShot(0, this, [&] {
        auto* chooser = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(chooser);
        auto* box = chooser->findChild<QDialogButtonBox*>();
        QVERIFY(box);
        okOffered = box->button(QDialogButtonBox::Ok) != nullptr;
        for (const QLabel* label : chooser->findChildren<QLabel*>())
            told += label->text();
        auto* browse = chooser->findChild<QPushButton*>(QStringLiteral("browseForProgram"));
        QVERIFY(browse);
        browseIsDefault = browse->isDefault();
        QTimer::singleShot(0, this, [program] {
            auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(files);
            files->selectFile(program);
            static_cast<QDialog*>(files)->accept();
        });
        browse->click();
    });
    QtUiDialogs dialogs;
    ProgramChoice chosen;
    QVERIFY(
        dialogs.chooseProgram(nullptr, desktopDir(QStringLiteral("tree/build.prop")), {}, &chosen));
    QVERIFY(!okOffered);
    QVERIFY(browseIsDefault);
    QVERIFY2(told.contains("$VISUAL") && told.contains("$EDITOR"), qPrintable(told));
    QCOMPARE(chosen.command, program);
    QCOMPARE(chosen.name, QStringLiteral("my-editor"));
}

QTEST_MAIN(tst_ConfigView)
#include "tst_ConfigView.moc"
