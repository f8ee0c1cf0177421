// The native libraries of APKs added to the system page: flattened into the
// partition's lib directory and added to the working archive in the APK's
// own commit; every question comes before any change.
#include "core/base/FileHelpers.h"
#include "core/workspace/TreeSync.h"
#include "gui/CApkEditView.h"
#include "gui/CCorvaneApp.h"
#include "gui/DialogBuilder.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

namespace {

QString Fixture(const QString& name) {
    return QStringLiteral(CORVANE_TESTDATA_DIR) + QLatin1Char('/') + name;
}

QString Overwrite(const QString& name) {
    return QStringLiteral("File \"%1\" exist,Do you want to overwrite?").arg(name);
}

} // namespace

class TestNativeLibraries : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void sameNameInTwoAbis_data();
    void sameNameInTwoAbis();
    void libraryOfTheFirmwareAsks();
    void replacingCopyFails();
    void apkWithoutLibraries();
    void knownDeviceTakesOnlyItsOwnAbis_data();
    void knownDeviceTakesOnlyItsOwnAbis();

private:
    QMap<QString, QByteArray> archive() const { return ReadZip(m_archive); }
    WorkspacePaths paths() const { return m_app->State().paths(); }
    const QStringList& log() const { return m_app->State().changeLog(); }

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<ScriptedUiDialogs> m_dialogs;
    std::unique_ptr<CCorvaneApp> m_app;
    std::unique_ptr<CApkEditView> m_page;
    QString m_tree;
    QString m_lib;
    QString m_archive;
};

void TestNativeLibraries::init() {
    m_bundle = std::make_unique<TestBundle>();
    QVERIFY(m_bundle->isValid());
    m_dialogs = std::make_unique<ScriptedUiDialogs>();
    m_app = std::make_unique<CCorvaneApp>(m_bundle->path());
    m_tree = paths().extractedTree();
    m_lib = m_tree + "/system/lib";
    QVERIFY(QDir().mkpath(m_tree + "/system"));
    QVERIFY(QDir().mkpath(paths().apkTempDir()));
    QVERIFY(QDir().mkpath(paths().zipTempDir()));
    m_archive = paths().workingArchive();
    QVERIFY(WriteZip(m_archive, {{"system/build.prop", "ro.build.version.release=4.4\n"}}));
    m_app->State().setWorkingArchivePath(m_archive);

    m_page = std::make_unique<CApkEditView>(*m_app, Partition::System);
}

void TestNativeLibraries::cleanup() {
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_page.reset();
    m_app.reset();
    m_dialogs.reset();
    m_bundle.reset();
}

void TestNativeLibraries::sameNameInTwoAbis_data() {
    QTest::addColumn<int>("answer");
    QTest::newRow("yes") << int(UiDialogs::Answer::Yes);
    QTest::newRow("no") << int(UiDialogs::Answer::No);
}

