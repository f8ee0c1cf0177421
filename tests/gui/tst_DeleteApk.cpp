// The Delete command of the APK pages: archive member and tree in both
// layouts on both pages, the change log, failures and the list afterwards.
#include "core/base/FileHelpers.h"
#include "core/package/ApkNameRule.h"
#include "gui/CApkEditView.h"
#include "gui/CCorvaneApp.h"
#include "gui/UiDialogs.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

const QString kQuestion = QStringLiteral("Are you sure to delete?");
const QString kNoPackage = QStringLiteral("Please open a firmware package first!");

QString Failed(const QString& path) {
    return QStringLiteral("Delete \"") + path + QStringLiteral("\" Failed!");
}

QStringList Sorted(QStringList list) {
    std::sort(list.begin(), list.end());
    return list;
}

// The list without the entries that are, or lie below, one of the removed.
QStringList Without(const QStringList& list, const QStringList& removed) {
    QStringList out;
    for (const QString& entry : list) {
        if (std::none_of(removed.begin(), removed.end(), [&](const QString& gone) {
                return entry == gone || entry.startsWith(gone + "/");
            }))
            out << entry;
    }
    return out;
}

} // namespace

class TestDeleteApk : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void deletes_data();
    void deletes();
    void fileFaultEndsPass_data();
    void fileFaultEndsPass();
    void upperCaseExtensionInDirectoryLayout();
    void archiveFailure_data();
    void archiveFailure();
    void answerNo();
    void noPackageOpen();
    void noSelection();

private:
    // Lays the files out in the extracted tree and, with the extra members,
    // in the working archive; builds the page and lists it.
    void open(int version, bool systemPage, const QStringList& files,
              const QStringList& archiveOnly = {});
    void select(const QStringList& relativePaths);
    QStringList members() const { return Sorted(ZipMemberNames(m_archive)); }
    QStringList logPaths() const;
    QString Tree() const { return m_app->State().paths().extractedTree(); }
    QString InTree(const QString& relative) const { return Tree() + "/" + relative; }
    QString pending() const { return m_app->State().paths().zipTempDir() + "/tree.pending"; }

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<ScriptedUiDialogs> m_dialogs;
    std::unique_ptr<CCorvaneApp> m_app;
    std::unique_ptr<CApkEditView> m_page;
    QString m_archive;
};

void TestDeleteApk::init() {
    m_bundle = std::make_unique<TestBundle>();
    QVERIFY(m_bundle->isValid());
    m_dialogs = std::make_unique<ScriptedUiDialogs>();
    m_app = std::make_unique<CCorvaneApp>(m_bundle->path());
    m_archive = m_app->State().paths().workingArchive();
}

void TestDeleteApk::cleanup() {
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_page.reset();
    m_app.reset();
    m_dialogs.reset();
    m_bundle.reset();
}

void TestDeleteApk::open(int version, bool systemPage, const QStringList& files,
                         const QStringList& archiveOnly) {
    m_app->State().setAndroidMajorVersion(version);
    QList<QPair<QString, QByteArray>> entries;
    for (const QString& file : files) {
        const QByteArray data = ("data of " + file).toUtf8();
        QVERIFY(WriteFile(InTree(file), data));
        entries.append({file, data});
    }
    for (const QString& member : archiveOnly)
        entries.append({member, QByteArray("archive only")});
    entries.append(
        {QStringLiteral("system/build.prop"), QByteArray("ro.build.version.release=4.4")});
    QVERIFY(QDir().mkpath(m_app->State().paths().zipTempDir()));
    QVERIFY(WriteZip(m_archive, entries));
    m_app->State().setWorkingArchivePath(m_archive);

    m_page =
        std::make_unique<CApkEditView>(*m_app, systemPage ? Partition::System : Partition::Data);
    QCOMPARE(m_page->RootDirectory(), Tree() + (systemPage ? "/system" : "/userdata"));
    m_page->RefreshApkList();
}

void TestDeleteApk::select(const QStringList& relativePaths) {
    for (const QString& relative : relativePaths) {
        const int row = static_cast<int>(m_page->ApkPaths().indexOf(InTree(relative)));
        QVERIFY2(row >= 0, qPrintable(relative + " is not listed"));
        m_page->ApkList()->item(row)->setSelected(true);
    }
}

