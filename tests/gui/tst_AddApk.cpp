// Adding APKs to the system and data pages: the Add command, dropped files,
// the checks, signing, the two layouts and the archive update.
#include "core/base/FileHelpers.h"
#include "core/workspace/TreeSync.h"
#include "gui/CApkEditView.h"
#include "gui/CCorvaneApp.h"
#include "gui/DialogBuilder.h"
#include "support/RawZip.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QListWidget>

#include <QDir>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

QString Fixture(const QString& name) {
    return QStringLiteral(CORVANE_TESTDATA_DIR) + QLatin1Char('/') + name;
}

// The DER bytes of a PEM certificate.
QByteArray CertificateDer(const QString& pemPath) {
    QByteArray body;
    for (const QByteArray& line : ReadFile(pemPath).split('\n')) {
        if (!line.startsWith("-----"))
            body += line.trimmed();
    }
    return QByteArray::fromBase64(body);
}

// The signature block of a signed APK (META-INF/*.RSA, *.DSA or *.EC).
QByteArray SignatureBlock(const QString& apk) {
    const QMap<QString, QByteArray> members = ReadZip(apk);
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        if (it.key().startsWith(QLatin1String("META-INF/")) &&
            (it.key().endsWith(QLatin1String(".RSA")) || it.key().endsWith(QLatin1String(".DSA")) ||
             it.key().endsWith(QLatin1String(".EC"))))
            return it.value();
    }
    return {};
}

const QString kIllegalName =
    QStringLiteral("Apk \"%1\" named illegally!  \nOnly support \"A-Z a-z 0-9 + - _ .\"");
const QString kOverwrite = QStringLiteral("File \"%1\" exist,Do you want to overwrite?");
const QString kNoPackage = QStringLiteral("Please open a firmware package first!");

} // namespace

class TestAddApk : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void systemPageSignsWithPlatformKey();
    void dataPageKeepsBytes();
    void layouts_data();
    void layouts();
    void addThenDelete_data();
    void addThenDelete();
    void overwrite_data();
    void overwrite();
    void refusals_data();
    void refusals();
    void extensionQuestion_data();
    void extensionQuestion();
    void systemPageToolFailures_data();
    void systemPageToolFailures();
    void archiveFailureLeavesTree_data();
    void archiveFailureLeavesTree();
    void copyFailureAfterArchive();
    void noPackageOpen();
    void addCommand();
    void addCommandCancelled();
    void dropStopsAtFirstFailure();
    void dropDirectory();
    void dropLongUnicodePath();

private:
    // A source file outside the tree with the bytes of a fixture.
    QString source(const QString& fixture, const QString& name = QString());
    CApkEditView& page(bool system) { return system ? *m_system : *m_data; }
    QMap<QString, QByteArray> archive() const { return ReadZip(m_archive); }
    const QStringList& log() const { return m_app->State().changeLog(); }
    WorkspacePaths paths() const { return m_app->State().paths(); }
    // The lines of the workspace's diagnostics log, where failures' causes go.
    QStringList diagnostics() const {
        return QString::fromUtf8(ReadFile(paths().diagnosticsLog()))
            .split('\n', Qt::SkipEmptyParts);
    }

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<ScriptedUiDialogs> m_dialogs;
    std::unique_ptr<CCorvaneApp> m_app;
    std::unique_ptr<CApkEditView> m_system;
    std::unique_ptr<CApkEditView> m_data;
    QString m_tree;
    QString m_archive;
};

void TestAddApk::init() {
    m_bundle = std::make_unique<TestBundle>();
    QVERIFY(m_bundle->isValid());
    m_dialogs = std::make_unique<ScriptedUiDialogs>();
    m_app = std::make_unique<CCorvaneApp>(m_bundle->path());
    const WorkspacePaths paths = m_app->State().paths();
    m_tree = paths.extractedTree();
    QVERIFY(QDir().mkpath(m_tree + "/system"));
    QVERIFY(QDir().mkpath(m_tree + "/userdata"));
    QVERIFY(QDir().mkpath(paths.apkTempDir()));
    QVERIFY(QDir().mkpath(paths.zipTempDir()));
    m_archive = paths.workingArchive();
    QVERIFY(WriteZip(m_archive, {{"system/build.prop", "ro.build.version.release=4.4\n"}}));
    m_app->State().setWorkingArchivePath(m_archive);

    m_system = std::make_unique<CApkEditView>(*m_app, Partition::System);
    QCOMPARE(m_system->RootDirectory(), m_tree + "/system");
    m_data = std::make_unique<CApkEditView>(*m_app, Partition::Data);
    QCOMPARE(m_data->RootDirectory(), m_tree + "/userdata");
}

