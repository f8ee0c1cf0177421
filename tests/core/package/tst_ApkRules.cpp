#include "core/package/ApkRules.h"

#include <QTest>

class TestApkRules : public QObject {
    Q_OBJECT
private slots:
    void folderLayoutIsAndroidFivesAlone_data();
    void folderLayoutIsAndroidFivesAlone();
    void apkPlaces_data();
    void apkPlaces();
    void listedApks_data();
    void listedApks();
    void memberLocatedInItsApkPlace_data();
    void memberLocatedInItsApkPlace();
    void memberSplitsIntoPartitionAndPath_data();
    void memberSplitsIntoPartitionAndPath();
    void nameOrPathPicksOneApk_data();
    void nameOrPathPicksOneApk();
    void odexCompanion_data();
    void odexCompanion();
};

void TestApkRules::folderLayoutIsAndroidFivesAlone_data() {
    QTest::addColumn<int>("major");
    QTest::addColumn<bool>("layout");
    QTest::newRow("unknown") << 0 << false;
    QTest::newRow("4") << 4 << false;
    QTest::newRow("5") << 5 << true;
    QTest::newRow("6 (never told by the probe)") << 6 << false;
}

void TestApkRules::folderLayoutIsAndroidFivesAlone() {
    QFETCH(int, major);
    QFETCH(bool, layout);
    QCOMPARE(UsesDirectoryLayout(major), layout);
}

void TestApkRules::apkPlaces_data() {
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("ownFolderPath");
    QTest::newRow("plain") << "Music.apk"
                           << "Music"
                           << "system/app/Music/Music.apk";
    QTest::newRow("before the first .apk") << "a.apk.apk"
                                           << "a"
                                           << "system/app/a/a.apk.apk";
    QTest::newRow("no .apk") << "Musicapk"
                             << "Musicapk"
                             << "system/app/Musicapk/Musicapk";
    QTest::newRow("begins with .apk") << ".apk"
                                      << ""
                                      << "";
}

void TestApkRules::apkPlaces() {
    QFETCH(QString, fileName);
    QFETCH(QString, folder);
    QFETCH(QString, ownFolderPath);
    QCOMPARE(ApkFolderName(fileName), folder);
    QCOMPARE(OwnFolderApkPath("system/app", fileName), ownFolderPath);
    QCOMPARE(FlatApkPath("system/app", fileName), "system/app/" + fileName);
}

void TestApkRules::listedApks_data() {
    QTest::addColumn<bool>("layout");
    QTest::addColumn<QStringList>("listed");
    QTest::newRow("flat") << false << QStringList{"system/app/A.apk", "system/priv-app/D.APK"};
    QTest::newRow("folder layout") << true
                                   << QStringList{"system/app/A.apk", "system/app/B/B.apk",
                                                  "system/priv-app/D.APK", "userdata/app/E/E.apk"};
}

void TestApkRules::listedApks() {
    QFETCH(bool, layout);
    QFETCH(QStringList, listed);
    const QStringList members{"system/app/A.apk",       "system/app/B/B.apk",
                              "system/app/C/lib/C.apk", "system/priv-app/D.APK",
                              "userdata/app/E/E.apk",   "system/framework/F.apk",
                              "system/app/readme.txt",  "vendor/app/G.apk"};
    QCOMPARE(ListedApkMembers(members, layout), listed);
}

void TestApkRules::memberLocatedInItsApkPlace_data() {
    QTest::addColumn<QString>("member");
    QTest::addColumn<QString>("place"); // empty: in no APK place
    QTest::addColumn<bool>("inDirectory");
    QTest::newRow("app, flat") << "system/app/A.apk"
                               << "app" << false;
    QTest::newRow("app, own folder") << "system/app/B/B.apk"
                                     << "app" << true;
    QTest::newRow("priv-app, upper-case extension") << "system/priv-app/D.APK"
                                                    << "priv-app" << false;
    QTest::newRow("data") << "userdata/app/E/E.apk"
                          << "data" << true;
    QTest::newRow("framework") << "system/framework/framework-res.apk"
                               << "framework" << false;
    QTest::newRow("vendor") << "vendor/app/G.apk"
                            << "vendor" << false;
    QTest::newRow("no APK") << "system/app/readme.txt"
                            << "" << false;
    QTest::newRow("the folder itself") << "system/app/"
                                       << "" << false;
    QTest::newRow("elsewhere") << "system/media/A.apk"
                               << "" << false;
    QTest::newRow("backslash twin") << "system\\app\\A.apk"
                                    << "" << false;
}

void TestApkRules::memberLocatedInItsApkPlace() {
    QFETCH(QString, member);
    QFETCH(QString, place);
    QFETCH(bool, inDirectory);
    const std::optional<ApkLocation> location = LocateApkMember(member);
    QCOMPARE(location.has_value(), !place.isEmpty());
    if (location) {
        QCOMPARE(ApkPlaceName(location->place), place);
        QCOMPARE(location->inDirectory, inDirectory);
    }
}