QStringList TestDeleteApk::logPaths() const {
    // "<date> <time>: DELETE \"<path>\"" -> path
    QStringList paths;
    for (const QString& line : m_app->State().changeLog()) {
        const qsizetype at = line.indexOf(QLatin1String(": DELETE \""));
        paths << (at < 0 || !line.endsWith('"') ? QStringLiteral("?") + line
                                                : line.mid(at + 10).chopped(1));
    }
    return paths;
}

void TestDeleteApk::deletes_data() {
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("systemPage");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("selected"); // in row order
    QTest::addColumn<QStringList>("goneFromDisk");

    QTest::newRow("4 system: flat, libraries stay")
        << 4 << true
        << QStringList{"system/app/Music.apk", "system/app/Other.apk", "system/lib/libmusic.so"}
        << QStringList{"system/app/Music.apk"} << QStringList{"system/app/Music.apk"};
    QTest::newRow("5 system: directory layout, every member of the directory goes")
        << 5 << true
        << QStringList{"system/app/Browser/Browser.apk", "system/app/Browser/lib/arm/libfoo.so",
                       "system/app/Browser/oat/arm/Browser.odex", "system/app/Music.apk"}
        << QStringList{"system/app/Browser/Browser.apk"} << QStringList{"system/app/Browser"};
    QTest::newRow("5 system: an apk directly in app is flat")
        << 5 << true << QStringList{"system/app/Music.apk", "system/app/Other.apk"}
        << QStringList{"system/app/Music.apk"} << QStringList{"system/app/Music.apk"};
    QTest::newRow("5 system: base name found in the directory path")
        << 5 << true
        << QStringList{"system/app/app.apk", "system/app/Music.apk", "system/app/sys.apk"}
        << QStringList{"system/app/app.apk", "system/app/sys.apk"}
        << QStringList{"system/app/app.apk", "system/app/sys.apk"};
    QTest::newRow("5 system: priv-app directory layout")
        << 5 << true
        << QStringList{"system/app/Settings/Settings.apk", "system/priv-app/Settings/Settings.apk",
                       "system/priv-app/Settings/oat/arm/Settings.odex"}
        << QStringList{"system/priv-app/Settings/Settings.apk"}
        << QStringList{"system/priv-app/Settings"};
    QTest::newRow("4 system: priv-app flat, same name in app")
        << 4 << true << QStringList{"system/app/Settings.apk", "system/priv-app/Settings.apk"}
        << QStringList{"system/priv-app/Settings.apk"}
        << QStringList{"system/priv-app/Settings.apk"};
    QTest::newRow("5 data: directory layout")
        << 5 << false
        << QStringList{"userdata/app/Browser/Browser.apk", "userdata/app/Browser/lib/arm/libb.so",
                       "userdata/app/Music/Music.apk"}
        << QStringList{"userdata/app/Browser/Browser.apk"} << QStringList{"userdata/app/Browser"};
    QTest::newRow("4 data: flat") << 4 << false
                                  << QStringList{"userdata/app/Bar.apk", "userdata/app/Foo.apk"}
                                  << QStringList{"userdata/app/Foo.apk"}
                                  << QStringList{"userdata/app/Foo.apk"};
    QTest::newRow("4 system: B and C of A, B, C")
        << 4 << true << QStringList{"system/app/A.apk", "system/app/B.apk", "system/app/C.apk"}
        << QStringList{"system/app/B.apk", "system/app/C.apk"}
        << QStringList{"system/app/B.apk", "system/app/C.apk"};
    QTest::newRow("5 system: both layouts and both directories in one pass")
        << 5 << true
        << QStringList{"system/app/Browser/Browser.apk", "system/app/Music.apk",
                       "system/priv-app/Phone/Phone.apk", "system/priv-app/Keep.apk"}
        << QStringList{"system/app/Browser/Browser.apk", "system/app/Music.apk",
                       "system/priv-app/Phone/Phone.apk"}
        << QStringList{"system/app/Browser", "system/app/Music.apk", "system/priv-app/Phone"};
    QTest::newRow("6 system: flat")
        << 6 << true << QStringList{"system/app/Music.apk"} << QStringList{"system/app/Music.apk"}
        << QStringList{"system/app/Music.apk"};
}