void TestNativeLibraries::sameNameInTwoAbis() {
    QFETCH(int, answer);
    const bool yes = answer == int(UiDialogs::Answer::Yes);
    const QString apk = Fixture("NativeDemo.apk");
    const auto inside = ReadZip(apk);
    const QByteArray arm64 = inside.value("lib/arm64-v8a/libdemo.so");
    const QByteArray armeabi = inside.value("lib/armeabi-v7a/libdemo.so");
    const QByteArray deep = inside.value("lib/arm64-v8a/deep/libdeep.so");
    QVERIFY(!arm64.isEmpty() && !armeabi.isEmpty() && !deep.isEmpty());
    QVERIFY(arm64 != armeabi);
    const QByteArray archiveBefore = ReadFile(m_archive);
    m_dialogs->answers.enqueue(UiDialogs::Answer(answer));

    // arm64-v8a is listed before armeabi-v7a, its deep directory before its
    // library: libdeep.so, then libdemo.so of arm64-v8a, then the question.
    QCOMPARE(m_page->AddApkFile(apk), yes);
    QCOMPARE(m_dialogs->texts(), QStringList{Overwrite("libdemo.so")});
    QCOMPARE(m_dialogs->boxes[0].caption, QStringLiteral("Velkor"));
    QCOMPARE(m_dialogs->boxes[0].owner.data(), m_page.get());

    if (!yes) {
        // No to any question ends the add before anything changed.
        QCOMPARE(ReadFile(m_archive), archiveBefore);
        QVERIFY(!FileHelpers::PathExists(m_tree + "/system/app/NativeDemo.apk"));
        QCOMPARE(FileHelpers::ListDirectory(m_lib), QStringList());
        QVERIFY(log().isEmpty());
        return;
    }
    // The later library of the name wins, in the tree and in the archive.
    QCOMPARE(FileHelpers::ListDirectory(m_lib), (QStringList{"libdeep.so", "libdemo.so"}));
    QCOMPARE(ReadFile(m_lib + "/libdemo.so"), armeabi);
    QCOMPARE(ReadFile(m_lib + "/libdeep.so"), deep);
    const auto members = archive();
    QCOMPARE(members.value("system/lib/libdemo.so"), armeabi);
    QCOMPARE(members.value("system/lib/libdeep.so"), deep);
    QVERIFY(!members.contains("system/lib/deep/libdeep.so"));
    const QByteArray signedCopy = members.value("system/app/NativeDemo.apk");
    QVERIFY(!signedCopy.isEmpty());
    QVERIFY(!FileHelpers::PathExists(paths().apkTempDir()));
    QCOMPARE(ReadFile(m_tree + "/system/app/NativeDemo.apk"), signedCopy);
    QCOMPARE(members.value("system/app/NativeDemo.apk"), signedCopy);
    QCOMPARE(log().size(), 1);
}

void TestNativeLibraries::libraryOfTheFirmwareAsks() {
    // The firmware already carries a library of that name: asked first, and
    // No leaves the package as it was (the APK is not added either).
    QVERIFY(WriteFile(m_lib + "/libdeep.so", "firmware"));
    const QByteArray archiveBefore = ReadFile(m_archive);
    m_dialogs->answers.enqueue(UiDialogs::Answer::No);

    QVERIFY(!m_page->AddApkFile(Fixture("NativeDemo.apk")));
    QCOMPARE(m_dialogs->texts(), QStringList{Overwrite("libdeep.so")});
    QCOMPARE(FileHelpers::ListDirectory(m_lib), QStringList{"libdeep.so"});
    QCOMPARE(ReadFile(m_lib + "/libdeep.so"), QByteArray("firmware"));
    QCOMPARE(ReadFile(m_archive), archiveBefore);
    QVERIFY(!FileHelpers::PathExists(m_tree + "/system/app/NativeDemo.apk"));
    QVERIFY(log().isEmpty());
}

void TestNativeLibraries::replacingCopyFails() {
    // The copy of libdemo.so into the tree fails after the archive took the
    // APK and every library: "Copy failed!", and the next start finishes the
    // tree from the archive.
    const QString target = m_lib + "/libdemo.so";
    FileHelpers::SetFileFaultsForTesting([target](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::CopyFile && path == target;
    });
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    const auto inside = ReadZip(Fixture("NativeDemo.apk"));

    QVERIFY(!m_page->AddApkFile(Fixture("NativeDemo.apk")));
    QCOMPARE(m_dialogs->texts(), (QStringList{Overwrite("libdemo.so"), "Copy failed!"}));
    QCOMPARE(m_dialogs->boxes[1].caption, ApplicationTitle());
    QVERIFY(!FileHelpers::PathExists(target));
    const auto members = archive();
    QCOMPARE(members.value("system/lib/libdeep.so"), inside.value("lib/arm64-v8a/deep/libdeep.so"));
    QCOMPARE(members.value("system/lib/libdemo.so"), inside.value("lib/armeabi-v7a/libdemo.so"));
    QVERIFY(members.contains("system/app/NativeDemo.apk"));
    QVERIFY(log().isEmpty());

    FileHelpers::SetFileFaultsForTesting(nullptr);
    QString error;
    QVERIFY2(FinishInterruptedTreeSync(paths(), &error), qPrintable(error));
    QCOMPARE(ReadFile(target), inside.value("lib/armeabi-v7a/libdemo.so"));
    QCOMPARE(ReadFile(m_tree + "/system/app/NativeDemo.apk"),
             members.value("system/app/NativeDemo.apk"));
}

