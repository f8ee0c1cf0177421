#include "core/base/DesktopApplications.h"
#include "support/TestBundle.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The desktop's application registry, read from fixture directories that the
// XDG variables point at (the machine's own files never take part).
class tst_DesktopApplications : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void searchPathsFollowTheEnvironment();
    void searchPathsFallBackToTheDefaults();

    void readDesktopFile_data();
    void readDesktopFile();
    void installedApplicationsTakeEachIdOnce();

    void defaultApplication_data();
    void defaultApplication();

    void applicationsForPlainText();

    void splitExecLine_data();
    void splitExecLine();

    void commandLineForFile_data();
    void commandLineForFile();
    void terminalApplicationsRunInTheTerminalEmulator();

private:
    QString dir(const QString& relative) const { return m_root->filePath(relative); }
    void writeDesktop(const QString& relative, const QString& body) const {
        QVERIFY(WriteFile(dir(relative), body.toUtf8()));
    }
    static QString entry(const QString& name, const QString& exec,
                         const QString& mimeTypes = QStringLiteral("text/plain;")) {
        return QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\nMimeType=%3\n")
            .arg(name, exec, mimeTypes);
    }

    std::unique_ptr<QTemporaryDir> m_root;
    QByteArray m_savedPath;
};

void tst_DesktopApplications::init() {
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    for (const char* sub :
         {"config-home", "config-dir", "data-home/applications", "data-dir/applications"})
        QVERIFY(QDir().mkpath(dir(QLatin1String(sub))));
    qputenv("XDG_CONFIG_HOME", dir(QStringLiteral("config-home")).toUtf8());
    qputenv("XDG_CONFIG_DIRS", dir(QStringLiteral("config-dir")).toUtf8());
    qputenv("XDG_DATA_HOME", dir(QStringLiteral("data-home")).toUtf8());
    qputenv("XDG_DATA_DIRS", dir(QStringLiteral("data-dir")).toUtf8());
    qunsetenv("XDG_CURRENT_DESKTOP");
    m_savedPath = qgetenv("PATH");
}

void tst_DesktopApplications::cleanup() {
    qputenv("PATH", m_savedPath);
    m_root.reset();
}

void tst_DesktopApplications::searchPathsFollowTheEnvironment() {
    // Relative entries are not valid and are ignored.
    qputenv("XDG_CONFIG_DIRS", (QStringLiteral("relative/dir:") +
                                dir(QStringLiteral("config-dir")) + QStringLiteral(":/etc/other"))
                                   .toUtf8());
    qputenv("XDG_CURRENT_DESKTOP", "KDE:Plasma");
    const XdgSearchPaths paths = XdgSearchPaths::fromEnvironment();
    QCOMPARE(paths.applicationDirs, QStringList({dir(QStringLiteral("data-home/applications")),
                                                 dir(QStringLiteral("data-dir/applications"))}));
    QCOMPARE(
        paths.associationDirs,
        QStringList({dir(QStringLiteral("config-home")), dir(QStringLiteral("config-dir")),
                     QStringLiteral("/etc/other"), dir(QStringLiteral("data-home/applications")),
                     dir(QStringLiteral("data-dir/applications"))}));
    QCOMPARE(paths.desktopNames, QStringList({QStringLiteral("kde"), QStringLiteral("plasma")}));
}

void tst_DesktopApplications::searchPathsFallBackToTheDefaults() {
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_DATA_DIRS"})
        qunsetenv(variable);
    qputenv("XDG_CONFIG_DIRS", ""); // empty counts as unset
    const QString home = QDir::homePath();
    const XdgSearchPaths paths = XdgSearchPaths::fromEnvironment();
    QCOMPARE(paths.applicationDirs,
             QStringList({home + QStringLiteral("/.local/share/applications"),
                          QStringLiteral("/usr/local/share/applications"),
                          QStringLiteral("/usr/share/applications")}));
    QCOMPARE(paths.associationDirs,
             QStringList({home + QStringLiteral("/.config"), QStringLiteral("/etc/xdg")}) +
                 paths.applicationDirs);
    QVERIFY(paths.desktopNames.isEmpty());
}

