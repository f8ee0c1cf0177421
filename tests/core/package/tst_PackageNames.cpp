// Members whose names 7-Zip writes its own way: names in code page 936
// without ZIP's UTF-8 flag (packages repacked on Chinese Windows) and names
// with '\' separators. Every APK must be listed under the program's name,
// and deleting it must remove the right member.

#include "support/RawZip.h"
#include "core/package/ApkOperations.h"
#include "core/AppState.h"
#include "core/zip/ArchiveEditor.h"
#include "core/package/OpenPackage.h"
#include "core/Operation.h"
#include "core/Reporter.h"
#include "core/io/ToolRunner.h"
#include "support/TestBundle.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTest>

namespace {

QStringList treeFiles(const QString& root) {
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

QStringList archiveFiles(const QString& archive) {
    QList<ArchiveMember> members;
    ReadArchiveMembers(archive, &members, nullptr);
    QStringList files;
    for (const ArchiveMember& member : members) {
        if (!member.isDirectory)
            files << member.name;
    }
    files.sort();
    return files;
}

} // namespace

class TestPackageNames : public QObject {
    Q_OBJECT
private slots:
    void everyApkIsListedAndDeletable_data();
    void everyApkIsListedAndDeletable();
};

void TestPackageNames::everyApkIsListedAndDeletable_data() {
    QTest::addColumn<QByteArray>("rawName"); // as stored in the package
    QTest::addColumn<QString>("listedAs");   // below system/app

    QTest::newRow("code page 936 without the UTF-8 flag")
        << QByteArray("system/app/\xd2\xf4\xc0\xd6.apk") << QStringLiteral("音乐.apk");
    QTest::newRow("code page 936 directory layout")
        << QByteArray("system/app/\xd2\xf4\xc0\xd6/\xd2\xf4\xc0\xd6.apk")
        << QStringLiteral("音乐/音乐.apk");
    QTest::newRow("backslash separators")
        << QByteArray("system\\app\\Back.apk") << QStringLiteral("Back.apk");
}

void TestPackageNames::everyApkIsListedAndDeletable() {
    QFETCH(QByteArray, rawName);
    QFETCH(QString, listedAs);

    TestBundle bundle;
    const QString package = bundle.file("user/repacked.zip");
    QVERIFY(
        WriteFile(package, BuildRawZip({{"system/build.prop", "ro.build.version.release=5.1.1\n"},
                                        {"system/app/Plain.apk", "plain"},
                                        {rawName, "the odd one"},
                                        {"userdata/app/Data.apk", "data"}})));

    AppState state(bundle.path());
    RecordingReporter reporter;
    ToolRunner runner;
    const Operation op{state, reporter, runner};
    QCOMPARE(OpenPackage(op, package), OpenOutcome::Opened);

    const QString tree = state.paths().extractedTree();
    const QString apk = tree + "/system/app/" + listedAs;
    QVERIFY2(ListPartitionApks(tree + "/system", Partition::System, state.androidMajorVersion())
                 .contains(apk),
             qPrintable(treeFiles(tree).join(", ")));
    QCOMPARE(treeFiles(tree), archiveFiles(state.workingArchivePath()));

    QString error;
    QVERIFY2(DeleteApk(op, Partition::System, apk, &error), qPrintable(error));
    QVERIFY(!QFileInfo::exists(apk));
    QVERIFY(!archiveFiles(state.workingArchivePath()).contains("system/app/" + listedAs));
    QCOMPARE(treeFiles(tree), archiveFiles(state.workingArchivePath()));
}

QTEST_GUILESS_MAIN(TestPackageNames)
#include "tst_PackageNames.moc"
