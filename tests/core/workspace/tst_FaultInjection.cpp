// Kills a real process at every step boundary of open, add, delete, replace
// and save, starts again (answering Yes), and checks that nothing was lost:
//  1. the user's package is byte-identical;
//  2. the chosen output holds what it held before, or a package that verifies;
//  3. the tree and the working archive hold the same files with the same
//     bytes (or the resume was refused with a message and no tree is left);
//  4. no temporary file is left in the workspace or beside the output.
//
// The process killed is this test program run again as a worker: it drives
// the same core operations as the windows and the command-line tool, and a
// fault-point hook stops it at the named point, where the test kills it with
// SIGKILL.

#include "core/base/DriveType.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/TestHooks.h"
#include "core/base/ToolRunner.h"
#include "core/format/AndroidVersionProbe.h"
#include "core/format/ArchiveEditor.h"
#include "core/package/PackageLayout.h"
#include "core/workspace/ApkOperations.h"
#include "core/workspace/AppState.h"
#include "core/workspace/OpenPackage.h"
#include "core/workspace/ReplaceImage.h"
#include "core/workspace/SavePackage.h"
#include "core/workspace/Workspace.h"
#include "support/RecordingReporter.h"
#include "support/ResultCheck.h"
#include "support/TestBundle.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <zip.h>

#include <cstdio>
#include <unistd.h>

namespace {

// Worker: argv = --worker APPDIR STOP-AT COMMAND [ARGS...]. Prints every
// message of the core on standard output, one per line.
int runWorker(const QStringList& args) {
    const QString appDirectory = args.value(0);
    const QByteArray stopAt = args.value(1).toUtf8();
    const QString command = args.value(2);
    const QStringList rest = args.mid(3);

    // The commands' steps, and inside an update of the working archive the
    // editor's own ("archive:...").
    SetFaultPointHookForTesting([stopAt](const char* name) {
        if (stopAt != name)
            return FaultAction::None;
        std::fprintf(stderr, "STOPPED %s\n", name);
        std::fflush(stderr);
        for (;;)
            pause();
    });

    AppState state(appDirectory);
    RecordingReporter reporter(true);
    ToolRunner runner;
    const Operation op{state, reporter, runner};
    const auto finish = [&](bool ok) {
        for (const QString& text : reporter.texts())
            std::printf("%s\n", text.toUtf8().constData());
        return ok ? 0 : 3;
    };

    QDir().mkpath(state.paths().zipTempDir());
    // Told as the window tells it: the result's notice after the steps' own.
    const ResumeResult resumed = ResumeWorkspace(op);
    reporter.notify(resumed.result.notice());
    std::printf("RESUME %d\n", int(resumed.outcome));
    // As the main window does when it starts on a kept tree.
    const QString buildProp = state.paths().extractedTree() + QStringLiteral("/system/build.prop");
    if (QFileInfo::exists(buildProp))
        state.setAndroidMajorVersion(ProbeAndroidVersion(reporter, buildProp));
    if (command == QLatin1String("resume"))
        return finish(true);
    if (command == QLatin1String("open"))
        return finish(OpenPackage(op, rest.value(0)).outcome == OpenOutcome::Opened);
    if (command == QLatin1String("add-system"))
        return finish(AddApk(op, Partition::System, rest.value(0)).succeeded());
    if (command == QLatin1String("delete")) {
        const QString root = state.paths().extractedTree() + QStringLiteral("/system");
        for (const QString& path :
             ListPartitionApks(root, Partition::System, state.androidMajorVersion())) {
            if (QFileInfo(path).fileName() == rest.value(0))
                return finish(DeleteApk(op, Partition::System, path).succeeded());
        }
        return finish(false);
    }
    if (command == QLatin1String("replace"))
        return finish(ReplaceImage(op, *FindImageSlot(rest.value(0)), rest.value(1)).succeeded());
    // A save straight into the output's folder, or one staged in the
    // workspace first (as for a drive that is not fixed), whatever the disk
    // the test runs on.
    if (command == QLatin1String("save") || command == QLatin1String("save-staged")) {
        const bool staged = command == QLatin1String("save-staged");
        SetDriveClassifierForTesting([staged](const QString&) { return staged; });
        return finish(PutBackConfigFiles(op).succeeded() &&
                      SignPackageTo(op, rest.value(0)).succeeded());
    }
    return 2;
}

QByteArray sha(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

// name -> bytes of the file members of an archive (directory entries left out).
QMap<QString, QByteArray> archiveFiles(const QString& path) {
    QMap<QString, QByteArray> files;
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &error);
    if (!zip)
        return files;
    const zip_int64_t total = zip_get_num_entries(zip, 0);
    for (zip_int64_t i = 0; i < total; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const QString name = QString::fromUtf8(zip_get_name(zip, index, 0));
        if (name.endsWith(QLatin1Char('/')))
            continue;
        zip_stat_t stat;
        zip_stat_index(zip, index, 0, &stat);
        QByteArray data(static_cast<qsizetype>(stat.size), '\0');
        zip_file_t* file = zip_fopen_index(zip, index, 0);
        if (file) {
            zip_fread(file, data.data(), stat.size);
            zip_fclose(file);
        }
        files.insert(name, data);
    }
    zip_discard(zip);
    return files;
}

QMap<QString, QByteArray> treeFiles(const QString& root) {
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        files.insert(QDir(root).relativeFilePath(path), file.readAll());
    }
    return files;
}