void TestAddApk::cleanup() {
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_system.reset();
    m_data.reset();
    m_app.reset();
    m_dialogs.reset();
    m_bundle.reset();
}

QString TestAddApk::source(const QString& fixture, const QString& name) {
    const QString path = m_bundle->file("in/" + (name.isEmpty() ? fixture : name));
    const QByteArray data = ReadFile(Fixture(fixture));
    if (data.isEmpty() || !WriteFile(path, data))
        qWarning("fixture %s missing", qPrintable(fixture));
    return path;
}

void TestAddApk::systemPageSignsWithPlatformKey() {
    const QString apk = source("Plain.apk");
    const QByteArray original = ReadFile(apk);
    QVERIFY(m_system->AddApkFile(apk));
    QCOMPARE(m_dialogs->texts(), QStringList());

    const QString signedCopy = m_tree + "/system/app/Plain.apk";
    const QByteArray signedBytes = ReadFile(signedCopy);
    QVERIFY(!signedBytes.isEmpty());
    QVERIFY(signedBytes != original);
    QCOMPARE(ReadFile(apk), original);
    const QByteArray block = SignatureBlock(signedCopy);
    QVERIFY(block.contains(CertificateDer(m_bundle->file("Config/platform.x509.pem"))));
    QVERIFY(!block.contains(CertificateDer(m_bundle->file("Config/testkey.x509.pem"))));

    QCOMPARE(ReadFile(m_tree + "/system/app/Plain.apk"), signedBytes);
    const auto members = archive();
    QCOMPARE(members.value("system/app/Plain.apk"), signedBytes);
    QCOMPARE(members.value("system/build.prop"), QByteArray("ro.build.version.release=4.4\n"));
    // The folders of the unpacking and the signing went with the add.
    QVERIFY(!FileHelpers::PathExists(paths().unpackDir()));
    QVERIFY(!FileHelpers::PathExists(paths().apkTempDir()));

    QCOMPARE(log().size(), 1);
    QVERIFY(log()[0].endsWith(
        QStringLiteral(": ADD \"%1\" to \"%2\"").arg(apk, m_tree + "/system/app")));
}

void TestAddApk::dataPageKeepsBytes() {
    const QString apk = source("Foo.apk");
    const QByteArray original = ReadFile(apk);
    QVERIFY(m_data->AddApkFile(apk));
    QCOMPARE(m_dialogs->texts(), QStringList());
    QCOMPARE(ReadFile(m_tree + "/userdata/app/Foo.apk"), original);
    QCOMPARE(archive().value("userdata/app/Foo.apk"), original);
    // Neither unpacked nor signed.
    QVERIFY(!FileHelpers::PathExists(paths().unpackDir()));
    QVERIFY(!FileHelpers::PathExists(paths().apkTempDir() + "/Foo.apk"));
    QCOMPARE(log().size(), 1);
    QVERIFY(log()[0].endsWith(
        QStringLiteral(": ADD \"%1\" to \"%2\"").arg(apk, m_tree + "/userdata/app")));
}

void TestAddApk::layouts_data() {
    QTest::addColumn<bool>("system");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("placed"); // relative to the tree root; also the member

    QTest::newRow("data 4 flat") << false << 4 << "Foo.apk"
                                 << "userdata/app/Foo.apk";
    QTest::newRow("data 6 flat") << false << 6 << "Foo.apk"
                                 << "userdata/app/Foo.apk";
    QTest::newRow("data 5 folder") << false << 5 << "Foo.apk"
                                   << "userdata/app/Foo/Foo.apk";
    QTest::newRow("data 5 name up to first .apk") << false << 5 << "Foo.apk.apk"
                                                  << "userdata/app/Foo/Foo.apk.apk";
    QTest::newRow("data 5 .APK in other case") << false << 5 << "Foo.APK"
                                               << "userdata/app/Foo.APK/Foo.APK";
    QTest::newRow("system 5 folder") << true << 5 << "Foo.apk"
                                     << "system/app/Foo/Foo.apk";
}

