// A package whose system partition is an ext4 image, in the window's
// workspace: the open decodes the image into a working image and unpacks its
// files into the tree with libext2fs, so the pages list its APKs.
#include "core/base/Operation.h"
#include "core/base/ToolRunner.h"
#include "core/base/WorkspacePaths.h"
#include "core/workspace/ApkOperations.h"
#include "core/workspace/AppState.h"
#include "core/workspace/OpenPackage.h"
#include "core/workspace/WorkingImage.h"
#include "support/ImageFixture.h"
#include "support/RecordingReporter.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>

using Members = QList<QPair<QString, QByteArray>>;

class TestImageWorkspace : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void openUnpacksTheImagesFilesIntoTheTree_data();
    void openUnpacksTheImagesFilesIntoTheTree();
    void anImageThatCannotBeEditedOpensWithItsCauseKept_data();
    void anImageThatCannotBeEditedOpensWithItsCauseKept();
    void openingAnotherPackageDropsTheWorkingImage();

private:
    Operation op() { return Operation{*m_state, m_reporter, m_runner}; }
    QString tree(const QString& path = QString()) const {
        const QString root = m_state->paths().extractedTree();
        return path.isEmpty() ? root : root + "/" + path;
    }
    // A package of the small partition in a form; its path.
    QString imagePackage(BlockImageForm form, bool systemAsRoot);

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<AppState> m_state;
    RecordingReporter m_reporter;
    ToolRunner m_runner;
};

void TestImageWorkspace::initTestCase() {
    for (const char* tool : {"mke2fs", "debugfs", "e2fsck", "img2simg"})
        if (FindTool(tool).isEmpty())
            QSKIP(qPrintable(QString("%1 is not installed").arg(tool)));
}

void TestImageWorkspace::init() {
    m_bundle = std::make_unique<TestBundle>();
    m_state = std::make_unique<AppState>(m_bundle->path());
    m_reporter = RecordingReporter();
}

void TestImageWorkspace::cleanup() {
    m_state.reset();
    m_bundle.reset();
}

QString TestImageWorkspace::imagePackage(BlockImageForm form, bool systemAsRoot) {
    const QString scratch = m_bundle->file("scratch");
    QDir().mkpath(scratch);
    const QString raw = scratch + "/made.img";
    const QString made = MakeSystemImage(raw, SmallSystemFiles(), systemAsRoot);
    if (!made.isEmpty()) {
        qWarning().noquote() << made;
        return {};
    }
    QList<QPair<QString, QByteArray>> members{
        {"META-INF/com/google/android/updater-script", "block_image_update(...);\n"},
        {"boot.img", "boot"}};
    const auto image = SystemImageMembers(raw, form, scratch + "/members");
    if (image.isEmpty())
        return {};
    members << image;
    const QString package = m_bundle->file("packages/image.zip");
    QDir().mkpath(QFileInfo(package).path());
    return WriteZip(package, members) ? package : QString();
}

void TestImageWorkspace::openUnpacksTheImagesFilesIntoTheTree_data() {
    QTest::addColumn<int>("form");
    QTest::addColumn<bool>("systemAsRoot");
    QTest::newRow("raw") << int(BlockImageForm::Raw) << false;
    QTest::newRow("sparse") << int(BlockImageForm::Sparse) << false;
    QTest::newRow("dat") << int(BlockImageForm::NewDat) << false;
    QTest::newRow("dat.br") << int(BlockImageForm::NewDatBrotli) << false;
    QTest::newRow("dat.br, system-as-root") << int(BlockImageForm::NewDatBrotli) << true;
    QTest::newRow("sparse, system-as-root") << int(BlockImageForm::Sparse) << true;
}