void TestDeleteApk::deletes() {
    QFETCH(int, version);
    QFETCH(bool, systemPage);
    QFETCH(QStringList, files);
    QFETCH(QStringList, selected);
    QFETCH(QStringList, goneFromDisk);

    open(version, systemPage, files);
    const QStringList membersBefore = members();
    select(selected);
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_page->OnDeleteApk();

    // One question, owned by the page; no other box.
    QCOMPARE(m_dialogs->texts(), QStringList{kQuestion});
    QCOMPARE(m_dialogs->boxes.first().owner.data(), m_page.get());

    // Exactly the members of the deleted APKs left the archive: the file, or
    // in the directory layout everything below its directory.
    QCOMPARE(members(), Without(membersBefore, goneFromDisk));
    QVERIFY(!FileHelpers::PathExists(pending()));

    // The APK (flat) or its directory (directory layout) left the tree,
    // nothing else did.
    for (const QString& gone : goneFromDisk)
        QVERIFY2(!FileHelpers::PathExists(InTree(gone)), qPrintable(gone));
    for (const QString& file : files) {
        const bool below =
            std::any_of(goneFromDisk.begin(), goneFromDisk.end(),
                        [&](const QString& g) { return file == g || file.startsWith(g + "/"); });
        if (!below)
            QVERIFY2(FileHelpers::PathExists(InTree(file)), qPrintable(file));
    }

    // One line for each, in row order.
    QStringList logged;
    for (const QString& relative : selected)
        logged << InTree(relative);
    QCOMPARE(logPaths(), logged);

    // The list was rebuilt from disk.
    for (const QString& relative : selected)
        QVERIFY(!m_page->ApkPaths().contains(InTree(relative)));
    QCOMPARE(m_page->ApkList()->count(), m_page->ApkCount());
    QCOMPARE(m_page->ApkPaths().size(), m_page->ApkCount());
}

void TestDeleteApk::fileFaultEndsPass_data() {
    QTest::addColumn<int>("version");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("faultOp");
    QTest::addColumn<QString>("faultPath");
    QTest::addColumn<QStringList>("rowsAfter");

    QTest::newRow("flat: the file cannot be deleted")
        << 4 << QStringList{"system/app/A.apk", "system/app/B.apk", "system/app/C.apk"}
        << int(FileHelpers::FileOp::RemoveFile) << "system/app/B.apk"
        << QStringList{"system/app/B.apk", "system/app/C.apk"};
    QTest::newRow("directory layout: a file in the directory cannot be deleted")
        << 5
        << QStringList{"system/app/A/A.apk", "system/app/B/B.apk", "system/app/B/lib/arm/libb.so",
                       "system/app/C/C.apk"}
        << int(FileHelpers::FileOp::RemoveFile) << "system/app/B/lib/arm/libb.so"
        << QStringList{"system/app/C/C.apk"};
    QTest::newRow("directory layout: the directory cannot be removed")
        << 5 << QStringList{"system/app/A/A.apk", "system/app/B/B.apk", "system/app/C/C.apk"}
        << int(FileHelpers::FileOp::RemoveDirectory) << "system/app/B"
        << QStringList{"system/app/C/C.apk"};
}

