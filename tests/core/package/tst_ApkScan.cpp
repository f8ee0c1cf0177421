#include "core/package/ApkScan.h"
#include "support/TestBundle.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestApkScan : public QObject {
    Q_OBJECT
private slots:
    void pattern_data();
    void pattern();
    void patternForVersion_data();
    void patternForVersion();
    void scan_data();
    void scan();
    void missingDirectory();
    void linkedDirectoryIsNotFollowed();
    void namesThatAreNotUtf8AreNotListed();
};

void TestApkScan::pattern_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("matches");

    QTest::newRow("any: apk") << "Music.apk"
                              << "*.*" << true;
    QTest::newRow("any: no full stop") << "Browser"
                                       << "*.*" << true;
    QTest::newRow("any: leading full stop") << ".hidden"
                                            << "*.*" << true;
    QTest::newRow("apk: lower") << "Music.apk"
                                << "*.apk" << true;
    QTest::newRow("apk: upper") << "CAMERA.APK"
                                << "*.apk" << true;
    QTest::newRow("apk: only extension") << ".apk"
                                         << "*.apk" << true;
    QTest::newRow("apk: no full stop") << "Browserapk"
                                       << "*.apk" << false;
    QTest::newRow("apk: xapk") << "Browser.xapk"
                               << "*.apk" << false;
    QTest::newRow("apk: bak") << "Camera.apk.bak"
                              << "*.apk" << false;
    QTest::newRow("apk: directory name") << "Browser"
                                         << "*.apk" << false;
}

void TestApkScan::pattern() {
    QFETCH(QString, name);
    QFETCH(QString, pattern);
    QFETCH(bool, matches);
    QCOMPARE(MatchesScanPattern(name, pattern), matches);
}

void TestApkScan::patternForVersion_data() {
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("pattern");
    QTest::newRow("4") << 4 << "*.apk";
    QTest::newRow("5: directory layout") << 5 << "*.*";
    QTest::newRow("6") << 6 << "*.apk";
    QTest::newRow("10") << 10 << "*.apk";
    QTest::newRow("unknown") << 0 << "*.apk";
}

void TestApkScan::patternForVersion() {
    QFETCH(int, version);
    QFETCH(QString, pattern);
    QCOMPARE(ApkScanPattern(version), pattern);
}

// A tree of both layouts and the names that must or must not be listed. Paths
// ending in '/' are empty directories.
static const QStringList kTree = {
    "b.apk",
    "A/x.apk",
    "C.apk",
    "Browser/Browser.apk",
    "Browser/lib/arm/libfoo.so",
    "Browser/oat/arm/Browser.odex",
    "CAMERA.APK",
    "Camera.apk.bak",
    "Extra.apk/Inner.apk",
    "Extra.apk/Deep/Deeper.apk",
    "Music.apk",
    "readme.txt",
    "fooapk",
    "Zed.xapk",
    "_Old.apk",
    "Empty/",
};

void TestApkScan::scan_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("expected");

    // Name order folded to upper case ('_' after the letters), each matching
    // directory scanned before the next entry.
    QTest::newRow("*.apk: direct entries and matching directories")
        // Extra.apk/Deep does not match the pattern: Deeper.apk stays unlisted.
        << "*.apk" << QStringList{"b.apk",     "C.apk",   "CAMERA.APK", "Extra.apk/Inner.apk",
                                  "Music.apk", "_Old.apk"};
    QTest::newRow("*.*: every directory, every name ending in apk")
        << "*.*"
        << QStringList{"A/x.apk",
                       "b.apk",
                       "Browser/Browser.apk",
                       "C.apk",
                       "CAMERA.APK",
                       "Extra.apk/Deep/Deeper.apk",
                       "Extra.apk/Inner.apk",
                       "fooapk",
                       "Music.apk",
                       "Zed.xapk",
                       "_Old.apk"};
}

void TestApkScan::scan() {
    QFETCH(QString, pattern);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    const QString app = dir.filePath("app");
    for (const QString& entry : kTree) {
        if (entry.endsWith('/'))
            QVERIFY(QDir().mkpath(app + "/" + entry));
        else
            QVERIFY(WriteFile(app + "/" + entry, "x"));
    }

    QStringList found;
    ScanApkDirectory(app, pattern, found);
    QStringList relative;
    for (const QString& path : found) {
        QVERIFY(path.startsWith(app + "/"));
        relative << path.mid(app.size() + 1);
    }
    QCOMPARE(relative, expected);

    // Results are appended to what is there already.
    QStringList more{"earlier"};
    ScanApkDirectory(app, pattern, more);
    QCOMPARE(more, QStringList{"earlier"} + found);
}

void TestApkScan::missingDirectory() {
    QTemporaryDir dir;
    QStringList found;
    ScanApkDirectory(dir.filePath("missing"), "*.*", found);
    ScanApkDirectory(QString(), "*.apk", found);
    QVERIFY(WriteFile(dir.filePath("file.apk"), "x"));
    ScanApkDirectory(dir.filePath("file.apk"), "*.*", found);
    QVERIFY(found.isEmpty());
}

void TestApkScan::linkedDirectoryIsNotFollowed() {
    QTemporaryDir dir;
    const QString app = dir.filePath("app");
    QVERIFY(WriteFile(app + "/Real/Real.apk", "x"));
    // A link back up would make the scan endless if it were followed.
    QVERIFY(QFile::link(app, app + "/Loop.apk"));
    QVERIFY(QFile::link(app + "/Real/Real.apk", app + "/Linked.apk"));
    QStringList found;
    ScanApkDirectory(app, "*.*", found);
    QCOMPARE(found, (QStringList{app + "/Linked.apk", app + "/Real/Real.apk"}));
}

// Names 7-Zip wrote as raw bytes would be listed with U+FFFD in place of
// them: a path that reaches no file.
void TestApkScan::namesThatAreNotUtf8AreNotListed() {
    QTemporaryDir dir;
    const QString app = dir.filePath("app");
    QVERIFY(WriteFile(app + "/Real.apk", "x"));
    const QByteArray native = QFile::encodeName(app);
    QVERIFY(WriteFile(QFile::decodeName(native + "/sub/Deep.apk"), "x"));
    for (const QByteArray& raw : {native + "/\xd2\xf4\xc0\xd6.apk", native + "/sub/bad\xff.apk"}) {
        QFile file;
        QVERIFY(file.open(::fopen(raw.constData(), "w"), QIODevice::WriteOnly,
                          QFileDevice::AutoCloseHandle));
    }
    QStringList found;
    ScanApkDirectory(app, "*.*", found);
    QCOMPARE(found, (QStringList{app + "/Real.apk", app + "/sub/Deep.apk"}));
}

QTEST_GUILESS_MAIN(TestApkScan)
#include "tst_ApkScan.moc"