void TestAddApk::layouts() {
    QFETCH(bool, system);
    QFETCH(int, version);
    QFETCH(QString, name);
    QFETCH(QString, placed);
    m_app->State().setAndroidMajorVersion(version);
    const QString apk = source("Foo.apk", name);

    QVERIFY(page(system).AddApkFile(apk));
    QCOMPARE(m_dialogs->texts(), QStringList());
    const auto members = archive();
    // On the system page the signed copy, which differs from the source.
    const QByteArray expected = system ? members.value(placed) : ReadFile(apk);
    QVERIFY(!expected.isEmpty());
    QCOMPARE(expected != ReadFile(apk), system);
    QCOMPARE(ReadFile(m_tree + "/" + placed), expected);
    QCOMPARE(members.value(placed), expected);
    // The member lies only where the tree holds the file.
    const QString prefix = system ? "system/app/" : "userdata/app/";
    QCOMPARE(std::count_if(members.keyBegin(), members.keyEnd(),
                           [&](const QString& member) { return member.startsWith(prefix); }),
             1);
    const QString appDirectory = m_tree + (system ? "/system/app" : "/userdata/app");
    QVERIFY(
        log().value(0).endsWith(QStringLiteral(": ADD \"%1\" to \"%2\"").arg(apk, appDirectory)));
}

void TestAddApk::addThenDelete_data() {
    QTest::addColumn<int>("version");
    QTest::newRow("flat") << 4;
    QTest::newRow("folder") << 5;
}

void TestAddApk::addThenDelete() {
    // The added APK's member stands where the tree holds it, so deleting the
    // listed APK takes it out of the package again.
    QFETCH(int, version);
    m_app->State().setAndroidMajorVersion(version);
    const auto archiveBefore = archive();
    QVERIFY(m_data->AddApkFile(source("Foo.apk")));
    m_data->RefreshApkList();
    QCOMPARE(m_data->ApkPaths().size(), 1);
    m_data->ApkList()->item(0)->setSelected(true);
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_data->OnDeleteApk();
    QCOMPARE(m_dialogs->texts(), QStringList{"Are you sure to delete?"});
    QCOMPARE(archive(), archiveBefore);
    QCOMPARE(FileHelpers::ListDirectory(m_tree + "/userdata/app"), QStringList());
    QCOMPARE(m_data->ApkCount(), 0);
    QCOMPARE(log().size(), 2);
}

void TestAddApk::overwrite_data() {
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("existing"); // relative to userdata/app
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("question"); // %1 = the app directory
    QTest::addColumn<QString>("placed");   // relative to userdata/app

    const int yes = int(UiDialogs::Answer::Yes);
    const int no = int(UiDialogs::Answer::No);
    QTest::newRow("flat yes") << 4 << "Foo.apk" << yes << kOverwrite.arg("Foo.apk") << "Foo.apk";
    QTest::newRow("flat no") << 4 << "Foo.apk" << no << kOverwrite.arg("Foo.apk") << "";
    QTest::newRow("5 with a flat file stays flat")
        << 5 << "Foo.apk" << yes << kOverwrite.arg("Foo.apk") << "Foo.apk";
    QTest::newRow("5 folder with the file, yes")
        << 5 << "Foo/Foo.apk" << yes << kOverwrite.arg("%1/Foo/Foo.apk") << "Foo/Foo.apk";
    QTest::newRow("5 folder with the file, no")
        << 5 << "Foo/Foo.apk" << no << kOverwrite.arg("%1/Foo/Foo.apk") << "";
    QTest::newRow("5 folder without the file")
        << 5 << "Foo/other.txt" << yes << QString() << "Foo/Foo.apk";
}