void TestDeleteApk::fileFaultEndsPass() {
    QFETCH(int, version);
    QFETCH(QStringList, files);
    QFETCH(int, faultOp);
    QFETCH(QString, faultPath);
    QFETCH(QStringList, rowsAfter);

    open(version, true, files);
    const QStringList membersBefore = members();
    QCOMPARE(m_page->ApkCount(), 3);
    const QStringList apks = m_page->ApkPaths();
    for (int row = 0; row < 3; ++row)
        m_page->ApkList()->item(row)->setSelected(true);
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp(faultOp) && path == InTree(faultPath);
    });
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_page->OnDeleteApk();

    // The second APK failed: message, first stays deleted and logged, third
    // untouched.
    QCOMPARE(m_dialogs->texts(), (QStringList{kQuestion, Failed(apks.at(1))}));
    const ScriptedUiDialogs::Box& box = m_dialogs->boxes.at(1);
    QCOMPARE(box.owner.data(), m_page.get());
    QCOMPARE(box.caption, ApplicationTitle());
    QCOMPARE(box.buttons, UiDialogs::Buttons::Ok);
    QCOMPARE(box.icon, UiDialogs::Icon::None);
    QCOMPARE(logPaths(), QStringList{apks.at(0)});
    QVERIFY(!FileHelpers::PathExists(apks.at(0)));
    QVERIFY(FileHelpers::PathExists(apks.at(2)));
    // The archive is updated before the tree: the failed APK's members are
    // gone (in the directory layout all of its directory), and the tree's
    // edit stays pending for the next start.
    const QString tree = Tree() + "/";
    QStringList goneMembers;
    for (const QString& apk : {apks.at(0), apks.at(1)}) {
        const QString member = QString(apk).remove(0, tree.size());
        goneMembers << (version == 5 ? member.section('/', 0, -2) : member);
    }
    QCOMPARE(members(), Without(membersBefore, goneMembers));
    QVERIFY(FileHelpers::PathExists(pending()));

    // The list was rebuilt and agrees with ApkPaths again.
    QStringList expected;
    for (const QString& relative : rowsAfter)
        expected << InTree(relative);
    QCOMPARE(m_page->ApkPaths(), expected);
    QCOMPARE(m_page->ApkList()->count(), m_page->ApkCount());
    for (int row = 0; row < m_page->ApkCount(); ++row)
        QCOMPARE(m_page->ApkList()->item(row)->text(), FileNamePart(m_page->ApkPaths().at(row)));

    // A later pass picks the file its row shows.
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_page->ApkList()->item(m_page->ApkCount() - 1)->setSelected(true);
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_page->OnDeleteApk();
    QCOMPARE(logPaths(), (QStringList{apks.at(0), apks.at(2)}));
    QVERIFY(!FileHelpers::PathExists(apks.at(2)));
}

void TestDeleteApk::upperCaseExtensionInDirectoryLayout() {
    open(5, true, {"system/app/Browser/Browser.APK", "system/app/Music.apk"});
    const QByteArray archiveBefore = ReadFile(m_archive);
    select({"system/app/Browser/Browser.APK", "system/app/Music.apk"});
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_page->OnDeleteApk();

    // Nothing changed for it, and the pass ended there.
    QCOMPARE(m_dialogs->texts(),
             (QStringList{kQuestion, Failed(InTree("system/app/Browser/Browser.APK"))}));
    QCOMPARE(ReadFile(m_archive), archiveBefore);
    QVERIFY(FileHelpers::PathExists(InTree("system/app/Browser/Browser.APK")));
    QVERIFY(FileHelpers::PathExists(InTree("system/app/Music.apk")));
    QVERIFY(m_app->State().changeLog().isEmpty());
    QCOMPARE(m_page->ApkCount(), 2);
}

void TestDeleteApk::archiveFailure_data() {
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("apk");
    QTest::addColumn<QString>("archive"); // relative to the bundle
    QTest::addColumn<QByteArray>("archiveData");

    QTest::newRow("flat, not a zip") << 4 << "system/app/Music.apk"
                                     << "zipTemp/temp.zip" << QByteArray("not a zip archive");
    QTest::newRow("directory layout, not a zip")
        << 5 << "system/app/Browser/Browser.apk"
        << "zipTemp/temp.zip" << QByteArray("not a zip archive");
    QTest::newRow("flat, no archive file") << 4 << "system/app/Music.apk"
                                           << "zipTemp/missing.zip" << QByteArray();
}