void tst_DesktopApplications::readDesktopFile_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("exec");
    QTest::addColumn<QStringList>("mimeTypes");
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<bool>("noDisplay");

    QTest::newRow("plain application")
        << QStringLiteral("# comment\n\n[Desktop Entry]\nType=Application\nName=Editor\n"
                          "Name[de]=Bearbeiter\nExec=editor %F\n"
                          "MimeType=text/plain;text/x-c;\n")
        << true << "Editor"
        << "editor %F" << QStringList({QStringLiteral("text/plain"), QStringLiteral("text/x-c")})
        << false << false;
    QTest::newRow("blanks around the equals sign, flags")
        << QStringLiteral("[Desktop Entry]\nType = Application\nName = Vi\nExec = vi\n"
                          "Terminal=true\nNoDisplay=true\n")
        << true << "Vi"
        << "vi" << QStringList() << true << true;
    QTest::newRow("string escapes resolved, quoting escapes kept")
        << QStringLiteral("[Desktop Entry]\nType=Application\nName=A\\sB\n"
                          "Exec=\"/opt/my\\sapps/ed\" \"x\\\\\\\\y\" %f\nMimeType=a\\;b;c\n")
        << true << "A B"
        << "\"/opt/my apps/ed\" \"x\\\\y\" %f"
        << QStringList({QStringLiteral("a;b"), QStringLiteral("c")}) << false << false;
    QTest::newRow("name missing: the id names it")
        << QStringLiteral("[Desktop Entry]\nType=Application\nExec=ed\n") << true << "entry"
        << "ed" << QStringList() << false << false;
    QTest::newRow("keys of other groups ignored")
        << QStringLiteral("[Desktop Action New]\nExec=other\nName=Other\n"
                          "[Desktop Entry]\nType=Application\nName=Main\nExec=main\n")
        << true << "Main"
        << "main" << QStringList() << false << false;
    QTest::newRow("TryExec installed")
        << QStringLiteral("[Desktop Entry]\nType=Application\nName=T\nExec=t\nTryExec=/bin/sh\n")
        << true << "T"
        << "t" << QStringList() << false << false;

    const QStringList none;
    QTest::newRow("TryExec missing")
        << QStringLiteral("[Desktop Entry]\nType=Application\nName=T\nExec=t\n"
                          "TryExec=/nonexistent/corvane-editor\n")
        << false << ""
        << "" << none << false << false;
    QTest::newRow("a link, not an application")
        << QStringLiteral("[Desktop Entry]\nType=Link\nName=L\nExec=l\n") << false << ""
        << "" << none << false << false;
    QTest::newRow("hidden")
        << QStringLiteral("[Desktop Entry]\nType=Application\nName=H\nExec=h\nHidden=true\n")
        << false << ""
        << "" << none << false << false;
    QTest::newRow("no Exec") << QStringLiteral("[Desktop Entry]\nType=Application\nName=N\n")
                             << false << ""
                             << "" << none << false << false;
    QTest::newRow("no entry group") << QStringLiteral("Type=Application\nExec=x\n") << false << ""
                                    << "" << none << false << false;
}

void tst_DesktopApplications::readDesktopFile() {
    QFETCH(QString, body);
    QFETCH(bool, valid);
    writeDesktop(QStringLiteral("entry.desktop"), body);

    DesktopApplication application;
    QCOMPARE(ReadDesktopFile(dir(QStringLiteral("entry.desktop")), QStringLiteral("entry.desktop"),
                             &application),
             valid);
    if (!valid)
        return;
    QCOMPARE(application.id, QStringLiteral("entry.desktop"));
    QCOMPARE(application.filePath, dir(QStringLiteral("entry.desktop")));
    QTEST(application.name, "name");
    QTEST(application.exec, "exec");
    QTEST(application.mimeTypes, "mimeTypes");
    QTEST(application.terminal, "terminal");
    QTEST(application.noDisplay, "noDisplay");
}

