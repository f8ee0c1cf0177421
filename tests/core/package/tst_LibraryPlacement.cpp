#include "core/package/LibraryPlacement.h"

#include <QTest>

namespace {

// "abi/name" items, as an unpacked APK's lib folder lists them.
QList<AbiLibrary> libraries(const QStringList& items) {
    QList<AbiLibrary> result;
    for (const QString& item : items) {
        const qsizetype slash = item.indexOf(QLatin1Char('/'));
        result.append({item.left(slash), item.mid(slash + 1)});
    }
    return result;
}

// "lib/name (abi)" items of a placement.
QStringList described(const LibraryPlacement& placement) {
    QStringList result;
    for (const PlacedLibrary& placed : placement.placed)
        result << QStringLiteral("%1/%2 (%3)")
                      .arg(placed.directory, placed.library.fileName, placed.library.abi);
    return result;
}

} // namespace

class TestLibraryPlacement : public QObject {
    Q_OBJECT
private slots:
    void placesTheDevicesPreferredAbiOfEachBitness_data();
    void placesTheDevicesPreferredAbiOfEachBitness();
    void deviceAbisComeFromBuildProp_data();
    void deviceAbisComeFromBuildProp();
    void abiListIsCommaSeparated_data();
    void abiListIsCommaSeparated();
};

void TestLibraryPlacement::placesTheDevicesPreferredAbiOfEachBitness_data() {
    QTest::addColumn<QStringList>("apk");
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<QStringList>("placed");
    QTest::addColumn<QStringList>("leftOut");

    QTest::newRow("one name for two 32-bit ABIs: the device's first wins")
        << QStringList{"armeabi/libk.so", "armeabi-v7a/libk.so"}
        << QStringList{"armeabi-v7a", "armeabi"} << QStringList{"lib/libk.so (armeabi-v7a)"}
        << QStringList{"armeabi"};
    QTest::newRow("64-bit device takes both bitnesses")
        << QStringList{"arm64-v8a/liba.so", "armeabi-v7a/liba.so", "x86/liba.so"}
        << QStringList{"arm64-v8a", "armeabi-v7a", "armeabi"}
        << QStringList{"lib64/liba.so (arm64-v8a)", "lib/liba.so (armeabi-v7a)"}
        << QStringList{"x86"};
    QTest::newRow("32-bit device leaves the 64-bit ABI out")
        << QStringList{"arm64-v8a/liba.so", "armeabi-v7a/liba.so"}
        << QStringList{"armeabi-v7a", "armeabi"} << QStringList{"lib/liba.so (armeabi-v7a)"}
        << QStringList{"arm64-v8a"};
    QTest::newRow("every library of the chosen ABI")
        << QStringList{"x86_64/liba.so", "x86_64/libb.so", "x86/liba.so"} << QStringList{"x86_64"}
        << QStringList{"lib64/liba.so (x86_64)", "lib64/libb.so (x86_64)"} << QStringList{"x86"};
    QTest::newRow("no ABI in common: all left out")
        << QStringList{"mips/liba.so", "mips64/liba.so"} << QStringList{"armeabi-v7a"}
        << QStringList{} << QStringList{"mips", "mips64"};
    QTest::newRow("a library outside an ABI folder is left out")
        << QStringList{"/libroot.so", "armeabi/liba.so"} << QStringList{"armeabi"}
        << QStringList{"lib/liba.so (armeabi)"} << QStringList{""};
    QTest::newRow("no libraries") << QStringList{} << QStringList{"armeabi"} << QStringList{}
                                  << QStringList{};
}

void TestLibraryPlacement::placesTheDevicesPreferredAbiOfEachBitness() {
    QFETCH(QStringList, apk);
    QFETCH(QStringList, device);
    QFETCH(QStringList, placed);
    QFETCH(QStringList, leftOut);
    const LibraryPlacement placement = PlaceLibraries(libraries(apk), device);
    QCOMPARE(described(placement), placed);
    QCOMPARE(placement.leftOutAbis, leftOut);
}

void TestLibraryPlacement::deviceAbisComeFromBuildProp_data() {
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QStringList>("abis");

    QTest::newRow("abilist first") << QStringList{"ro.product.cpu.abilist", "ro.product.cpu.abi"}
                                   << QStringList{"arm64-v8a, armeabi-v7a,armeabi", "x86"}
                                   << QStringList{"arm64-v8a", "armeabi-v7a", "armeabi"};
    QTest::newRow("abi and abi2 without a list")
        << QStringList{"ro.product.cpu.abi", "ro.product.cpu.abi2"}
        << QStringList{"armeabi-v7a", "armeabi"} << QStringList{"armeabi-v7a", "armeabi"};
    QTest::newRow("an empty list falls back")
        << QStringList{"ro.product.cpu.abilist", "ro.product.cpu.abi"}
        << QStringList{" , ", "armeabi-v7a"} << QStringList{"armeabi-v7a"};
    QTest::newRow("abi2 repeating abi") << QStringList{"ro.product.cpu.abi", "ro.product.cpu.abi2"}
                                        << QStringList{"x86", "x86"} << QStringList{"x86"};
    QTest::newRow("none") << QStringList{"ro.build.version.release"} << QStringList{"9"}
                          << QStringList{};
}

void TestLibraryPlacement::deviceAbisComeFromBuildProp() {
    QFETCH(QStringList, keys);
    QFETCH(QStringList, values);
    QFETCH(QStringList, abis);
    QMap<QString, QString> properties;
    for (qsizetype i = 0; i < keys.size(); ++i)
        properties.insert(keys.at(i), values.at(i));
    QCOMPARE(DeviceAbisOfBuildProp(properties), abis);
}

void TestLibraryPlacement::abiListIsCommaSeparated_data() {
    QTest::addColumn<QString>("list");
    QTest::addColumn<QStringList>("abis");

    QTest::newRow("one") << "x86" << QStringList{"x86"};
    QTest::newRow("blanks and empty items")
        << " arm64-v8a ,,armeabi-v7a," << QStringList{"arm64-v8a", "armeabi-v7a"};
    QTest::newRow("repeats") << "x86,x86_64,x86" << QStringList{"x86", "x86_64"};
    QTest::newRow("empty") << "" << QStringList{};
}

void TestLibraryPlacement::abiListIsCommaSeparated() {
    QFETCH(QString, list);
    QFETCH(QStringList, abis);
    QCOMPARE(ParseAbiList(list), abis);
}

QTEST_GUILESS_MAIN(TestLibraryPlacement)
#include "tst_LibraryPlacement.moc"