void TestDeleteApk::archiveFailure() {
    QFETCH(int, version);
    QFETCH(QString, apk);
    QFETCH(QString, archive);
    QFETCH(QByteArray, archiveData);

    open(version, true, {apk, "system/app/Other.apk"});
    const QString broken = m_bundle->file(archive);
    if (!archiveData.isEmpty())
        QVERIFY(WriteFile(broken, archiveData));
    m_app->State().setWorkingArchivePath(broken);
    select({apk, "system/app/Other.apk"});
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_page->OnDeleteApk();

    // A failed edit: message, tree untouched, no log line, pass ended.
    QCOMPARE(m_dialogs->texts(), (QStringList{kQuestion, Failed(InTree(apk))}));
    QVERIFY(FileHelpers::PathExists(InTree(apk)));
    QVERIFY(FileHelpers::PathExists(InTree("system/app/Other.apk")));
    QVERIFY(m_app->State().changeLog().isEmpty());
    QCOMPARE(ReadFile(broken), archiveData);
    QVERIFY(!FileHelpers::PathExists(pending()));
    QCOMPARE(m_page->ApkCount(), 2);
    QCOMPARE(m_page->ApkList()->count(), 2);
    // The cause behind the message is kept for the user to send.
    const QStringList diagnostics =
        QString::fromUtf8(ReadFile(m_app->State().paths().diagnosticsLog()))
            .split('\n', Qt::SkipEmptyParts);
    QCOMPARE(diagnostics.size(), 1);
    QVERIFY2(diagnostics.first().contains(QStringLiteral(" Delete failed: ")) &&
                 !diagnostics.first().endsWith(QStringLiteral("failed:")),
             qPrintable(diagnostics.first()));
}

void TestDeleteApk::answerNo() {
    open(5, true, {"system/app/Browser/Browser.apk", "system/app/Music.apk"});
    const QByteArray archiveBefore = ReadFile(m_archive);
    select({"system/app/Browser/Browser.apk", "system/app/Music.apk"});
    m_dialogs->answers.enqueue(UiDialogs::Answer::No);
    m_page->OnDeleteApk();

    QCOMPARE(m_dialogs->texts(), QStringList{kQuestion});
    QCOMPARE(m_dialogs->boxes.first().caption, QStringLiteral("Velkor"));
    QCOMPARE(m_dialogs->boxes.first().buttons, UiDialogs::Buttons::YesNo);
    QCOMPARE(ReadFile(m_archive), archiveBefore);
    QVERIFY(FileHelpers::PathExists(InTree("system/app/Browser/Browser.apk")));
    QVERIFY(FileHelpers::PathExists(InTree("system/app/Music.apk")));
    QVERIFY(m_app->State().changeLog().isEmpty());
    // Not even refreshed: the rows keep their selection.
    QCOMPARE(m_page->ApkList()->selectedItems().size(), 2);
}

void TestDeleteApk::noPackageOpen() {
    open(4, true, {"system/app/Music.apk"});
    const QByteArray archiveBefore = ReadFile(m_archive);
    m_app->State().setWorkingArchivePath(QString());
    select({"system/app/Music.apk"});
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_page->OnDeleteApk();

    QCOMPARE(m_dialogs->texts(), QStringList{kNoPackage});
    const ScriptedUiDialogs::Box& box = m_dialogs->boxes.first();
    QCOMPARE(box.owner.data(), m_page.get());
    QCOMPARE(box.caption, ApplicationTitle());
    QCOMPARE(box.buttons, UiDialogs::Buttons::Ok);
    QVERIFY(FileHelpers::PathExists(InTree("system/app/Music.apk")));
    QCOMPARE(ReadFile(m_archive), archiveBefore);
    QVERIFY(m_app->State().changeLog().isEmpty());
}

void TestDeleteApk::noSelection() {
    open(4, true, {"system/app/Music.apk"});
    const QByteArray archiveBefore = ReadFile(m_archive);
    QVERIFY(WriteFile(InTree("system/app/New.apk"), "new"));
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_page->OnDeleteApk();

    QCOMPARE(m_dialogs->texts(), QStringList{kQuestion});
    QCOMPARE(ReadFile(m_archive), archiveBefore);
    QVERIFY(m_app->State().changeLog().isEmpty());
    // Rebuilt: the file written meanwhile is listed now.
    QCOMPARE(m_page->ApkPaths(),
             (QStringList{InTree("system/app/Music.apk"), InTree("system/app/New.apk")}));
}

QTEST_MAIN(TestDeleteApk)
#include "tst_DeleteApk.moc"