void tst_DesktopApplications::installedApplicationsTakeEachIdOnce() {
    // The user's entry overrides the system one; a hidden user entry hides it.
    writeDesktop(QStringLiteral("data-home/applications/ed.desktop"),
                 entry(QStringLiteral("User Ed"), QStringLiteral("ed-user")));
    writeDesktop(QStringLiteral("data-dir/applications/ed.desktop"),
                 entry(QStringLiteral("System Ed"), QStringLiteral("ed-system")));
    writeDesktop(QStringLiteral("data-home/applications/gone.desktop"),
                 entry(QStringLiteral("Gone"), QStringLiteral("gone")) +
                     QStringLiteral("Hidden=true\n"));
    writeDesktop(QStringLiteral("data-dir/applications/gone.desktop"),
                 entry(QStringLiteral("Gone System"), QStringLiteral("gone")));
    // Subdirectories join the id with '-'.
    writeDesktop(QStringLiteral("data-dir/applications/kde/write.desktop"),
                 entry(QStringLiteral("Write"), QStringLiteral("write")));
    writeDesktop(QStringLiteral("data-dir/applications/notes.txt"),
                 entry(QStringLiteral("Not an entry"), QStringLiteral("x")));

    QStringList seen;
    for (const DesktopApplication& application :
         InstalledApplications(XdgSearchPaths::fromEnvironment()))
        seen << application.id + QLatin1Char('=') + application.name;
    QCOMPARE(seen, QStringList({QStringLiteral("ed.desktop=User Ed"),
                                QStringLiteral("kde-write.desktop=Write")}));
}

void tst_DesktopApplications::defaultApplication_data() {
    QTest::addColumn<QString>("desktop");   // XDG_CURRENT_DESKTOP
    QTest::addColumn<QStringList>("lists"); // pairs: list file, its text
    QTest::addColumn<QString>("expected");  // id, empty for none

    const auto defaults = [](const QString& value) {
        return QStringLiteral("[Added Associations]\ntext/plain=other.desktop;\n"
                              "[Default Applications]\ntext/html=web.desktop\ntext/plain=") +
               value + QLatin1Char('\n');
    };
    QTest::newRow("user configuration")
        << "" << QStringList{"config-home/mimeapps.list", defaults("ed.desktop")} << "ed.desktop";
    QTest::newRow("first installed entry of the list")
        << "" << QStringList{"config-home/mimeapps.list", defaults("missing.desktop;write.desktop")}
        << "write.desktop";
    QTest::newRow("hidden entry skipped")
        << "" << QStringList{"config-home/mimeapps.list", defaults("gone.desktop;ed.desktop")}
        << "ed.desktop";
    QTest::newRow("user configuration before the system's")
        << ""
        << QStringList{"config-dir/mimeapps.list", defaults("write.desktop"),
                       "config-home/mimeapps.list", defaults("ed.desktop")}
        << "ed.desktop";
    QTest::newRow("nothing installed in the user's list: the system's")
        << ""
        << QStringList{"config-home/mimeapps.list", defaults("missing.desktop"),
                       "config-dir/mimeapps.list", defaults("write.desktop")}
        << "write.desktop";
    QTest::newRow("list among the user's applications")
        << "" << QStringList{"data-home/applications/mimeapps.list", defaults("ed.desktop")}
        << "ed.desktop";
    QTest::newRow("list among the system's applications")
        << "" << QStringList{"data-dir/applications/mimeapps.list", defaults("write.desktop")}
        << "write.desktop";
    QTest::newRow("configuration before the application lists")
        << ""
        << QStringList{"data-home/applications/mimeapps.list", defaults("ed.desktop"),
                       "config-dir/mimeapps.list", defaults("write.desktop")}
        << "write.desktop";
    QTest::newRow("desktop's own list first")
        << "Test:Other"
        << QStringList{"config-home/mimeapps.list", defaults("ed.desktop"),
                       "config-home/other-mimeapps.list", defaults("write.desktop")}
        << "write.desktop";
    QTest::newRow("list of another desktop ignored")
        << "Test"
        << QStringList{"config-home/mimeapps.list", defaults("ed.desktop"),
                       "config-home/other-mimeapps.list", defaults("write.desktop")}
        << "ed.desktop";
    QTest::newRow("associations are not defaults")
        << "" << QStringList{"config-home/mimeapps.list", defaults("")} << "";
    QTest::newRow("other type only")
        << ""
        << QStringList{"config-home/mimeapps.list",
                       "[Default Applications]\ntext/plainx=ed.desktop\n"}
        << "";
    QTest::newRow("no list") << "" << QStringList() << "";
}