void TestAddApk::overwrite() {
    QFETCH(int, version);
    QFETCH(QString, existing);
    QFETCH(int, answer);
    QFETCH(QString, question);
    QFETCH(QString, placed);
    m_app->State().setAndroidMajorVersion(version);
    const QString appDirectory = m_tree + "/userdata/app";
    QVERIFY(WriteFile(appDirectory + "/" + existing, "old"));
    const QString apk = source("Foo.apk");
    const auto archiveBefore = archive();
    m_dialogs->answers.enqueue(UiDialogs::Answer(answer));

    const bool added = m_data->AddApkFile(apk);
    QCOMPARE(m_dialogs->texts(), question.isEmpty()
                                     ? QStringList()
                                     : QStringList{question.replace("%1", appDirectory)});
    if (!question.isEmpty())
        QCOMPARE(m_dialogs->boxes[0].caption, QStringLiteral("Velkor"));
    QCOMPARE(ReadFile(appDirectory + "/" + existing),
             existing == placed ? ReadFile(apk) : QByteArray("old"));
    if (placed.isEmpty()) {
        QVERIFY(!added);
        QCOMPARE(archive(), archiveBefore);
        QVERIFY(log().isEmpty());
        // A No is no failure: nothing for the diagnostics.
        QVERIFY(diagnostics().isEmpty());
    } else {
        QVERIFY(added);
        QCOMPARE(ReadFile(appDirectory + "/" + placed), ReadFile(apk));
        QCOMPARE(archive().value("userdata/app/" + placed), ReadFile(apk));
        QCOMPARE(log().size(), 1);
    }
    // The flat file keeps the flat layout: no folder appears beside it.
    if (existing == "Foo.apk")
        QVERIFY(!FileHelpers::PathExists(appDirectory + "/Foo"));
}

void TestAddApk::refusals_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("create");
    QTest::addColumn<QString>("message"); // %1 = the source path

    QTest::newRow("missing") << "Foo.apk" << false << "File \"%1\" does not exist!";
    QTest::newRow("blank") << "My App.apk" << true << kIllegalName.arg("My App.apk");
    QTest::newRow("comma") << "a,b.apk" << true << kIllegalName.arg("a,b.apk");
    QTest::newRow("parenthesis") << "Foo(1).apk" << true << kIllegalName.arg("Foo(1).apk");
    QTest::newRow("accented") << QString::fromUtf8("Caf\xc3\xa9.apk") << true
                              << kIllegalName.arg(QString::fromUtf8("Caf\xc3\xa9.apk"));
    QTest::newRow("chinese") << QString::fromUtf8("\xe5\xba\x94\xe7\x94\xa8.apk") << true
                             << kIllegalName.arg(QString::fromUtf8("\xe5\xba\x94\xe7\x94\xa8.apk"));
}

void TestAddApk::refusals() {
    QFETCH(QString, name);
    QFETCH(bool, create);
    QFETCH(QString, message);
    const QString apk = m_bundle->file("in/" + name);
    if (create)
        QVERIFY(WriteFile(apk, ReadFile(Fixture("Plain.apk"))));
    const auto archiveBefore = archive();

    for (const bool system : {true, false}) {
        QVERIFY(!page(system).AddApkFile(apk));
        QVERIFY(!FileHelpers::PathExists(page(system).RootDirectory() + "/app"));
    }
    QCOMPARE(m_dialogs->texts(), QStringList(2, QString(message).replace("%1", apk)));
    QCOMPARE(m_dialogs->boxes[0].caption, ApplicationTitle());
    QCOMPARE(m_dialogs->boxes[0].owner.data(), m_system.get());
    QVERIFY(m_dialogs->boxes[0].buttons == UiDialogs::Buttons::Ok);
    QVERIFY(!FileHelpers::PathExists(paths().unpackDir()));
    QCOMPARE(archive(), archiveBefore);
    QVERIFY(log().isEmpty());
}

void TestAddApk::extensionQuestion_data() {
    QTest::addColumn<int>("answer");
    QTest::newRow("yes") << int(UiDialogs::Answer::Yes);
    QTest::newRow("no") << int(UiDialogs::Answer::No);
}

