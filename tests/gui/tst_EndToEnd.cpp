// One session with every real tool: open the sample package, edit it on every
// page, save it, close, and check the saved package byte by byte.
#include "core/base/DriveType.h"
#include "core/base/FileHelpers.h"
#include "core/workspace/WorkspaceRecord.h"
#include "gui/CApkEditView.h"
#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "gui/CImageView.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QListWidget>
#include <QProcess>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>

namespace {

const QString kTestData = QStringLiteral(CORVANE_TESTDATA_DIR);

// Runs a program to its end; its standard output, or a null string on failure.
QByteArray run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning() << program << arguments << process.readAllStandardError();
        return QByteArray();
    }
    return process.readAllStandardOutput() + " ";
}

void selectRows(CApkEditView* page, const QStringList& fileNames) {
    page->ApkList()->clearSelection();
    for (int i = 0; i < page->ApkPaths().size(); ++i)
        if (fileNames.contains(QFileInfo(page->ApkPaths()[i]).fileName()))
            page->ApkList()->item(i)->setSelected(true);
}

QString sha256Fingerprint(const QString& certificatePem) {
    const QByteArray out =
        run("openssl", {"x509", "-in", certificatePem, "-noout", "-fingerprint", "-sha256"});
    return QString::fromLatin1(out).section('=', 1).remove(':').trimmed().toLower();
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void editAndSaveTheSamplePackage();
};

