// build.prop edited in place: other lines, order, comments and line ends
// kept byte for byte.
#include "core/format/BuildProp.h"

#include <QTest>

Q_DECLARE_METATYPE(QList<BuildPropEdit>)

class TestBuildProp : public QObject {
    Q_OBJECT
private slots:
    void editsInPlace_data();
    void editsInPlace();
    void valueIsTheOneTheDeviceKeeps_data();
    void valueIsTheOneTheDeviceKeeps();
    void keysThatCannotBeWrittenAreRefused_data();
    void keysThatCannotBeWrittenAreRefused();
};

void TestBuildProp::editsInPlace_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QList<BuildPropEdit>>("edits");
    QTest::addColumn<QByteArray>("after");
    const QByteArray prop = "# begin\nro.a=1\n\nro.b = two\n# ro.c=commented\nro.d=4\n";
    QTest::addRow("nothing") << prop << QList<BuildPropEdit>{} << prop;
    QTest::addRow("set an existing key")
        << prop << QList<BuildPropEdit>{{"ro.a", QString("9")}}
        << QByteArray("# begin\nro.a=9\n\nro.b = two\n# ro.c=commented\nro.d=4\n");
    QTest::addRow("spacing around = kept")
        << prop << QList<BuildPropEdit>{{"ro.b", QString("2")}}
        << QByteArray("# begin\nro.a=1\n\nro.b = 2\n# ro.c=commented\nro.d=4\n");
    QTest::addRow("a commented key is a new one")
        << prop << QList<BuildPropEdit>{{"ro.c", QString("3")}} << prop + "ro.c=3\n";
    QTest::addRow("unset") << prop << QList<BuildPropEdit>{{"ro.a", std::nullopt}}
                           << QByteArray("# begin\n\nro.b = two\n# ro.c=commented\nro.d=4\n");
    QTest::addRow("unset a missing key")
        << prop << QList<BuildPropEdit>{{"ro.x", std::nullopt}} << prop;
    QTest::addRow("every line of a repeated key")
        << QByteArray("k=1\nk=2\n") << QList<BuildPropEdit>{{"k", QString("3")}}
        << QByteArray("k=3\nk=3\n");
    QTest::addRow("no final line end")
        << QByteArray("ro.a=1") << QList<BuildPropEdit>{{"ro.n", QString("x")}}
        << QByteArray("ro.a=1\nro.n=x\n");
    QTest::addRow("CRLF kept, new line in CRLF")
        << QByteArray("ro.a=1\r\nro.b=2\r\n")
        << QList<BuildPropEdit>{{"ro.a", QString("5")}, {"ro.n", QString("x")}}
        << QByteArray("ro.a=5\r\nro.b=2\r\nro.n=x\r\n");
    QTest::addRow("empty file") << QByteArray() << QList<BuildPropEdit>{{"k", QString("v")}}
                                << QByteArray("k=v\n");
    QTest::addRow("in order: set then unset")
        << prop << QList<BuildPropEdit>{{"ro.n", QString("1")}, {"ro.n", std::nullopt}} << prop;
    QTest::addRow("empty value") << prop << QList<BuildPropEdit>{{"ro.d", QString()}}
                                 << QByteArray(
                                        "# begin\nro.a=1\n\nro.b = two\n# ro.c=commented\nro.d=\n");
}

void TestBuildProp::editsInPlace() {
    QFETCH(QByteArray, before);
    QFETCH(QList<BuildPropEdit>, edits);
    QFETCH(QByteArray, after);
    QCOMPARE(ApplyBuildPropEdits(before, edits), after);
}

void TestBuildProp::valueIsTheOneTheDeviceKeeps_data() {
    QTest::addColumn<QByteArray>("prop");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value"); // null: none
    QTest::addRow("one line") << QByteArray("a=1\nb = x y \n") << "b"
                              << "x y";
    // The device's rule for a key met again: a read-only property keeps its
    // first value, any other takes its last.
    QTest::addRow("a read-only property keeps its first value")
        << QByteArray("ro.a=1\nro.a=2\n") << "ro.a"
        << "1";
    QTest::addRow("any other property takes its last") << QByteArray("a=1\na=2\n") << "a"
                                                       << "2";
    QTest::addRow("a persistent property takes its last")
        << QByteArray("persist.sys.x=1\npersist.sys.x=2\n") << "persist.sys.x"
        << "2";
    QTest::addRow("a key that only begins like a read-only one")
        << QByteArray("rom.a=1\nrom.a=2\n") << "rom.a"
        << "2";
    QTest::addRow("the first read-only value, blanks and CR LF around it")
        << QByteArray("  ro.b = x \r\nro.b=y\r\n") << "ro.b"
        << "x";
    QTest::addRow("commented") << QByteArray("#a=1\n") << "a" << QString();
    QTest::addRow("missing") << QByteArray("b=1\n") << "a" << QString();
}

void TestBuildProp::valueIsTheOneTheDeviceKeeps() {
    QFETCH(QByteArray, prop);
    QFETCH(QString, key);
    QFETCH(QString, value);
    const std::optional<QString> found = BuildPropValue(prop, key);
    QCOMPARE(found.has_value(), !value.isNull());
    if (found)
        QCOMPARE(*found, value);
    // The whole model reads it the same.
    const QMap<QString, QString> properties = ParseBuildProp(prop);
    QCOMPARE(properties.contains(key), !value.isNull());
    if (found)
        QCOMPARE(properties.value(key), value);
}

void TestBuildProp::keysThatCannotBeWrittenAreRefused_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("valid");
    QTest::addRow("plain") << "ro.product.name" << true;
    QTest::addRow("empty") << "" << false;
    QTest::addRow("equals") << "a=b" << false;
    QTest::addRow("space") << "a b" << false;
    QTest::addRow("comment") << "#a" << false;
    QTest::addRow("line end") << "a\nb" << false;
}

void TestBuildProp::keysThatCannotBeWrittenAreRefused() {
    QFETCH(QString, key);
    QFETCH(bool, valid);
    QCOMPARE(IsValidBuildPropKey(key), valid);
}

QTEST_GUILESS_MAIN(TestBuildProp)
#include "tst_BuildProp.moc"