void TestNativeLibraries::apkWithoutLibraries() {
    QVERIFY(m_page->AddApkFile(Fixture("Plain.apk")));
    QVERIFY(m_dialogs->boxes.isEmpty());
    QCOMPARE(FileHelpers::ListDirectory(m_lib), QStringList());
    const auto members = archive();
    QVERIFY(members.contains("system/app/Plain.apk"));
    QVERIFY(std::none_of(members.keyBegin(), members.keyEnd(),
                         [](const QString& member) { return member.startsWith("system/lib"); }));
    QCOMPARE(log().size(), 1);
}

void TestNativeLibraries::knownDeviceTakesOnlyItsOwnAbis_data() {
    QTest::addColumn<QByteArray>("buildProp");
    QTest::addColumn<QString>("lib");   // the ABI of system/lib/libdemo.so
    QTest::addColumn<QString>("lib64"); // of system/lib64/libdemo.so, or none
    QTest::addColumn<QString>("told");  // the add's message, or none
    QTest::newRow("32-bit device")
        << QByteArray("ro.product.cpu.abilist=armeabi-v7a,armeabi\n") << "armeabi-v7a"
        << ""
        << "\"NativeDemo.apk\" was added without its native libraries for arm64-v8a (the "
           "device's ABIs: armeabi-v7a, armeabi).";
    QTest::newRow("older properties")
        << QByteArray("ro.product.cpu.abi=armeabi-v7a\nro.product.cpu.abi2=armeabi\n")
        << "armeabi-v7a"
        << ""
        << "\"NativeDemo.apk\" was added without its native libraries for arm64-v8a (the "
           "device's ABIs: armeabi-v7a, armeabi).";
    QTest::newRow("64-bit device")
        << QByteArray("ro.product.cpu.abilist=arm64-v8a,armeabi-v7a,armeabi\n") << "armeabi-v7a"
        << "arm64-v8a"
        << "";
}

// With the device's ABIs known, a library built for two ABIs is no question:
// each bitness takes the device's preferred ABI, and what was left out is
// told.
void TestNativeLibraries::knownDeviceTakesOnlyItsOwnAbis() {
    QFETCH(QByteArray, buildProp);
    QFETCH(QString, lib);
    QFETCH(QString, lib64);
    QFETCH(QString, told);
    QVERIFY(WriteFile(m_tree + "/system/build.prop", "ro.build.version.release=4.4\n" + buildProp));
    const auto inside = ReadZip(Fixture("NativeDemo.apk"));

    QVERIFY(m_page->AddApkFile(Fixture("NativeDemo.apk")));
    QCOMPARE(m_dialogs->texts(), told.isEmpty() ? QStringList() : QStringList{told});
    const auto members = archive();
    QCOMPARE(members.value("system/lib/libdemo.so"), inside.value("lib/" + lib + "/libdemo.so"));
    QCOMPARE(ReadFile(m_lib + "/libdemo.so"), inside.value("lib/" + lib + "/libdemo.so"));
    if (lib64.isEmpty()) {
        QVERIFY(!members.contains("system/lib64/libdemo.so"));
    } else {
        QCOMPARE(members.value("system/lib64/libdemo.so"),
                 inside.value("lib/" + lib64 + "/libdemo.so"));
        QCOMPARE(ReadFile(m_tree + "/system/lib64/libdemo.so"),
                 inside.value("lib/" + lib64 + "/libdemo.so"));
    }
    QVERIFY(members.contains("system/app/NativeDemo.apk"));
    QCOMPARE(log().size(), 1);
}

QTEST_MAIN(TestNativeLibraries)
#include "tst_NativeLibraries.moc"