void tst_DesktopApplications::defaultApplication() {
    QFETCH(QString, desktop);
    QFETCH(QStringList, lists);
    QFETCH(QString, expected);

    writeDesktop(QStringLiteral("data-home/applications/ed.desktop"),
                 entry(QStringLiteral("Ed"), QStringLiteral("ed")));
    writeDesktop(QStringLiteral("data-dir/applications/write.desktop"),
                 entry(QStringLiteral("Write"), QStringLiteral("write")));
    writeDesktop(QStringLiteral("data-dir/applications/other.desktop"),
                 entry(QStringLiteral("Other"), QStringLiteral("other")));
    writeDesktop(QStringLiteral("data-dir/applications/gone.desktop"),
                 entry(QStringLiteral("Gone"), QStringLiteral("gone")) +
                     QStringLiteral("Hidden=true\n"));
    for (qsizetype i = 0; i + 1 < lists.size(); i += 2)
        writeDesktop(lists.at(i), lists.at(i + 1));
    if (!desktop.isEmpty())
        qputenv("XDG_CURRENT_DESKTOP", desktop.toUtf8());

    DesktopApplication application;
    const bool found = FindDefaultApplication(XdgSearchPaths::fromEnvironment(),
                                              QStringLiteral("text/plain"), &application);
    QCOMPARE(found, !expected.isEmpty());
    if (found)
        QCOMPARE(application.id, expected);
}

void tst_DesktopApplications::applicationsForPlainText() {
    writeDesktop(QStringLiteral("data-home/applications/zed.desktop"),
                 entry(QStringLiteral("zed"), QStringLiteral("zed")));
    writeDesktop(QStringLiteral("data-dir/applications/alpha.desktop"),
                 entry(QStringLiteral("Alpha"), QStringLiteral("alpha"),
                       QStringLiteral("text/x-c;text/plain")));
    writeDesktop(QStringLiteral("data-dir/applications/beta.desktop"),
                 entry(QStringLiteral("beta"), QStringLiteral("beta")));
    writeDesktop(
        QStringLiteral("data-dir/applications/viewer.desktop"),
        entry(QStringLiteral("Viewer"), QStringLiteral("viewer"), QStringLiteral("image/png;")));
    writeDesktop(QStringLiteral("data-dir/applications/helper.desktop"),
                 entry(QStringLiteral("Helper"), QStringLiteral("helper")) +
                     QStringLiteral("NoDisplay=true\n"));
    writeDesktop(QStringLiteral("data-dir/applications/prefix.desktop"),
                 entry(QStringLiteral("Prefix"), QStringLiteral("prefix"),
                       QStringLiteral("text/plain-extra;")));

    QStringList names;
    for (const DesktopApplication& application :
         ApplicationsForMimeType(XdgSearchPaths::fromEnvironment(), QStringLiteral("text/plain")))
        names << application.name;
    QCOMPARE(names,
             QStringList({QStringLiteral("Alpha"), QStringLiteral("beta"), QStringLiteral("zed")}));
}

void tst_DesktopApplications::splitExecLine_data() {
    QTest::addColumn<QString>("exec");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("simple") << "ed %f" << true << QStringList{"ed", "%f"};
    QTest::newRow("blanks and tabs between")
        << "  ed \t -n  %F " << true << QStringList{"ed", "-n", "%F"};
    QTest::newRow("quoted program with a blank") << "\"/opt/my editor/ed\" --new %U" << true
                                                 << QStringList{"/opt/my editor/ed", "--new", "%U"};
    QTest::newRow("escapes inside quotes")
        << "sh -c \"echo \\\"a\\\" \\$HOME \\`x\\` \\\\ \\n\"" << true
        << QStringList{"sh", "-c", "echo \"a\" $HOME `x` \\ \\n"};
    QTest::newRow("quotes join with the text around them")
        << "ed --title=\"a b\"c" << true << QStringList{"ed", "--title=a bc"};
    QTest::newRow("empty quoted argument") << "ed \"\"" << true << QStringList{"ed", ""};
    QTest::newRow("quote not closed") << "ed \"a b" << false << QStringList();
    QTest::newRow("only blanks") << "   " << false << QStringList();
}

