// Members whose names 7-Zip writes its own way: names in code page 936
// without ZIP's UTF-8 flag (packages repacked on Chinese Windows, or on Unix)
// and names with '\' separators. 7-Zip writes such names as their raw bytes,
// which a QString path cannot spell: the tree is compared by its bytes. Every
// APK must be listed under the program's name, nothing else may be in the
// tree, and deleting it must remove the right member.

#include "core/base/FileHelpers.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/ToolRunner.h"
#include "core/format/ArchiveEditor.h"
#include "core/workspace/ApkOperations.h"
#include "core/workspace/AppState.h"
#include "core/workspace/OpenPackage.h"
#include "support/RawZip.h"
#include "support/RecordingReporter.h"
#include "support/TestBundle.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTest>

#include <dirent.h>
#include <sys/stat.h>

namespace {

// Every file below the directory by its bytes; a name that is not UTF-8 shows
// its bytes as \xNN.
void collectFiles(const QByteArray& directory, const QByteArray& relative, QStringList& files) {
    DIR* dir = ::opendir(directory.constData());
    if (!dir)
        return;
    while (const dirent* item = ::readdir(dir)) {
        const QByteArray name(item->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray path = directory + '/' + name;
        const QByteArray member = relative.isEmpty() ? name : relative + '/' + name;
        struct stat info;
        if (::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
            collectFiles(path, member, files);
            continue;
        }
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString shown = utf8.decode(member);
        if (utf8.hasError()) {
            shown.clear();
            for (const char c : member)
                shown += static_cast<unsigned char>(c) < 0x80
                             ? QString(QLatin1Char(c))
                             : QStringLiteral("\\x%1").arg(static_cast<unsigned char>(c), 2, 16);
        }
        files << shown;
    }
    ::closedir(dir);
}

QStringList treeFiles(const QString& root) {
    QStringList files;
    collectFiles(QFile::encodeName(root), QByteArray(), files);
    files.sort();
    return files;
}

// The package as written by another system: the "version made by" of every
// central directory record replaced (0x03 Unix, 0x00 MS-DOS, 0x0A NTFS).
QByteArray madeBy(QByteArray zip, quint8 system) {
    const QByteArray signature("PK\x01\x02");
    for (qsizetype i = zip.indexOf(signature); i >= 0; i = zip.indexOf(signature, i + 4))
        zip[i + 5] = static_cast<char>(system);
    return zip;
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
    QTest::addColumn<quint8>("system");      // the system that made the package
    QTest::addColumn<QString>("listedAs");   // below system/app

    const QList<QPair<const char*, quint8>> systems{{"Unix", 3}, {"MS-DOS", 0}, {"NTFS", 10}};
    for (const auto& [madeOn, system] : systems) {
        const auto row = [&](const char* what) -> QTestData& {
            return QTest::addRow("%s, made on %s", what, madeOn);
        };
        row("code page 936 without the UTF-8 flag") << QByteArray("system/app/\xd2\xf4\xc0\xd6.apk")
                                                    << system << QStringLiteral("音乐.apk");
        row("code page 936 directory layout")
            << QByteArray("system/app/\xd2\xf4\xc0\xd6/\xd2\xf4\xc0\xd6.apk") << system
            << QStringLiteral("音乐/音乐.apk");
        // "系统" in code page 936 happens to be UTF-8 too ("ϵͳ"): 7-Zip
        // writes a directory the program does not name.
        row("code page 936 that reads as UTF-8") << QByteArray("system/app/\xcf\xb5\xcd\xb3.apk")
                                                 << system << QStringLiteral("系统.apk");
        row("backslash separators")
            << QByteArray("system\\app\\Back.apk") << system << QStringLiteral("Back.apk");
    }
}

void TestPackageNames::everyApkIsListedAndDeletable() {
    QFETCH(QByteArray, rawName);
    QFETCH(quint8, system);
    QFETCH(QString, listedAs);

    TestBundle bundle;
    const QString package = bundle.file("user/repacked.zip");
    QVERIFY(WriteFile(package,
                      madeBy(BuildRawZip({{"system/build.prop", "ro.build.version.release=5.1.1\n"},
                                          {"system/app/Plain.apk", "plain"},
                                          {rawName, "the odd one"},
                                          {"userdata/app/Data.apk", "data"}}),
                             system)));

    AppState state(bundle.path());
    RecordingReporter reporter;
    ToolRunner runner;
    const Operation op{state, reporter, runner};
    QCOMPARE(OpenPackage(op, package).outcome, OpenOutcome::Opened);

    const QString tree = state.paths().extractedTree();
    const QString apk = tree + "/system/app/" + listedAs;
    QStringList listed{apk, tree + "/system/app/Plain.apk"};
    std::sort(listed.begin(), listed.end(), FileHelpers::NameLess);
    QCOMPARE(ListPartitionApks(tree + "/system", Partition::System, state.androidMajorVersion()),
             listed);
    QCOMPARE(treeFiles(tree), archiveFiles(state.workingArchivePath()));
    QCOMPARE(ReadFile(apk), QByteArray("the odd one"));

    const Result deleted = DeleteApk(op, Partition::System, apk);
    QVERIFY2(deleted.succeeded(), qPrintable(deleted.cause()));
    QVERIFY(!QFileInfo::exists(apk));
    QVERIFY(!archiveFiles(state.workingArchivePath()).contains("system/app/" + listedAs));
    QCOMPARE(treeFiles(tree), archiveFiles(state.workingArchivePath()));
}

QTEST_GUILESS_MAIN(TestPackageNames)
#include "tst_PackageNames.moc"
