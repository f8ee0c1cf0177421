// A real full disk: the workspace (or the output's folder) on a small tmpfs
// mounted for the test. An edit that runs out of room changes nothing of the
// working archive or the tree; a save or an open without room is refused
// before anything is touched. Skipped where the machine lets no test mount a
// file system (not root, or no capability to mount).

#include "core/base/FileHelpers.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/ToolRunner.h"
#include "core/package/PackageLayout.h"
#include "core/workspace/ApkOperations.h"
#include "core/workspace/AppState.h"
#include "core/workspace/OpenPackage.h"
#include "core/workspace/ReplaceImage.h"
#include "core/workspace/SavePackage.h"
#include "support/RecordingReporter.h"
#include "support/TestBundle.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

QByteArray noise(qsizetype size, quint32 seed) {
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char& byte : data)
        byte = static_cast<char>(random.generate() & 0xff);
    return data;
}

// Every file below the directory with its bytes.
QMap<QString, QByteArray> snapshot(const QString& directory) {
    QMap<QString, QByteArray> files;
    QDirIterator it(directory, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(directory).relativeFilePath(path), ReadFile(path));
    }
    return files;
}

} // namespace

class TestFullDisk : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void editThatRunsOutOfRoomChangesNothing_data();
    void editThatRunsOutOfRoomChangesNothing();
    void saveWithoutRoomKeepsTheOutput();
    void openWithoutRoomIsRefused();

private:
    // Mounts a tmpfs of that many KiB at a new directory; empty when the
    // machine does not allow it.
    QString mountSmall(int kib);
    Operation op() { return Operation{*m_state, m_reporter, m_runner}; }

    QTemporaryDir m_dir;
    QStringList m_mounts;
    std::unique_ptr<AppState> m_state;
    RecordingReporter m_reporter{true};
    ToolRunner m_runner;
};

QString TestFullDisk::mountSmall(int kib) {
    const QString point = m_dir.filePath(QStringLiteral("fs%1").arg(m_mounts.size()));
    QDir().mkpath(point);
    if (!run(QStringLiteral("mount"),
             {"-t", "tmpfs", "-o", QStringLiteral("size=%1k").arg(kib), "tmpfs", point}))
        return {};
    m_mounts << point;
    return point;
}

void TestFullDisk::init() {
    m_reporter = RecordingReporter(true);
}

void TestFullDisk::cleanup() {
    m_state.reset();
    for (const QString& point : m_mounts)
        run(QStringLiteral("umount"), {"-l", point});
    m_mounts.clear();
}

void TestFullDisk::editThatRunsOutOfRoomChangesNothing_data() {
    QTest::addColumn<QString>("edit");
    QTest::newRow("add an APK to the data partition") << "add";
    QTest::newRow("replace an image") << "replace";
}

void TestFullDisk::editThatRunsOutOfRoomChangesNothing() {
    QFETCH(QString, edit);
    // Room for the sample package's tree and working archive (about 170 KB)
    // and little more.
    const QString workspace = mountSmall(1024);
    if (workspace.isEmpty())
        QSKIP("this machine lets no test mount a small file system");
    const QString bundle = TestBundle::buildBundle();
    QVERIFY(QFile::link(bundle + "/Config", workspace + "/Config"));
    m_state = std::make_unique<AppState>(workspace);
    QCOMPARE(OpenPackage(op(), TestBundle::samplePackage()).outcome, OpenOutcome::Opened);
    m_reporter = RecordingReporter(true);
    const QMap<QString, QByteArray> before = snapshot(workspace);

    // Twice the room the disk has left, and incompressible.
    const qint64 free = FileHelpers::AvailableBytes(workspace);
    QVERIFY(free > 0);
    const QString source = m_dir.filePath(edit == "add" ? "Huge.apk" : "huge-logo.img");
    QVERIFY(WriteFile(source, noise(2 * free + 4096, 11)));

    QString error;
    if (edit == "add") {
        const Result result = AddApk(op(), Partition::Data, source);
        QCOMPARE(result.notice().text,
                 QStringLiteral("Failed to add \"Huge.apk\" to the package!"));
        QVERIFY(m_reporter.texts().isEmpty());
        error = result.cause();
    } else {
        const Result result = ReplaceImage(op(), *FindImageSlot("logo.img"), source);
        QCOMPARE(result.notice().text, QStringLiteral("Failed to replace the logo.img! "));
        error = result.cause();
    }
    QVERIFY(!error.isEmpty());
    // The working archive, the tree and everything else of the workspace are
    // as they were: no part of the edit, no journal, no temporary file.
    QCOMPARE(snapshot(workspace), before);
    QVERIFY(m_state->changeLog().isEmpty());
}

void TestFullDisk::saveWithoutRoomKeepsTheOutput() {
    const QString output = mountSmall(64);
    if (output.isEmpty())
        QSKIP("this machine lets no test mount a small file system");
    TestBundle bundle;
    m_state = std::make_unique<AppState>(bundle.path());
    QCOMPARE(OpenPackage(op(), TestBundle::samplePackage()).outcome, OpenOutcome::Opened);
    m_reporter = RecordingReporter(true);
    const QString earlier = output + "/update.zip";
    QVERIFY(WriteFile(earlier, "an earlier save"));

    const Result saved = SignPackageTo(op(), earlier);
    QVERIFY(saved.failed());
    QVERIFY2(saved.notice().text.startsWith("Not enough free space in"),
             qPrintable(saved.notice().text));
    QCOMPARE(snapshot(output), (QMap<QString, QByteArray>{{"update.zip", "an earlier save"}}));
}

void TestFullDisk::openWithoutRoomIsRefused() {
    const QString workspace = mountSmall(64);
    if (workspace.isEmpty())
        QSKIP("this machine lets no test mount a small file system");
    m_state = std::make_unique<AppState>(workspace);
    const OpenResult opened = OpenPackage(op(), TestBundle::samplePackage());
    QCOMPARE(opened.outcome, OpenOutcome::Refused);
    QVERIFY2(opened.result.notice().text.startsWith("Not enough free space in"),
             qPrintable(opened.result.notice().text));
    // Nothing was started: no tree, no copy, no record.
    QCOMPARE(snapshot(workspace), (QMap<QString, QByteArray>()));
}

QTEST_GUILESS_MAIN(TestFullDisk)
#include "tst_FullDisk.moc"