void TestAddApk::extensionQuestion() {
    QFETCH(int, answer);
    const bool yes = answer == int(UiDialogs::Answer::Yes);
    const QString file = m_bundle->file("in/readme.txt");
    QVERIFY(WriteFile(file, "not an apk"));
    m_dialogs->answers.enqueue(UiDialogs::Answer(answer));

    QCOMPARE(m_data->AddApkFile(file), yes);
    QCOMPARE(m_dialogs->texts(),
             QStringList{"File \"readme.txt\" is not apk file,Do you want to continue?"});
    QCOMPARE(m_dialogs->boxes[0].caption, QStringLiteral("Velkor"));
    QVERIFY(m_dialogs->boxes[0].buttons == UiDialogs::Buttons::YesNo);
    QCOMPARE(FileHelpers::PathExists(m_tree + "/userdata/app/readme.txt"), yes);
    QCOMPARE(archive().contains("userdata/app/readme.txt"), yes);
    QCOMPARE(log().size(), yes ? 1 : 0);
}

void TestAddApk::systemPageToolFailures_data() {
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("message"); // %1 = the unpack directory

    QTest::newRow("unsignable") << "NoManifest.apk"
                                << ""
                                << "Sign Apk \"NoManifest.apk\" Failed!";
    QTest::newRow("not a ZIP") << "Plain.apk"
                               << "not a zip"
                               << "Unzip Apk \"Plain.apk\" Failed!";
    QTest::newRow("library damaged") << "Plain.apk"
                                     << "damaged library"
                                     << "Unzip Apk \"Plain.apk\" Failed!";
    QTest::newRow("platform key damaged") << "Plain.apk"
                                          << "damaged key"
                                          << "Sign Apk \"Plain.apk\" Failed!";
    QTest::newRow("unpack directory stays") << "Plain.apk"
                                            << "unpack"
                                            << "Delete\"%1\" Failed!";
}

void TestAddApk::systemPageToolFailures() {
    QFETCH(QString, fixture);
    QFETCH(QString, failure);
    QFETCH(QString, message);
    const QString unpack = paths().unpackDir();
    if (failure == "damaged key")
        QVERIFY(WriteFile(m_bundle->file("Config/platform.pk8"), "damaged key"));
    else if (failure == "unpack") {
        QVERIFY(WriteFile(unpack + "/locked.txt", "x"));
        FileHelpers::SetFileFaultsForTesting([unpack](FileHelpers::FileOp op, const QString& path) {
            return op == FileHelpers::FileOp::RemoveFile && path == unpack + "/locked.txt";
        });
    }
    const QString apk = source(fixture);
    if (failure == "not a zip") {
        QVERIFY(WriteFile(apk, "not a zip"));
    } else if (failure == "damaged library") {
        // A library whose bytes do not match their CRC.
        QByteArray bytes =
            BuildRawZip({{"AndroidManifest.xml", ReadZip(apk).value("AndroidManifest.xml")},
                         {"lib/armeabi/libdamaged.so", "ELF library bytes"}});
        bytes[bytes.indexOf("ELF library bytes")] = 'X';
        QVERIFY(WriteFile(apk, bytes));
    }
    const auto archiveBefore = archive();

    QVERIFY(!m_system->AddApkFile(apk));
    // A signing failure names its cause on a line of its own.
    QCOMPARE(m_dialogs->texts().size(), 1);
    QCOMPARE(m_dialogs->texts().first().section('\n', 0, 0), message.replace("%1", unpack));
    QCOMPARE(m_dialogs->boxes[0].caption, ApplicationTitle());
    QVERIFY(!FileHelpers::PathExists(paths().apkTempDir() + "/" + fixture));
    QCOMPARE(FileHelpers::ListDirectory(m_tree + "/system/app"), QStringList());
    QVERIFY(!FileHelpers::PathExists(m_tree + "/system/lib"));
    QCOMPARE(archive(), archiveBefore);
    QVERIFY(log().isEmpty());
    // The cause behind the message is kept for the user to send.
    QCOMPARE(diagnostics().size(), 1);
    const QString line = diagnostics().first();
    const QString command = QStringLiteral("Add \"%1\" failed: ").arg(apk);
    QVERIFY2(line.contains(command) && !line.endsWith(command.trimmed()), qPrintable(line));
}

void TestAddApk::archiveFailureLeavesTree_data() {
    QTest::addColumn<bool>("system");
    QTest::addColumn<int>("version");
    QTest::newRow("data flat") << false << 4;
    QTest::newRow("data folder") << false << 5;
    QTest::newRow("system folder") << true << 5;
}