// Temporary files of interrupted work, anywhere below the directory.
QStringList temporaryFiles(const QString& directory) {
    QStringList found;
    QDirIterator it(directory, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString name = it.next().section(QLatin1Char('/'), -1);
        if (name.endsWith(QLatin1String(".part")) ||
            name.endsWith(QLatin1String(".corvane-part")) ||
            name.contains(QLatin1String(".journal")) || name.endsWith(QLatin1String(".pending")) ||
            QRegularExpression(QStringLiteral("^temp\\.zip\\.[A-Za-z0-9]{6}$"))
                .match(name)
                .hasMatch())
            found << it.filePath();
    }
    return found;
}

} // namespace

class TestFaultInjection : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void killAtEveryStep_data();
    void killAtEveryStep();

private:
    // Runs the worker; with a stop point, kills it there. The worker's output.
    QString runWorker(const QString& stopAt, const QStringList& command, bool* reached = nullptr);

    std::unique_ptr<TestBundle> m_bundle;
    QString m_user;
};

void TestFaultInjection::initTestCase() {
    QVERIFY(QFileInfo::exists(TestBundle::samplePackage()));
}

QString TestFaultInjection::runWorker(const QString& stopAt, const QStringList& command,
                                      bool* reached) {
    QProcess worker;
    worker.setProgram(QCoreApplication::applicationFilePath());
    worker.setArguments(QStringList{QStringLiteral("--worker"), m_bundle->path(), stopAt} +
                        command);
    worker.start();
    if (!worker.waitForStarted())
        return {};
    if (!stopAt.isEmpty()) {
        QByteArray errors;
        while (worker.state() == QProcess::Running && !errors.contains("STOPPED")) {
            worker.waitForReadyRead(1000);
            errors += worker.readAllStandardError();
        }
        if (reached)
            *reached = errors.contains("STOPPED " + stopAt.toUtf8());
        worker.kill(); // SIGKILL
    }
    worker.waitForFinished(120000);
    return QString::fromUtf8(worker.readAllStandardOutput());
}