void TestEndToEnd::editAndSaveTheSamplePackage() {
    TestBundle bundle;
    ScriptedUiDialogs dialogs;
    SetDriveClassifierForTesting([](const QString&) { return false; });
    const QString user = bundle.file("user files");
    QVERIFY(QDir().mkpath(user));
    const QString package = user + "/update.zip";
    QVERIFY(QFile::copy(TestBundle::samplePackage(), package));
    const QByteArray packageBytes = ReadFile(package);
    const auto original = ReadZip(package);
    QVERIFY(original.contains("system/app/Browser/Browser.apk"));

    CCorvaneApp app(bundle.path());
    CCorvaneDlg dlg(app);
    dlg.OnInitDialog();
    app.CreateBusyDialog();
    dlg.show();

    // Open.
    dialogs.openResults.enqueue({package});
    dlg.OnBrowseClicked();
    QCOMPARE(dialogs.texts().last(), QString("UnZip file successfully"));
    QCOMPARE(app.State().androidMajorVersion(), 5);

    // System page: add an APK whose two ABIs share a library name; the
    // sample's build.prop names the device's ABIs, so only those are taken.
    dlg.TabControl()->setCurrentIndex(1);
    CApkEditView* system = dlg.SystemApkPage();
    const QString nativeApk = kTestData + "/NativeDemo.apk";
    dialogs.openResults.enqueue({nativeApk});
    dlg.SystemApkPage()->OnAddApk();
    const QString leftOut = "\"NativeDemo.apk\" was added without its native libraries for "
                            "arm64-v8a (the device's ABIs: armeabi-v7a, armeabi).";
    QCOMPARE(dialogs.texts().last(), leftOut);
    const QString tree = bundle.file("srctemp");
    QVERIFY(FileHelpers::PathExists(tree + "/system/app/NativeDemo/NativeDemo.apk"));

    // Delete one APK in the directory layout and one from priv-app.
    selectRows(system, {"Browser.apk", "Settings.apk"});
    dialogs.answers.enqueue(UiDialogs::Answer::Yes);
    system->OnDeleteApk();
    QVERIFY(!FileHelpers::PathExists(tree + "/system/app/Browser"));
    QVERIFY(!FileHelpers::PathExists(tree + "/system/priv-app/Settings"));

    // Data page: add one, delete one.
    dlg.TabControl()->setCurrentIndex(2);
    CApkEditView* data = dlg.DataApkPage();
    const QString fooApk = kTestData + "/Foo.apk";
    dialogs.openResults.enqueue({fooApk});
    data->OnAddApk();
    selectRows(data, {"Weather.apk"});
    dialogs.answers.enqueue(UiDialogs::Answer::Yes);
    data->OnDeleteApk();

    // Images.
    dlg.TabControl()->setCurrentIndex(0);
    const QString newLogo = user + "/my logo.img";
    QVERIFY(WriteFile(newLogo, QByteArray(5000, 'N')));
    dialogs.openResults.enqueue({newLogo});
    dlg.ImagePage()->ReplaceImageFile(1006);
    const QString newAnimation = user + "/boot animation.zip";
    QVERIFY(WriteZip(newAnimation, {{"desc.txt", "1280 720 30\n"}}));
    dialogs.openResults.enqueue({newAnimation});
    dlg.ImagePage()->ReplaceImageFile(1008);

    // build.prop edited in the tree, as the editor would.
    const QByteArray buildProp = ReadFile(tree + "/system/build.prop") + "ro.corvane.edited=1\n";
    QVERIFY(WriteFile(tree + "/system/build.prop", buildProp));

    // Save to a fixed disk.
    const QString output = bundle.file("saved/update signed.zip");
    QVERIFY(QDir().mkpath(bundle.file("saved")));
    dialogs.saveResults.enqueue(output);
    dlg.OnSaveClicked();
    QCOMPARE(dialogs.texts().last(), QString("Save succeed"));

    // Close without saving again; the log is written.
    dialogs.answers.enqueue(UiDialogs::Answer::No);
    dlg.OnCancelClicked();

    // Only the boxes a user expects were shown.
    const QStringList expectedBoxes{
        "UnZip file successfully", leftOut,        "Are you sure to delete?",
        "Are you sure to delete?", "Save succeed", "Do you want to save?"};
    QCOMPARE(dialogs.texts(), expectedBoxes);

    // The saved package holds every edit and nothing else.
    auto saved = ReadZip(output);
    QVERIFY(!saved.isEmpty());
    // The signing adds its own META-INF members and keeps files only (no
    // directory entries).
    QStringList signatureMembers;
    for (const QString& name : saved.keys())
        if (name.startsWith("META-INF/") && !original.contains(name))
            signatureMembers << name;
    for (const QString& name : signatureMembers)
        saved.remove(name);
    QVERIFY(signatureMembers.contains("META-INF/com/android/otacert"));

    auto expected = original;
    for (const QString& name : original.keys())
        if (name.endsWith('/'))
            expected.remove(name);
    // An APK in a directory of its own goes with everything in that directory.
    for (const QString& name : original.keys())
        if (name.startsWith("system/app/Browser/") || name.startsWith("system/priv-app/Settings/"))
            expected.remove(name);
    QVERIFY(original.contains("system/app/Browser/lib/arm/libbrowser_jni.so"));
    expected.remove("userdata/app/Weather.apk");
    expected.insert("logo.img", QByteArray(5000, 'N'));
    expected.insert("system/media/bootanimation.zip", ReadFile(newAnimation));
    expected.insert("system/build.prop", buildProp);
    const auto nativeMembers = ReadZip(nativeApk);
    // Of the library built for two ABIs, the device's; the other ABI's own
    // library (libdeep.so) is left out.
    expected.insert("system/lib/libdemo.so", nativeMembers.value("lib/armeabi-v7a/libdemo.so"));
    expected.insert("userdata/app/Foo/Foo.apk", ReadFile(fooApk));
    QVERIFY(saved.contains("system/app/NativeDemo/NativeDemo.apk"));
    expected.insert("system/app/NativeDemo/NativeDemo.apk",
                    saved.value("system/app/NativeDemo/NativeDemo.apk"));
    QStringList missing;
    QStringList extra;
    for (const QString& name : expected.keys())
        if (!saved.contains(name))
            missing << name;
    for (const QString& name : saved.keys())
        if (!expected.contains(name))
            extra << name;
    QVERIFY2(missing.isEmpty() && extra.isEmpty(),
             qPrintable("missing: " + missing.join(", ") + "; not expected: " + extra.join(", ")));
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(saved.value(it.key()) == it.value(), qPrintable(it.key()));
    QVERIFY(nativeMembers.value("lib/armeabi-v7a/libdemo.so") !=
            nativeMembers.value("lib/arm64-v8a/libdemo.so"));

    // The added system APK carries the platform certificate.
    const QString addedApk = bundle.file("check/NativeDemo.apk");
    QVERIFY(WriteFile(addedApk, saved.value("system/app/NativeDemo/NativeDemo.apk")));
    const QString certs =
        QString::fromUtf8(run("apksigner", {"verify", "--print-certs", addedApk}));
    QVERIFY2(!certs.isEmpty(), "apksigner rejected the added APK");
    const QString platformDigest = sha256Fingerprint(bundle.file("Config/platform.x509.pem"));
    QVERIFY(!platformDigest.isEmpty());
    QVERIFY2(certs.contains("certificate SHA-256 digest: " + platformDigest), qPrintable(certs));

    // The whole-file signature verifies over every byte before the comment
    // length, for the test certificate, as a recovery checks it.
    const QByteArray signedBytes = ReadFile(output);
    const qsizetype size = signedBytes.size();
    QVERIFY(size > 6);
    const auto byteAt = [&](qsizetype i) { return static_cast<unsigned char>(signedBytes.at(i)); };
    QCOMPARE(byteAt(size - 4), 0xFF);
    QCOMPARE(byteAt(size - 3), 0xFF);
    const int signatureStart = byteAt(size - 6) | (byteAt(size - 5) << 8);
    const int commentSize = byteAt(size - 2) | (byteAt(size - 1) << 8);
    QVERIFY(signatureStart > 6 && commentSize >= signatureStart && commentSize + 22 <= size);
    const QString signedData = bundle.file("check/signed-data.bin");
    const QString signature = bundle.file("check/signature.der");
    QVERIFY(WriteFile(signedData, signedBytes.left(size - commentSize - 2)));
    QVERIFY(WriteFile(signature, signedBytes.mid(size - signatureStart, signatureStart - 6)));
    QVERIFY(
        !run("openssl", {"cms", "-verify", "-binary", "-inform", "DER", "-in", signature,
                         "-content", signedData, "-CAfile", bundle.file("Config/testkey.x509.pem"),
                         "-purpose", "any", "-out", "/dev/null"})
             .isNull());

    // The change log, in the order of the edits.
    const QStringList log = QString::fromUtf8(ReadFile(bundle.file("log.txt"))).split("\r\n");
    const QString stamp = R"(\d{4}-[ \d]\d-[ \d]\d [ \d]\d:[ \d]\d:[ \d]\d: )";
    const QStringList expectedLog{
        QString("ADD \"%1\" to \"%2\"").arg(nativeApk, tree + "/system/app"),
        QString("DELETE \"%1\"").arg(tree + "/system/app/Browser/Browser.apk"),
        QString("DELETE \"%1\"").arg(tree + "/system/priv-app/Settings/Settings.apk"),
        QString("ADD \"%1\" to \"%2\"").arg(fooApk, tree + "/userdata/app"),
        QString("DELETE \"%1\"").arg(tree + "/userdata/app/Weather.apk"),
        QString("REPLACE \"%1\" with \"%2\"").arg(tree + "/logo.img", newLogo),
        QString("REPLACE \"%1\" with \"%2\"")
            .arg(tree + "/system/media/bootanimation.zip", newAnimation),
        QString()};
    QCOMPARE(log.size(), expectedLog.size());
    for (int i = 0; i + 1 < log.size(); ++i)
        QVERIFY2(QRegularExpression("^" + stamp + QRegularExpression::escape(expectedLog[i]) + "$")
                     .match(log[i])
                     .hasMatch(),
                 qPrintable(log[i]));

    // The workspace still belongs to the package, and the run's journal went
    // into log.txt.
    const WorkspaceRecord record = WorkspaceRecord::read(bundle.file("zipTemp/workspace.state"));
    QCOMPARE(record.stage, WorkspaceRecord::Stage::Open);
    QCOMPARE(record.package, package);
    QVERIFY(!FileHelpers::PathExists(bundle.file("zipTemp/log.journal")));

    // The user's package was only ever read.
    QCOMPARE(ReadFile(package), packageBytes);
    SetDriveClassifierForTesting(nullptr);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_EndToEnd.moc"