void tst_DesktopApplications::splitExecLine() {
    QFETCH(QString, exec);
    QStringList arguments{QStringLiteral("untouched")};
    QTEST(SplitExecLine(exec, &arguments), "ok");
    QFETCH(bool, ok);
    if (ok)
        QTEST(arguments, "arguments");
    else
        QCOMPARE(arguments, QStringList{QStringLiteral("untouched")});
}

void tst_DesktopApplications::commandLineForFile_data() {
    QTest::addColumn<QString>("exec");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("expected");

    const QString path = QStringLiteral("/tmp/a dir/build.prop");
    QTest::newRow("%f") << "ed %f" << path << QStringList{"ed", path};
    QTest::newRow("%F") << "ed --new %F" << path << QStringList{"ed", "--new", path};
    QTest::newRow("%u") << "ed %u" << path << QStringList{"ed", path};
    QTest::newRow("%U before other arguments")
        << "ed %U --wait" << path << QStringList{"ed", path, "--wait"};
    QTest::newRow("no file code: appended") << "ed -n" << path << QStringList{"ed", "-n", path};
    QTest::newRow("file code inside an argument")
        << "ed --file=%f" << path << QStringList{"ed", "--file=" + path};
    QTest::newRow("other codes dropped")
        << "ed %i %c %k %d %D %n %N %v %m --x=%c %f" << path << QStringList{"ed", "--x=", path};
    QTest::newRow("percent") << "ed 100%% %%" << path << QStringList{"ed", "100%", "%", path};
    QTest::newRow("quoted program")
        << "\"/opt/my ed/ed\" %f" << path << QStringList{"/opt/my ed/ed", path};
    QTest::newRow("no file: codes dropped")
        << "ed --new %F" << QString() << QStringList{"ed", "--new"};
    QTest::newRow("no file: argument with a code dropped")
        << "ed --file=%f -n" << QString() << QStringList{"ed", "-n"};
    QTest::newRow("no file: nothing appended") << "ed" << QString() << QStringList{"ed"};
    QTest::newRow("unusable line") << "\"ed" << path << QStringList();
    QTest::newRow("nothing but codes") << "%i %c" << path << QStringList();
}

void tst_DesktopApplications::commandLineForFile() {
    QFETCH(QString, exec);
    QFETCH(QString, file);
    QFETCH(QStringList, expected);
    DesktopApplication application;
    application.exec = exec;
    QStringList commandLine;
    QCOMPARE(CommandLineForFile(application, file, &commandLine), !expected.isEmpty());
    QCOMPARE(commandLine, expected);
}

void tst_DesktopApplications::terminalApplicationsRunInTheTerminalEmulator() {
    DesktopApplication application;
    application.exec = QStringLiteral("vi %f");
    application.terminal = true;
    QStringList commandLine;

    qputenv("PATH", dir(QStringLiteral("bin")).toUtf8());
    QVERIFY(!CommandLineForFile(application, QStringLiteral("/tmp/x"), &commandLine));

    const QString terminal = dir(QStringLiteral("bin/x-terminal-emulator"));
    QVERIFY(WriteFile(terminal, "#!/bin/sh\n"));
    QVERIFY(
        QFile::setPermissions(terminal, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(CommandLineForFile(application, QStringLiteral("/tmp/x"), &commandLine));
    QCOMPARE(commandLine, QStringList({terminal, QStringLiteral("-e"), QStringLiteral("vi"),
                                       QStringLiteral("/tmp/x")}));
}

QTEST_GUILESS_MAIN(tst_DesktopApplications)
#include "tst_DesktopApplications.moc"