void TestFaultInjection::killAtEveryStep_data() {
    QTest::addColumn<QStringList>("setup");   // commands run to their end first
    QTest::addColumn<QStringList>("command"); // the command killed
    QTest::addColumn<QString>("point");

    const QString apk = QStringLiteral(CORVANE_TESTDATA_DIR "/NativeDemo.apk");
    const QStringList open{QStringLiteral("open"), QStringLiteral("@package")};
    for (const char* point : {"open:recorded", "open:tree-deleted", "open:extracted",
                              "open:archive-in-place", "open:recorded-open"}) {
        QTest::addRow("first open, %s", point)
            << QStringList() << open << QString::fromLatin1(point);
        QTest::addRow("second open, %s", point) << open << open << QString::fromLatin1(point);
    }
    for (const char* point : {"add:prepared", "add:archive-committed", "add:tree-file-copied"})
        QTest::addRow("%s", point)
            << open << QStringList{QStringLiteral("add-system"), apk} << QString::fromLatin1(point);
    QTest::addRow("delete:archive-committed")
        << open << QStringList{QStringLiteral("delete"), QStringLiteral("Browser.apk")}
        << QStringLiteral("delete:archive-committed");
    QTest::addRow("replace:archive-committed")
        << open
        << QStringList{QStringLiteral("replace"), QStringLiteral("logo.img"),
                       QStringLiteral("@image")}
        << QStringLiteral("replace:archive-committed");
    // A kill inside each archive update, at every step of the editor's commit.
    for (const char* step :
         {"journal-written", "entries-written", "directory-written", "truncated", "synced"}) {
        const QString point = QStringLiteral("archive:") + QLatin1String(step);
        QTest::addRow("add, %s", step)
            << open << QStringList{QStringLiteral("add-system"), apk} << point;
        QTest::addRow("delete, %s", step)
            << open << QStringList{QStringLiteral("delete"), QStringLiteral("Browser.apk")}
            << point;
        QTest::addRow("replace, %s", step)
            << open
            << QStringList{QStringLiteral("replace"), QStringLiteral("logo.img"),
                           QStringLiteral("@image")}
            << point;
    }
    for (const char* point : {"save:signed", "save:verified"})
        QTest::addRow("%s", point)
            << open << QStringList{QStringLiteral("save"), QStringLiteral("@output")}
            << QString::fromLatin1(point);
    for (const char* point : {"save:signed", "save:verified", "save:copied"})
        QTest::addRow("staged %s", point)
            << open << QStringList{QStringLiteral("save-staged"), QStringLiteral("@output")}
            << QString::fromLatin1(point);
}

void TestFaultInjection::killAtEveryStep() {
    QFETCH(QStringList, setup);
    QFETCH(QStringList, command);
    QFETCH(QString, point);

    m_bundle = std::make_unique<TestBundle>();
    const QString user = m_bundle->file(QStringLiteral("user"));
    QDir().mkpath(user);
    const QString package = user + QStringLiteral("/update.zip");
    QVERIFY(QFile::copy(TestBundle::samplePackage(), package));
    const QString image = user + QStringLiteral("/new-logo.img");
    QVERIFY(WriteFile(image, QByteArray(5000, 'L')));
    const QString output = user + QStringLiteral("/signed.zip");
    QVERIFY(WriteFile(output, "the output as it was"));
    const QByteArray packageBefore = sha(package);
    const QByteArray outputBefore = sha(output);
    const auto expand = [&](QStringList args) {
        args.replaceInStrings(QStringLiteral("@package"), package);
        args.replaceInStrings(QStringLiteral("@image"), image);
        args.replaceInStrings(QStringLiteral("@output"), output);
        return args;
    };

    if (!setup.isEmpty())
        runWorker(QString(), expand(setup));
    bool reached = false;
    runWorker(point, expand(command), &reached);
    QVERIFY2(reached, qPrintable(QStringLiteral("the worker never reached ") + point));
    const QString resumed = runWorker(QString(), {QStringLiteral("resume")});

    // 1. The user's package.
    QCOMPARE(sha(package), packageBefore);
    // 2. The output: as before, or a package that verifies.
    if (sha(output) != outputBefore) {
        QCOMPARE(FailureOf(VerifySignedPackage(output, m_bundle->file("Config/testkey.x509.pem"))),
                 QString());
    }
    // 3. Tree and working archive agree, or the resume refused and cleared.
    const WorkspacePaths paths(m_bundle->path());
    if (resumed.contains(QStringLiteral("did not finish opening"))) {
        QVERIFY(!QFileInfo::exists(paths.extractedTree()));
    } else if (QFileInfo::exists(paths.extractedTree())) {
        QVERIFY2(resumed.contains(QStringLiteral("RESUME 1")), qPrintable(resumed));
        const QMap<QString, QByteArray> tree = treeFiles(paths.extractedTree());
        const QMap<QString, QByteArray> archive = archiveFiles(paths.workingArchive());
        QCOMPARE(tree.keys(), archive.keys());
        for (auto it = tree.cbegin(); it != tree.cend(); ++it)
            QVERIFY2(it.value() == archive.value(it.key()), qPrintable(it.key()));
    }
    // 4. No leftovers.
    QCOMPARE(temporaryFiles(m_bundle->path()), QStringList());
    QCOMPARE(temporaryFiles(user), QStringList());
    m_bundle.reset();
}

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const QStringList args = application.arguments();
    if (args.value(1) == QLatin1String("--worker"))
        return runWorker(args.mid(2));
    TestFaultInjection test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_FaultInjection.moc"
