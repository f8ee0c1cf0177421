// The native libraries of APKs added to the system page: flattened into the
// partition's lib directory and added to the working archive in one update.
#include "gui/CCorvaneApp.h"
#include "gui/CApkEditView.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"
#include "core/FileHelpers.h"

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
    void everyFileFlattened();
    void linksAreNotFollowed();
    void missingSource();
    void archiveFailure();
    void noPackageOpen();

private:
    QMap<QString, QByteArray> archive() const { return ReadZip(m_archive); }

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<ScriptedUiDialogs> m_dialogs;
    std::unique_ptr<CApkEditView> m_page;
    QString m_tree;
    QString m_lib;
    QString m_archive;
};

void TestNativeLibraries::init() {
    m_bundle = std::make_unique<TestBundle>();
    QVERIFY(m_bundle->isValid());
    m_dialogs = std::make_unique<ScriptedUiDialogs>();
    CCorvaneApp& app = theApp();
    m_tree = app.Paths().extractedTree();
    m_lib = m_tree + "/system/lib";
    QVERIFY(QDir().mkpath(m_tree + "/system"));
    QVERIFY(QDir().mkpath(app.Paths().apkTempDir()));
    QVERIFY(QDir().mkpath(app.Paths().zipTempDir()));
    m_archive = app.Paths().workingArchive();
    QVERIFY(WriteZip(m_archive, {{"system/build.prop", "ro.build.version.release=4.4\n"}}));
    app.WorkingArchivePath = m_archive;

    m_page = std::make_unique<CApkEditView>();
    m_page->RootDirectory = m_tree + "/system";
    m_page->IsSystemPage = 1;
}

void TestNativeLibraries::cleanup() {
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_page.reset();
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
    m_dialogs->answers.enqueue(UiDialogs::Answer(answer));

    // arm64-v8a is listed before armeabi-v7a, its deep directory before its
    // library: libdeep.so, then libdemo.so of arm64-v8a, then the question.
    QCOMPARE(m_page->AddApkFile(apk), yes);
    QCOMPARE(m_dialogs->texts(), QStringList{Overwrite("libdemo.so")});
    QCOMPARE(m_dialogs->boxes[0].caption, QStringLiteral("Velkor"));
    QCOMPARE(m_dialogs->boxes[0].owner.data(), m_page.get());

    const QByteArray expected = yes ? armeabi : arm64;
    QCOMPARE(FileHelpers::ListDirectory(m_lib), (QStringList{"libdeep.so", "libdemo.so"}));
    QCOMPARE(ReadFile(m_lib + "/libdemo.so"), expected);
    QCOMPARE(ReadFile(m_lib + "/libdeep.so"), deep);
    const auto members = archive();
    QCOMPARE(members.value("system/lib/libdemo.so"), expected);
    QCOMPARE(members.value("system/lib/libdeep.so"), deep);
    QVERIFY(!members.contains("system/lib/deep/libdeep.so"));
    // The APK stays placed whatever the library stage answered.
    const QByteArray signedCopy = ReadFile(theApp().Paths().apkTempDir() + "/NativeDemo.apk");
    QVERIFY(!signedCopy.isEmpty());
    QCOMPARE(ReadFile(m_tree + "/system/app/NativeDemo.apk"), signedCopy);
    QCOMPARE(members.value("system/app/NativeDemo.apk"), signedCopy);
    QCOMPARE(theApp().ChangeLog.size(), yes ? 1 : 0);
}

void TestNativeLibraries::libraryOfTheFirmwareAsks() {
    // The firmware already carries a library of that name: asked first.
    QVERIFY(WriteFile(m_lib + "/libdeep.so", "firmware"));
    m_dialogs->answers.enqueue(UiDialogs::Answer::No);

    QVERIFY(!m_page->AddApkFile(Fixture("NativeDemo.apk")));
    QCOMPARE(m_dialogs->texts(), QStringList{Overwrite("libdeep.so")});
    QCOMPARE(FileHelpers::ListDirectory(m_lib), QStringList{"libdeep.so"});
    QCOMPARE(ReadFile(m_lib + "/libdeep.so"), QByteArray("firmware"));
    const auto members = archive();
    QVERIFY(!members.contains("system/lib/libdeep.so"));
    QVERIFY(members.contains("system/app/NativeDemo.apk"));
    QVERIFY(theApp().ChangeLog.isEmpty());
}

void TestNativeLibraries::replacingCopyFails() {
    // Every copy to libdemo.so fails: the first one leads to the question,
    // the replacing one to "Copy failed!" with the library already archived.
    const QString target = m_lib + "/libdemo.so";
    FileHelpers::SetFileFaultsForTesting([target](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::CopyFile && path == target;
    });
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    const auto inside = ReadZip(Fixture("NativeDemo.apk"));

    QVERIFY(!m_page->AddApkFile(Fixture("NativeDemo.apk")));
    QCOMPARE(m_dialogs->texts(), (QStringList{Overwrite("libdemo.so"), "Copy failed!"}));
    QCOMPARE(m_dialogs->boxes[1].caption, ApplicationTitle());
    QCOMPARE(FileHelpers::ListDirectory(m_lib), QStringList{"libdeep.so"});
    const auto members = archive();
    QCOMPARE(members.value("system/lib/libdeep.so"), inside.value("lib/arm64-v8a/deep/libdeep.so"));
    QCOMPARE(members.value("system/lib/libdemo.so"), inside.value("lib/arm64-v8a/libdemo.so"));
    QVERIFY(theApp().ChangeLog.isEmpty());
}