void TestApkRules::memberSplitsIntoPartitionAndPath_data() {
    QTest::addColumn<QString>("member");
    QTest::addColumn<QString>("partition"); // empty: no partition path
    QTest::addColumn<QString>("path");
    QTest::newRow("system") << "system/app/Foo/Foo.apk"
                            << "system"
                            << "app/Foo/Foo.apk";
    QTest::newRow("userdata") << "userdata/app/E.apk"
                              << "userdata"
                              << "app/E.apk";
    QTest::newRow("at the package's root") << "boot.img"
                                           << ""
                                           << "";
    QTest::newRow("a partition's folder alone") << "system/"
                                                << ""
                                                << "";
    QTest::newRow("empty partition") << "/app/A.apk"
                                     << ""
                                     << "";
}

void TestApkRules::memberSplitsIntoPartitionAndPath() {
    QFETCH(QString, member);
    QFETCH(QString, partition);
    QFETCH(QString, path);
    const std::optional<PartitionPath> split = PartitionPath::ofMember(member);
    QCOMPARE(split.has_value(), !partition.isEmpty());
    if (split) {
        QCOMPARE(split->partition, partition);
        QCOMPARE(split->path, path);
        QCOMPARE(split->member(), member);
    }
}

void TestApkRules::nameOrPathPicksOneApk_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("picked");
    QTest::addColumn<QString>("cause");
    QTest::newRow("file name") << "A.apk"
                               << "system/app/A.apk"
                               << "";
    QTest::newRow("path") << "userdata/app/B.apk"
                          << "userdata/app/B.apk"
                          << "";
    QTest::newRow("two of the name") << "B.apk"
                                     << ""
                                     << "\"B.apk\" names more than one APK: system/app/B/B.apk, "
                                        "userdata/app/B.apk (give its path to pick one)";
    QTest::newRow("none") << "Z.apk"
                          << ""
                          << "no APK named \"Z.apk\" in system/app, system/priv-app or "
                             "userdata/app";
    QTest::newRow("a name is not a path's tail") << "app/A.apk"
                                                 << ""
                                                 << "no APK named \"app/A.apk\" in system/app, "
                                                    "system/priv-app or userdata/app";
}

void TestApkRules::nameOrPathPicksOneApk() {
    QFETCH(QString, name);
    QFETCH(QString, picked);
    QFETCH(QString, cause);
    const QStringList apks{"system/app/A.apk", "system/app/B/B.apk", "userdata/app/B.apk"};
    QString member;
    QString error;
    QCOMPARE(PickApkMember(apks, name, &member, &error), cause.isEmpty());
    QCOMPARE(member, picked);
    QCOMPARE(error, cause);
}

void TestApkRules::odexCompanion_data() {
    QTest::addColumn<QString>("apk");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("layout");
    QTest::addColumn<bool>("companion");
    QTest::newRow("beside it") << "system/app/Music.apk"
                               << "system/app/Music.odex" << false << true;
    QTest::newRow("extension in capitals") << "system/app/Music.APK"
                                           << "system/app/Music.odex" << false << true;
    QTest::newRow("another APK's") << "system/app/Music.apk"
                                   << "system/app/Music2.odex" << false << false;
    QTest::newRow("another folder's") << "system/app/Music.apk"
                                      << "system/priv-app/Music.odex" << false << false;
    QTest::newRow("below oat, folder layout")
        << "system/app/Music/Music.apk"
        << "system/app/Music/oat/arm/Music.odex" << true << true;
    QTest::newRow("below oat, flat layout") << "system/app/Music.apk"
                                            << "system/app/oat/arm/Music.odex" << false << false;
    QTest::newRow("below oat without an isa") << "system/app/Music/Music.apk"
                                              << "system/app/Music/oat/Music.odex" << true << false;
    QTest::newRow("two folders below oat")
        << "system/app/Music/Music.apk"
        << "system/app/Music/oat/a/b/Music.odex" << true << false;
    QTest::newRow("not an odex") << "system/app/Music.apk"
                                 << "system/app/Music.vdex" << false << false;
    QTest::newRow("an APK without the extension") << "system/app/Musicapk"
                                                  << "system/app/Music.odex" << false << false;
    QTest::newRow("tree paths") << "/w/srctemp/system/app/Music.apk"
                                << "/w/srctemp/system/app/Music.odex" << false << true;
}

void TestApkRules::odexCompanion() {
    QFETCH(QString, apk);
    QFETCH(QString, path);
    QFETCH(bool, layout);
    QFETCH(bool, companion);
    QCOMPARE(IsOdexCompanion(apk, path, layout), companion);
}

QTEST_GUILESS_MAIN(TestApkRules)
#include "tst_ApkRules.moc"
