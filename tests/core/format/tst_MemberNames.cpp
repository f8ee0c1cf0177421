#include "core/format/MemberNames.h"

#include <QTest>

class TestMemberNames : public QObject {
    Q_OBJECT
private slots:
    void decode_data();
    void decode();
    void canonical_data();
    void canonical();
    void safe_data();
    void safe();
    void pathInTree_data();
    void pathInTree();
};

void TestMemberNames::decode_data() {
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("utf8Flag");
    QTest::addColumn<QString>("expected");

    // "系统/应用" (system/app) in code page 936 and in UTF-8.
    const QByteArray gbk("\xCF\xB5\xCD\xB3/\xD3\xA6\xD3\xC3/\xD2\xF4\xC0\xD6.apk");
    const QString chinese = QString::fromUtf8("系统/应用/音乐.apk");
    QTest::newRow("ascii, no flag")
        << QByteArray("system/app/Foo.apk") << false << "system/app/Foo.apk";
    QTest::newRow("utf-8 with flag") << chinese.toUtf8() << true << chinese;
    QTest::newRow("cp936 without flag") << gbk << false << chinese;
    QTest::newRow("cp936, backslashes") << QByteArray("\xCF\xB5\xCD\xB3\\\xD2\xF4\xC0\xD6.apk")
                                        << false << QString::fromUtf8("系统/音乐.apk");
    QTest::newRow("cp936, a byte it does not know") << QByteArray("a\xFF"
                                                                  "b")
                                                    << false
                                                    << QString::fromUtf8("a\xEF\xBF\xBD"
                                                                         "b");
    QTest::newRow("directory entry") << QByteArray("system/app/Foo/") << false << "system/app/Foo";
    QTest::newRow("backslashes") << QByteArray("system\\app\\Foo.apk") << false
                                 << "system/app/Foo.apk";
    QTest::newRow("dot and doubled separators")
        << QByteArray("./userdata//app/./X.apk") << true << "userdata/app/X.apk";
    QTest::newRow("leading separator")
        << QByteArray("/system/app/X.apk") << false << "system/app/X.apk";
}

void TestMemberNames::decode() {
    QFETCH(QByteArray, raw);
    QFETCH(bool, utf8Flag);
    QFETCH(QString, expected);
    QCOMPARE(DecodeMemberName(raw, utf8Flag), expected);
}

void TestMemberNames::canonical_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("already canonical") << "system/app/Foo.apk"
                                       << "system/app/Foo.apk";
    QTest::newRow("trailing separator") << "a/b/"
                                        << "a/b";
    QTest::newRow("mixed separators") << "\\a\\b/c\\"
                                      << "a/b/c";
    QTest::newRow("dot segments") << "./a/./b/."
                                  << "a/b";
    QTest::newRow("dot-dot kept") << "a/../b"
                                  << "a/../b";
    QTest::newRow("dots inside a name") << "a/.hidden/b..c"
                                        << "a/.hidden/b..c";
    QTest::newRow("only separators") << "//./\\"
                                     << "";
}

void TestMemberNames::canonical() {
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(CanonicalMemberName(name), expected);
}

void TestMemberNames::safe_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "system/app/Foo.apk" << true;
    QTest::newRow("dots in names") << "a/..b/c.." << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot-dot alone") << ".." << false;
    QTest::newRow("leading dot-dot") << "../etc/passwd" << false;
    QTest::newRow("inner dot-dot") << "system/../../x" << false;
    QTest::newRow("trailing dot-dot") << "system/.." << false;
}

void TestMemberNames::safe() {
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(IsSafeMemberName(name), safe);
}

void TestMemberNames::pathInTree_data() {
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("member");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "/w/srctemp"
                           << "system/app/Foo.apk"
                           << "/w/srctemp/system/app/Foo.apk";
    QTest::newRow("tree with a trailing separator") << "/w/srctemp/"
                                                    << "a"
                                                    << "/w/srctemp/a";
    QTest::newRow("chinese") << "/w/t" << QString::fromUtf8("系统/音乐.apk")
                             << QString::fromUtf8("/w/t/系统/音乐.apk");
    QTest::newRow("dots inside names") << "/w/t"
                                       << "a/..b/c.."
                                       << "/w/t/a/..b/c..";
    QTest::newRow("empty") << "/w/t"
                           << "" << QString();
    QTest::newRow("dot-dot") << "/w/t"
                             << ".." << QString();
    QTest::newRow("inner dot-dot") << "/w/t"
                                   << "system/../../etc/passwd" << QString();
    QTest::newRow("absolute") << "/w/t"
                              << "/etc/passwd" << QString();
    QTest::newRow("backslash") << "/w/t"
                               << "..\\x" << QString();
    QTest::newRow("dot segment") << "/w/t"
                                 << "a/./b" << QString();
    QTest::newRow("empty segment") << "/w/t"
                                   << "a//b" << QString();
    QTest::newRow("trailing separator") << "/w/t"
                                        << "a/" << QString();
    QTest::newRow("nul") << "/w/t" << QString::fromUtf8("a\0b", 3) << QString();
    QTest::newRow("no tree") << ""
                             << "a" << QString();
}

void TestMemberNames::pathInTree() {
    QFETCH(QString, tree);
    QFETCH(QString, member);
    QFETCH(QString, expected);
    QCOMPARE(MemberPathInTree(tree, member), expected);
}

QTEST_GUILESS_MAIN(TestMemberNames)
#include "tst_MemberNames.moc"
