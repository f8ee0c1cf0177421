#include "core/package/ApkNameRule.h"

#include <QTest>

class TestApkNameRule : public QObject {
    Q_OBJECT
private slots:
    void validName_data();
    void validName();
    void extension_data();
    void extension();
    void fileNamePart_data();
    void fileNamePart();
};

void TestApkNameRule::validName_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");

    QTest::newRow("plain") << "Settings.apk" << true;
    QTest::newRow("all punctuation") << "com.example-app_2+x.APK" << true;
    QTest::newRow("dotted version") << "app-1.2.3.apk" << true;
    QTest::newRow("every accepted character")
        << "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-_." << true;
    QTest::newRow("one character") << "a" << true;
    QTest::newRow("one full stop") << "." << true;
    QTest::newRow("not an apk") << "readme.txt" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("space") << "My App.apk" << false;
    QTest::newRow("comma") << "a,b.apk" << false;
    QTest::newRow("semicolon") << "a;b.apk" << false;
    QTest::newRow("equals") << "a=b.apk" << false;
    QTest::newRow("at") << "a@b.apk" << false;
    QTest::newRow("bracket") << "a[1].apk" << false;
    QTest::newRow("caret") << "a^b.apk" << false;
    QTest::newRow("parenthesis") << "a(1).apk" << false;
    QTest::newRow("tilde") << "a~b.apk" << false;
    QTest::newRow("separator") << "a/b.apk" << false;
    QTest::newRow("tab") << "a\tb.apk" << false;
    QTest::newRow("accented letter") << QString::fromUtf8("Caf\u00e9.apk") << false;
    QTest::newRow("chinese") << QString::fromUtf8("\u6d4f\u89c8\u5668.apk") << false;
    QTest::newRow("fullwidth A") << QString::fromUtf8("\uff21.apk") << false;
    QTest::newRow("surrogate pair") << QString::fromUtf8("\U0001F600.apk") << false;
    QTest::newRow("nul") << QString(QChar(0)) + "a.apk" << false;
    QTest::newRow("bad last character") << "Settings.apk!" << false;
}

void TestApkNameRule::validName() {
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(IsValidApkName(name), valid);
}

void TestApkNameRule::extension_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("apk");

    QTest::newRow(".apk") << "Browser.apk" << true;
    QTest::newRow(".APK") << "BROWSER.APK" << true;
    QTest::newRow(".Apk") << "Browser.Apk" << true;
    QTest::newRow("no full stop") << "fooapk" << true;
    QTest::newRow("xapk") << "Browser.xapk" << true;
    QTest::newRow("just apk") << "apk" << true;
    QTest::newRow("just APK") << "APK" << true;
    QTest::newRow(".apk.bak") << "Camera.apk.bak" << false;
    QTest::newRow(".apks") << "a.apks" << false;
    QTest::newRow("two characters") << "pk" << false;
    QTest::newRow("one character") << "k" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("text file") << "readme.txt" << false;
    QTest::newRow("trailing blank") << "a.apk " << false;
    QTest::newRow("fullwidth letters") << QString::fromUtf8("a.\uff41\uff50\uff4b") << false;
}

void TestApkNameRule::extension() {
    QFETCH(QString, name);
    QFETCH(bool, apk);
    QCOMPARE(HasApkExtension(name), apk);
}

void TestApkNameRule::fileNamePart_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");

    QTest::newRow("full path") << "/home/user/apps/Music.apk"
                               << "Music.apk";
    QTest::newRow("no separator") << "Music.apk"
                                  << "Music.apk";
    QTest::newRow("trailing separator") << "/home/user/"
                                        << "";
    QTest::newRow("blank in name") << "/tmp/My App.apk"
                                   << "My App.apk";
    QTest::newRow("unicode") << QString::fromUtf8("/tmp/\u00e9t\u00e9/\u6d4f.apk")
                             << QString::fromUtf8("\u6d4f.apk");
    QTest::newRow("backslash is a name character") << "/tmp/a\\b.apk"
                                                   << "a\\b.apk";
    QTest::newRow("empty") << ""
                           << "";
}

void TestApkNameRule::fileNamePart() {
    QFETCH(QString, path);
    QFETCH(QString, name);
    QCOMPARE(FileNamePart(path), name);
}

QTEST_GUILESS_MAIN(TestApkNameRule)
#include "tst_ApkNameRule.moc"