void TestNativeLibraries::apkWithoutLibraries() {
    QVERIFY(m_page->AddApkFile(Fixture("Plain.apk")));
    QVERIFY(m_dialogs->boxes.isEmpty());
    QVERIFY(FileHelpers::PathExists(m_lib));
    QCOMPARE(FileHelpers::ListDirectory(m_lib), QStringList());
    const auto members = archive();
    QVERIFY(std::none_of(members.keyBegin(), members.keyEnd(),
                         [](const QString& member) { return member.startsWith("system/lib"); }));
    QCOMPARE(theApp().ChangeLog.size(), 1);
}

void TestNativeLibraries::everyFileFlattened() {
    // Any file below lib, at any depth and of any name, is taken.
    const QString source = m_bundle->file("UzApk/lib");
    QVERIFY(WriteFile(source + "/x86/libone.so", "one"));
    QVERIFY(WriteFile(source + "/x86/a/b/c/libtwo.so", "two"));
    QVERIFY(WriteFile(source + "/README", "notes"));
    QVERIFY(WriteFile(source + "/mips/data.bin", "bin"));
    QVERIFY(QDir().mkpath(m_lib));

    QVERIFY(m_page->CopyNativeLibraries(source, m_lib));
    QVERIFY(m_dialogs->boxes.isEmpty());
    const QStringList names{"data.bin", "libone.so", "libtwo.so", "README"};
    QCOMPARE(FileHelpers::ListDirectory(m_lib), names);
    const auto members = archive();
    for (const QString& name : names)
        QCOMPARE(members.value("system/lib/" + name), ReadFile(m_lib + "/" + name));
    QCOMPARE(members.size(), 1 + names.size());
}

void TestNativeLibraries::linksAreNotFollowed() {
    // An unpacked APK may carry symbolic links; none may pull a file from
    // outside the APK into the package.
    const QString secret = m_bundle->file("secret.txt");
    QVERIFY(WriteFile(secret, "not for the package"));
    const QString source = m_bundle->file("UzApk/lib");
    QVERIFY(WriteFile(source + "/arm/libreal.so", "real"));
    QVERIFY(QFile::link(secret, source + "/arm/libsecret.so"));
    QVERIFY(QFile::link(m_bundle->path(), source + "/outside"));
    QVERIFY(QDir().mkpath(m_lib));

    QVERIFY(m_page->CopyNativeLibraries(source, m_lib));
    QVERIFY(m_dialogs->boxes.isEmpty());
    QCOMPARE(FileHelpers::ListDirectory(m_lib), QStringList({"libreal.so"}));
    const auto members = archive();
    QCOMPARE(members.value("system/lib/libreal.so"), QByteArray("real"));
    QVERIFY(!members.contains("system/lib/libsecret.so"));
    QCOMPARE(members.size(), 2);
}

void TestNativeLibraries::missingSource() {
    const QByteArray before = ReadFile(m_archive);
    QVERIFY(m_page->CopyNativeLibraries(m_bundle->file("UzApk/lib"), m_lib));
    QVERIFY(m_dialogs->boxes.isEmpty());
    QCOMPARE(ReadFile(m_archive), before);
}

void TestNativeLibraries::archiveFailure() {
    const QString source = m_bundle->file("UzApk/lib");
    QVERIFY(WriteFile(source + "/x86/libone.so", "one"));
    QVERIFY(QDir().mkpath(m_lib));
    QVERIFY(WriteFile(m_archive, "damaged"));

    QVERIFY(!m_page->CopyNativeLibraries(source, m_lib));
    QCOMPARE(m_dialogs->texts(), QStringList{"Failed to add the native libraries to the package!"});
    QCOMPARE(m_dialogs->boxes[0].owner.data(), m_page.get());
    QCOMPARE(ReadFile(m_archive), QByteArray("damaged"));
}

void TestNativeLibraries::noPackageOpen() {
    const QString source = m_bundle->file("UzApk/lib");
    QVERIFY(WriteFile(source + "/x86/libone.so", "one"));
    QVERIFY(QDir().mkpath(m_lib));
    theApp().WorkingArchivePath.clear();

    QVERIFY(!m_page->CopyNativeLibraries(source, m_lib));
    QCOMPARE(m_dialogs->texts(), QStringList{"Please open a firmware package first!"});
    QCOMPARE(FileHelpers::ListDirectory(m_lib), QStringList());
}

QTEST_MAIN(TestNativeLibraries)
#include "tst_NativeLibraries.moc"