void TestAddApk::archiveFailureLeavesTree() {
    QFETCH(bool, system);
    QFETCH(int, version);
    m_app->State().setAndroidMajorVersion(version);
    // A working archive that is no ZIP cannot be updated.
    QVERIFY(WriteFile(m_archive, "damaged"));
    const QString apk = source("NativeDemo.apk", "Foo.apk");

    // On the system page the library question comes before the commit.
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);

    QVERIFY(!page(system).AddApkFile(apk));
    QStringList expected{"Failed to add \"Foo.apk\" to the package!"};
    if (system)
        expected.prepend(kOverwrite.arg("libdemo.so"));
    QCOMPARE(m_dialogs->texts(), expected);
    QCOMPARE(m_dialogs->boxes.last().owner.data(), &page(system));
    QCOMPARE(FileHelpers::ListDirectory(page(system).RootDirectory() + "/app"), QStringList());
    // The libraries go with the APK's commit: none reached the tree.
    QVERIFY(!FileHelpers::PathExists(page(system).RootDirectory() + "/lib"));
    QCOMPARE(ReadFile(m_archive), QByteArray("damaged"));
    QVERIFY(log().isEmpty());
    // Nothing is left pending for the next start.
    QVERIFY(!FileHelpers::PathExists(paths().zipTempDir() + "/tree.pending"));
}

void TestAddApk::copyFailureAfterArchive() {
    const QString target = m_tree + "/userdata/app/Foo.apk";
    FileHelpers::SetFileFaultsForTesting([target](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::CopyFile && path == target;
    });
    const QString apk = source("Foo.apk");

    QVERIFY(!m_data->AddApkFile(apk));
    QCOMPARE(m_dialogs->texts(), QStringList{"Copy failed!"});
    QCOMPARE(m_dialogs->boxes[0].owner.data(), m_data.get());
    QVERIFY(!FileHelpers::PathExists(target));
    const QStringList left = QDir(m_tree + "/userdata/app").entryList(QDir::Files | QDir::Hidden);
    QVERIFY2(!left.join(' ').contains(FileHelpers::TemporarySuffix()), qPrintable(left.join(' ')));
    // The archive is updated first and keeps the file; the edit stays pending
    // and the next start brings the tree to the archive.
    QCOMPARE(archive().value("userdata/app/Foo.apk"), ReadFile(apk));
    QVERIFY(log().isEmpty());
    FileHelpers::SetFileFaultsForTesting(nullptr);
    QVERIFY(FileHelpers::PathExists(paths().zipTempDir() + "/tree.pending"));
    QString error;
    QVERIFY2(FinishInterruptedTreeSync(paths(), &error), qPrintable(error));
    QCOMPARE(ReadFile(target), ReadFile(apk));
    QVERIFY(!FileHelpers::PathExists(paths().zipTempDir() + "/tree.pending"));
}

void TestAddApk::noPackageOpen() {
    m_app->State().setWorkingArchivePath(QString());
    const QString apk = source("Foo.apk");
    const QString other = source("Plain.apk");

    for (const bool system : {true, false}) {
        QVERIFY(!page(system).AddApkFile(apk));
        QVERIFY(!FileHelpers::PathExists(page(system).RootDirectory() + "/app"));
    }
    m_dialogs->openResults.enqueue({apk});
    m_system->OnAddApk();
    m_data->OnDropFiles({apk, other});

    QCOMPARE(m_dialogs->texts(), QStringList(4, kNoPackage));
    for (const ScriptedUiDialogs::Box& box : m_dialogs->boxes) {
        QVERIFY(box.owner == m_system.get() || box.owner == m_data.get());
        QCOMPARE(box.caption, ApplicationTitle());
    }
    // No file is asked for while nothing can be added.
    QVERIFY(m_dialogs->fileDialogs.isEmpty());
    QVERIFY(!FileHelpers::PathExists(paths().unpackDir()));
    QVERIFY(log().isEmpty());
}