void TestImageWorkspace::openUnpacksTheImagesFilesIntoTheTree() {
    QFETCH(int, form);
    QFETCH(bool, systemAsRoot);
    const QString package = imagePackage(BlockImageForm(form), systemAsRoot);
    QVERIFY(!package.isEmpty());

    const OpenResult opened = OpenPackage(op(), package);
    QVERIFY2(opened.result.succeeded(), qPrintable(opened.result.cause()));
    QCOMPARE(opened.outcome, OpenOutcome::Opened);

    for (const auto& [path, bytes] : SmallSystemFiles())
        QCOMPARE(ReadFile(tree("system/" + path)), bytes);
    QVERIFY(!QFileInfo::exists(tree("system/lost+found")));
    QCOMPARE(m_state->androidMajorVersion(), 5);
    QStringList listed = ListPartitionApks(tree("system"), Partition::System, 5);
    listed.sort();
    QCOMPARE(listed, (QStringList{tree("system/app/Bar/Bar.apk"), tree("system/app/Foo/Foo.apk"),
                                  tree("system/priv-app/Priv/Priv.apk")}));

    // The working image: the partition's ext4 image, clean, its state kept.
    const WorkspacePaths paths = m_state->paths();
    const WorkingImageState state = WorkingImageState::read(paths.workingSystemImageState());
    QVERIFY(state.present);
    QVERIFY2(state.refusal.isEmpty(), qPrintable(state.refusal));
    QCOMPARE(int(state.layout.partition.form), form);
    QCOMPARE(state.layout.partition.name, QString("system"));
    QCOMPARE(RunTool("e2fsck", {"-fn", paths.workingSystemImage()}), 0);
    QCOMPARE(QFileInfo(paths.workingSystemImage()).size(), qint64(16) << 20);
    // Sparse on disk: its holes take no room.
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(paths.workingSystemImage()).constData(), &st), 0);
    QVERIFY(qint64(st.st_blocks) * 512 < (qint64(16) << 20));
}

void TestImageWorkspace::anImageThatCannotBeEditedOpensWithItsCauseKept_data() {
    QTest::addColumn<Members>("members");
    QTest::addColumn<QString>("cause");
    QTest::newRow("not a filesystem") << Members{{"system.img", QByteArray(1 << 16, 'x')}} << "";
    QTest::newRow("incremental") << Members{{"system.transfer.list",
                                             "4\n1\n0\n0\nmove 2,0,1 2,1,2\n"},
                                            {"system.new.dat", QByteArray(4096, 'a')},
                                            {"system.patch.dat", ""}}
                                 << "move";
}

void TestImageWorkspace::anImageThatCannotBeEditedOpensWithItsCauseKept() {
    QFETCH(Members, members);
    QFETCH(QString, cause);
    const QString package = m_bundle->file("packages/bad.zip");
    QDir().mkpath(QFileInfo(package).path());
    QVERIFY(WriteZip(package,
                     Members{{"system/build.prop", "ro.build.version.release=7\n"}} + members));

    const OpenResult opened = OpenPackage(op(), package);
    QVERIFY2(opened.result.succeeded(), qPrintable(opened.result.cause()));
    const WorkspacePaths paths = m_state->paths();
    const WorkingImageState state = WorkingImageState::read(paths.workingSystemImageState());
    QVERIFY(state.present);
    QVERIFY(!state.refusal.isEmpty());
    QVERIFY2(state.refusal.contains(cause), qPrintable(state.refusal));
    QVERIFY(!QFileInfo::exists(paths.workingSystemImage()));
    // The refusal of a system edit names the cause the open kept.
    const Result editable = CheckSystemPartitionEditable(*m_state);
    QVERIFY(editable.failed());
    QVERIFY2(editable.cause().endsWith(": " + state.refusal), qPrintable(editable.cause()));
}

void TestImageWorkspace::openingAnotherPackageDropsTheWorkingImage() {
    const QString package = imagePackage(BlockImageForm::Raw, false);
    QVERIFY(OpenPackage(op(), package).result.succeeded());
    const WorkspacePaths paths = m_state->paths();
    QVERIFY(QFileInfo::exists(paths.workingSystemImage()));

    const QString files = m_bundle->file("packages/files.zip");
    QVERIFY(WriteZip(files, {{"system/build.prop", "ro.build.version.release=7\n"},
                             {"system/app/Music.apk", "music"}}));
    QVERIFY(OpenPackage(op(), files).result.succeeded());
    QVERIFY(!QFileInfo::exists(paths.workingSystemImage()));
    QVERIFY(!WorkingImageState::read(paths.workingSystemImageState()).present);
    QCOMPARE(ReadFile(tree("system/app/Music.apk")), QByteArray("music"));
}

QTEST_GUILESS_MAIN(TestImageWorkspace)
#include "tst_ImageWorkspace.moc"
