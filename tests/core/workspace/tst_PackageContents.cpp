// What both front ends know of an open package's APKs: the grouped listing
// and the one APK a name picks.
#include "core/base/Messages.h"
#include "core/workspace/AppState.h"
#include "core/workspace/PackageContents.h"
#include "support/TestBundle.h"

#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(Partition)

class TestPackageContents : public QObject {
    Q_OBJECT
private slots:
    void init();

    void listsApksGroupedByDirectory_data();
    void listsApksGroupedByDirectory();
    void nameFindsExactlyOneApk_data();
    void nameFindsExactlyOneApk();

private:
    // A tree holding the files (member names), read as the given release.
    void makeTree(int androidMajorVersion, const QStringList& files);
    QString tree(const QString& member) const {
        return m_state->paths().extractedTree() + QLatin1Char('/') + member;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<AppState> m_state;
};

void TestPackageContents::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_state = std::make_unique<AppState>(m_dir->path());
}

void TestPackageContents::makeTree(int androidMajorVersion, const QStringList& files) {
    m_state->setAndroidMajorVersion(androidMajorVersion);
    for (const QString& file : files)
        QVERIFY(WriteFile(tree(file), "x"));
}

void TestPackageContents::listsApksGroupedByDirectory_data() {
    QTest::addColumn<int>("version");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("systemApp");
    QTest::addColumn<QStringList>("systemPrivApp");
    QTest::addColumn<QStringList>("dataApp");

    const QStringList flat{"system/app/B.apk",      "system/app/a.apk",     "system/priv-app/P.apk",
                           "userdata/app/D.apk",    "system/app/notes.txt", "system/lib/L.apk",
                           "userdata/app/Sub/S.apk"};
    QTest::newRow("flat layout: the directories themselves, in name order")
        << 4 << flat << QStringList{"system/app/a.apk", "system/app/B.apk"}
        << QStringList{"system/priv-app/P.apk"} << QStringList{"userdata/app/D.apk"};
    QTest::newRow("directory layout: every directory descended")
        << 5
        << QStringList{"system/app/Music/Music.apk", "system/priv-app/Set/Set.apk",
                       "userdata/app/Game/Game.apk", "system/app/Music/oat/arm/Music.odex"}
        << QStringList{"system/app/Music/Music.apk"} << QStringList{"system/priv-app/Set/Set.apk"}
        << QStringList{"userdata/app/Game/Game.apk"};
    QTest::newRow("no APK") << 4 << QStringList{"system/build.prop"} << QStringList()
                            << QStringList() << QStringList();
}

void TestPackageContents::listsApksGroupedByDirectory() {
    QFETCH(int, version);
    QFETCH(QStringList, files);
    QFETCH(QStringList, systemApp);
    QFETCH(QStringList, systemPrivApp);
    QFETCH(QStringList, dataApp);
    makeTree(version, files);

    const PackageApks apks = ListPackageApks(*m_state);
    QCOMPARE(apks.systemApp, systemApp);
    QCOMPARE(apks.systemPrivApp, systemPrivApp);
    QCOMPARE(apks.dataApp, dataApp);
    QStringList treePaths;
    for (const QString& member : systemApp + systemPrivApp + dataApp)
        treePaths << tree(member);
    QCOMPARE(apks.treePaths, treePaths);
}

void TestPackageContents::nameFindsExactlyOneApk_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("member"); // the APK found; empty: none
    QTest::addColumn<Partition>("partition");
    QTest::addColumn<QString>("cause"); // a part of the cause of a failure

    QTest::newRow("file name, system") << "Music.apk"
                                       << "system/app/Music.apk" << Partition::System << QString();
    QTest::newRow("file name, priv-app")
        << "Set.apk"
        << "system/priv-app/Set.apk" << Partition::System << QString();
    QTest::newRow("file name, data") << "Game.apk"
                                     << "userdata/app/Game.apk" << Partition::Data << QString();
    QTest::newRow("path picks one of two")
        << "userdata/app/Twin.apk"
        << "userdata/app/Twin.apk" << Partition::Data << QString();
    QTest::newRow("file name of two")
        << "Twin.apk" << QString() << Partition::System
        << "\"Twin.apk\" names more than one APK: system/app/Twin.apk, userdata/app/Twin.apk";
    QTest::newRow("no such APK") << "Gone.apk" << QString() << Partition::System
                                 << "no APK named \"Gone.apk\"";
    // A file name is matched whole, and a path from the package root only.
    QTest::newRow("part of a name")
        << "usic.apk" << QString() << Partition::System << "no APK named \"usic.apk\"";
    QTest::newRow("path below the partition")
        << "app/Music.apk" << QString() << Partition::System << "no APK named \"app/Music.apk\"";
    QTest::newRow("a file the pages do not list")
        << "system/lib/L.apk" << QString() << Partition::System << "no APK named";
}

void TestPackageContents::nameFindsExactlyOneApk() {
    QFETCH(QString, name);
    QFETCH(QString, member);
    QFETCH(Partition, partition);
    QFETCH(QString, cause);
    makeTree(4, {"system/app/Music.apk", "system/priv-app/Set.apk", "userdata/app/Game.apk",
                 "system/app/Twin.apk", "userdata/app/Twin.apk", "system/lib/L.apk"});

    const ApkMatch match = FindListedApk(*m_state, name);
    if (member.isEmpty()) {
        QVERIFY(match.result.failed());
        QCOMPARE(match.result.notice().text, Msg::DeleteApkFailed(name));
        QVERIFY2(match.result.cause().contains(cause), qPrintable(match.result.cause()));
        QVERIFY(match.treePath.isEmpty());
        return;
    }
    QVERIFY2(match.result.succeeded(), qPrintable(match.result.cause()));
    QCOMPARE(match.treePath, tree(member));
    QCOMPARE(match.partition, partition);
}

QTEST_GUILESS_MAIN(TestPackageContents)
#include "tst_PackageContents.moc"
