#include "core/format/BinaryXml.h"

#include "support/BinaryXmlFixture.h"

#include <QTest>

// The one reader of compiled XML: the manifest's identity and its platform
// levels, as the device reads them.
class TestBinaryXml : public QObject {
    Q_OBJECT
private slots:
    void platformLevelsReadAsTheDeviceReadsThem_data();
    void platformLevelsReadAsTheDeviceReadsThem();
    void longStringNamedManyTimesIsComparedInPlace();
};

namespace {

// <manifest package="com.example"><uses-sdk minSdkVersion=value/></manifest>
QByteArray ManifestWithMinSdk(quint8 type, quint32 data, const QString& text) {
    BinaryXmlBuilder xml;
    const quint32 manifest = xml.string(QStringLiteral("manifest"));
    const quint32 usesSdk = xml.string(QStringLiteral("uses-sdk"));
    const quint32 package = xml.string(QStringLiteral("package"));
    const quint32 name = xml.string(QStringLiteral("com.example"));
    const quint32 minSdk = xml.string(QStringLiteral("minSdkVersion"));
    const quint32 value = type == 0x03 ? xml.string(text) : data;
    xml.start(manifest, {{package, 0x03, name}});
    xml.start(usesSdk, {{minSdk, type, value}});
    xml.end(usesSdk);
    xml.end(manifest);
    return xml.build();
}

} // namespace

// A codename names a preview platform: newer than every release.
void TestBinaryXml::platformLevelsReadAsTheDeviceReadsThem_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("data");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("level"); // -1: no level
    QTest::newRow("decimal") << 0x10 << 21 << QString() << 21;
    QTest::newRow("hexadecimal") << 0x11 << 0x1c << QString() << 28;
    QTest::newRow("digits") << 0x03 << 0 << QStringLiteral("17") << 17;
    QTest::newRow("codename") << 0x03 << 0 << QStringLiteral("Q") << kDevelopmentSdkLevel;
    QTest::newRow("early codename")
        << 0x03 << 0 << QStringLiteral("Honeycomb") << kDevelopmentSdkLevel;
    QTest::newRow("empty") << 0x03 << 0 << QString() << kDevelopmentSdkLevel;
    QTest::newRow("reference") << 0x01 << 0x7f010000 << QString() << -1;
}

void TestBinaryXml::platformLevelsReadAsTheDeviceReadsThem() {
    QFETCH(int, type);
    QFETCH(int, data);
    QFETCH(QString, text);
    QFETCH(int, level);
    ManifestFacts facts;
    QString error;
    QVERIFY2(
        ReadBinaryManifest(ManifestWithMinSdk(quint8(type), quint32(data), text), &facts, &error),
        qPrintable(error));
    QCOMPARE(facts.packageName, QStringLiteral("com.example"));
    QCOMPARE(int(facts.minSdk.type), type);
    int read = -1;
    QCOMPARE(SdkLevelOf(facts.minSdk, &read), level >= 0);
    if (level >= 0)
        QCOMPARE(read, level);
}

// A document that names one long string at every element: the reader finds
// the manifest's facts after them (the names are compared where they lie,
// never decoded one mention at a time).
void TestBinaryXml::longStringNamedManyTimesIsComparedInPlace() {
    BinaryXmlBuilder xml;
    const quint32 manifest = xml.string(QStringLiteral("manifest"));
    const quint32 usesSdk = xml.string(QStringLiteral("uses-sdk"));
    const quint32 package = xml.string(QStringLiteral("package"));
    const quint32 name = xml.string(QStringLiteral("com.example"));
    const quint32 minSdk = xml.string(QStringLiteral("minSdkVersion"));
    const quint32 longName = xml.string(QString(100000, QLatin1Char('u')));
    xml.start(manifest, {{package, 0x03, name}, {longName, 0x10, 1}});
    for (int i = 0; i < 10000; ++i) {
        xml.start(longName, {{longName, 0x03, longName}});
        xml.end(longName);
    }
    xml.start(usesSdk, {{longName, 0x10, 1}, {minSdk, 0x10, 24}});
    xml.end(usesSdk);
    xml.end(manifest);
    ManifestFacts facts;
    QString error;
    QVERIFY2(ReadBinaryManifest(xml.build(), &facts, &error), qPrintable(error));
    QCOMPARE(facts.packageName, QStringLiteral("com.example"));
    QCOMPARE(facts.minSdk.data, 24u);
}

QTEST_GUILESS_MAIN(TestBinaryXml)
#include "tst_BinaryXml.moc"