void TestAddApk::addCommand() {
    // The first is refused; the second is added all the same.
    const QString refused = source("Plain.apk", "Bad Name.apk");
    const QString apk = source("Plain.apk");
    m_dialogs->openResults.enqueue({refused, apk});

    m_system->OnAddApk();
    QCOMPARE(m_dialogs->fileDialogs.size(), 1);
    QCOMPARE(m_dialogs->fileDialogs[0].filter, QStringLiteral("*.apk (*.apk)"));
    QCOMPARE(m_dialogs->fileDialogs[0].kind, UiDialogs::FileKind::Apk);
    QVERIFY(m_dialogs->fileDialogs[0].multiple);
    QVERIFY(!m_dialogs->fileDialogs[0].save);
    QCOMPARE(m_dialogs->texts(), QStringList{kIllegalName.arg("Bad Name.apk")});
    QVERIFY(FileHelpers::PathExists(m_tree + "/system/app/Plain.apk"));
    QVERIFY(archive().contains("system/app/Plain.apk"));
    QCOMPARE(log().size(), 1);
    QCOMPARE(m_system->ApkPaths(), QStringList{m_tree + "/system/app/Plain.apk"});
    QCOMPARE(m_system->ApkCount(), 1);
}

void TestAddApk::addCommandCancelled() {
    // A file already in the tree shows up: the list is rebuilt all the same.
    QVERIFY(WriteFile(m_tree + "/userdata/app/Kept.apk", "x"));
    m_data->OnAddApk();
    QCOMPARE(m_dialogs->fileDialogs.size(), 1);
    QVERIFY(m_dialogs->boxes.isEmpty());
    QVERIFY(log().isEmpty());
    QCOMPARE(m_data->ApkPaths(), QStringList{m_tree + "/userdata/app/Kept.apk"});
}

void TestAddApk::dropStopsAtFirstFailure() {
    const QString first = source("Foo.apk", "First.apk");
    const QString refused = source("Foo.apk", "Bad;Name.apk");
    const QString third = source("Foo.apk", "Third.apk");

    m_data->OnDropFiles({first, refused, third});
    QCOMPARE(m_dialogs->texts(), QStringList{kIllegalName.arg("Bad;Name.apk")});
    QVERIFY(FileHelpers::PathExists(m_tree + "/userdata/app/First.apk"));
    QVERIFY(!FileHelpers::PathExists(m_tree + "/userdata/app/Third.apk"));
    const auto members = archive();
    QVERIFY(members.contains("userdata/app/First.apk"));
    QVERIFY(!members.contains("userdata/app/Third.apk"));
    QCOMPARE(log().size(), 1);
    QCOMPARE(m_data->ApkPaths(), QStringList{m_tree + "/userdata/app/First.apk"});
}

void TestAddApk::dropDirectory() {
    // A directory is not filtered out: it meets the extension question like a
    // file, and No ends the drop.
    const QString directory = m_bundle->file("in/Extra");
    QVERIFY(QDir().mkpath(directory));
    const QString apk = source("Foo.apk");

    m_data->OnDropFiles({directory, apk});
    QCOMPARE(m_dialogs->texts(),
             QStringList{"File \"Extra\" is not apk file,Do you want to continue?"});
    QCOMPARE(FileHelpers::ListDirectory(m_tree + "/userdata/app"), QStringList());
    QVERIFY(log().isEmpty());
}

void TestAddApk::dropLongUnicodePath() {
    // Far beyond 299 bytes, with characters outside any narrow code page.
    QString directory = m_bundle->file("in");
    while (directory.toUtf8().size() < 400)
        directory += QString::fromUtf8("/\xd0\x9f\xd1\x80\xd0\xb8\xd0\xbb\xd0\xbe\xd0\xb6\xd0\xb5"
                                       "\xd0\xbd\xd0\xb8\xd0\xb5-\xe5\xba\x94\xe7\x94\xa8");
    const QString apk = directory + "/Foo.apk";
    QVERIFY(WriteFile(apk, ReadFile(Fixture("Foo.apk"))));

    m_data->OnDropFiles({apk});
    QCOMPARE(m_dialogs->texts(), QStringList());
    QCOMPARE(ReadFile(m_tree + "/userdata/app/Foo.apk"), ReadFile(apk));
    QCOMPARE(log().size(), 1);
    QVERIFY(log()[0].contains("\"" + apk + "\""));
}

QTEST_MAIN(TestAddApk)
#include "tst_AddApk.moc"
