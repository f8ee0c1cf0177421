// What a start does with the workspace it finds: which kept work it offers
// to continue, which it clears, the leftovers of interrupted work it removes,
// an interrupted tree edit it finishes and the change-log lines it takes up.
#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/ToolRunner.h"
#include "core/workspace/AppState.h"
#include "core/workspace/ChangeLog.h"
#include "core/workspace/TreeSync.h"
#include "core/workspace/Workspace.h"
#include "core/workspace/WorkspaceRecord.h"
#include "support/RecordingReporter.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

Q_DECLARE_METATYPE(WorkspaceRecord::Stage)
Q_DECLARE_METATYPE(ResumeOutcome)

namespace {

const char* const kQuestion = "Do you want to continue the last operation?";

} // namespace

class TestWorkspace : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void resume_data();
    void resume();
    void leftoversRemovedAndOwnFilesKept();
    void interruptedTreeEditFinishedFromArchive();
    void journalCarriedIntoTheLog();
    void treeDifferingFromArchiveRestored_data();
    void treeDifferingFromArchiveRestored();
    void restoredDifferencesCounted();
    void damagedRecordSetAside_data();
    void damagedRecordSetAside();
    void unfinishableTreeEditClearedWithCause();
    void addLeftoversRemoved();
    void recordKeepsAnyPathAndReadsTheEarlierForm_data();
    void recordKeepsAnyPathAndReadsTheEarlierForm();
    void questionNamesThePackageAndWhenItWasOpened();

private:
    Operation op() { return Operation{*m_state, m_reporter, m_runner}; }
    // Resumes as the window does: the result's notice is shown after what
    // the steps told on the way.
    ResumeResult resumeShown() {
        ResumeResult resumed = ResumeWorkspace(op());
        m_reporter.notify(resumed.result.notice());
        return resumed;
    }
    QString file(const QString& relative) const { return m_bundle->file(relative); }
    // The question, naming the package the tests keep.
    QString question() const {
        return QString(kQuestion) + "\n\nPackage: update.zip\nFolder: " + file("user");
    }
    void keptWorkspace(const QList<QPair<QString, QByteArray>>& members);

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<AppState> m_state;
    RecordingReporter m_reporter;
    ToolRunner m_runner;
};

void TestWorkspace::init() {
    m_bundle = std::make_unique<TestBundle>();
    m_state = std::make_unique<AppState>(m_bundle->path());
    m_reporter = RecordingReporter();
    // Made by every start before anything is recorded.
    QVERIFY(QDir().mkpath(file("zipTemp")));
}

void TestWorkspace::cleanup() {
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_state.reset();
    m_bundle.reset();
}

void TestWorkspace::resume_data() {
    QTest::addColumn<bool>("tree");
    QTest::addColumn<WorkspaceRecord::Stage>("stage");
    QTest::addColumn<QString>("archive"); // "zip", "garbage" or "none"
    QTest::addColumn<bool>("answer");
    QTest::addColumn<ResumeOutcome>("outcome");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("warned");

    using S = WorkspaceRecord::Stage;
    using R = ResumeOutcome;
    // tree, stage, archive, answer -> outcome, asked, warned
    QTest::newRow("nothing kept") << false << S::None << "none" << true << R::Nothing << false
                                  << false;
    QTest::newRow("archive without tree")
        << false << S::Open << "zip" << true << R::Nothing << false << false;
    QTest::newRow("open, yes") << true << S::Open << "zip" << true << R::Continued << true << false;
    QTest::newRow("open, no") << true << S::Open << "zip" << false << R::Declined << true << false;
    QTest::newRow("open, archive damaged")
        << true << S::Open << "garbage" << true << R::Cleared << false << true;
    QTest::newRow("open, archive gone")
        << true << S::Open << "none" << true << R::Cleared << false << true;
    QTest::newRow("still opening")
        << true << S::Opening << "zip" << true << R::Cleared << false << true;
    QTest::newRow("no record") << true << S::None << "zip" << true << R::Cleared << false << true;
}

void TestWorkspace::resume() {
    QFETCH(bool, tree);
    QFETCH(WorkspaceRecord::Stage, stage);
    QFETCH(QString, archive);
    QFETCH(bool, answer);
    QFETCH(ResumeOutcome, outcome);
    QFETCH(bool, asked);
    QFETCH(bool, warned);

    const QString package = file("user/update.zip");
    if (tree)
        QVERIFY(WriteFile(file("srctemp/system/app/Music.apk"), "music"));
    if (archive == "zip")
        QVERIFY(WriteZip(file("zipTemp/temp.zip"), {{"system/app/Music.apk", "music"}}));
    else if (archive == "garbage")
        QVERIFY(WriteFile(file("zipTemp/temp.zip"), "PK but not a zip"));
    if (stage != WorkspaceRecord::Stage::None) {
        WorkspaceRecord record;
        record.stage = stage;
        record.package = package;
        QVERIFY(record.write(file("zipTemp/workspace.state")));
    }
    const QByteArray archiveBefore = ReadFile(file("zipTemp/temp.zip"));
    m_reporter.setAnswer(answer);

    QCOMPARE(resumeShown().outcome, outcome);

    QStringList expected;
    if (asked)
        expected << question();
    if (warned)
        expected << (stage == WorkspaceRecord::Stage::None
                         ? QString("The last package did not finish opening; its files were "
                                   "cleared.")
                         : QString("The last package \"%1\" did not finish opening; its files "
                                   "were cleared.")
                               .arg(package));
    QCOMPARE(m_reporter.texts(), expected);
    const bool continued = outcome == ResumeOutcome::Continued;
    QCOMPARE(FileHelpers::PathExists(file("srctemp/system/app/Music.apk")), continued);
    QCOMPARE(m_state->workingArchivePath(), continued ? file("zipTemp/temp.zip") : QString());
    // The working archive file itself is never deleted at start.
    QCOMPARE(ReadFile(file("zipTemp/temp.zip")), archiveBefore);
    // A tree that is gone takes its record with it.
    if (tree && !continued)
        QVERIFY(!FileHelpers::PathExists(file("zipTemp/workspace.state")));
    if (continued)
        QCOMPARE(WorkspaceRecord::read(file("zipTemp/workspace.state")).stage,
                 WorkspaceRecord::Stage::Open);
}

void TestWorkspace::leftoversRemovedAndOwnFilesKept() {
    const QStringList leftovers{"zipTemp/temp.zip.part", "zipTemp/temp.zip.AbC123",
                                "out dir/.update.zip.corvane-part"};
    const QStringList kept{"zipTemp/temp.zip", "zipTemp/temp.zip.backup1", "zipTemp/temp.zip.old",
                           "zipTemp/mine.zip", "out dir/update.zip"};
    for (const QString& name : leftovers + kept)
        QVERIFY(WriteFile(file(name), name.toUtf8()));
    // The save that was interrupted recorded its temporary file.
    QVERIFY(WriteFile(file("zipTemp/save.pending"),
                      file("out dir/.update.zip.corvane-part").toUtf8() + "\n"));

    QCOMPARE(resumeShown().outcome, ResumeOutcome::Nothing);
    for (const QString& name : leftovers)
        QVERIFY2(!FileHelpers::PathExists(file(name)), qPrintable(name));
    for (const QString& name : kept)
        QCOMPARE(ReadFile(file(name)), name.toUtf8());
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/save.pending")));
    QVERIFY(m_reporter.texts().isEmpty());

    // A record that names anything but a temporary file of a save removes
    // only itself.
    QVERIFY(WriteFile(file("zipTemp/save.pending"), file("out dir/update.zip").toUtf8() + "\n"));
    QCOMPARE(resumeShown().outcome, ResumeOutcome::Nothing);
    QCOMPARE(ReadFile(file("out dir/update.zip")), QByteArray("out dir/update.zip"));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/save.pending")));
}

// An edit committed the archive and was stopped before the tree followed:
// the start makes each recorded path match the archive.
void TestWorkspace::interruptedTreeEditFinishedFromArchive() {
    const QString archive = file("zipTemp/temp.zip");
    QVERIFY(WriteZip(archive, {{"logo.img", "old logo"},
                               {"system/app/Music.apk", "music"},
                               {"system/app/Browser/Browser.apk", "browser"},
                               {"system/app/Browser/oat/arm/Browser.odex", "odex"}}));
    for (const auto& [name, data] : ReadZip(archive).asKeyValueRange())
        QVERIFY(WriteFile(file("srctemp/" + name), data));
    WorkspaceRecord record;
    record.stage = WorkspaceRecord::Stage::Open;
    record.package = file("user/update.zip");
    QVERIFY(record.write(file("zipTemp/workspace.state")));

    const WorkspacePaths paths(m_bundle->path());
    QVERIFY(
        BeginTreeSync(paths, {{file("srctemp/logo.img"), "logo.img", false},
                              {file("srctemp/system/app/Music.apk"), "system/app/Music.apk", false},
                              {file("srctemp/system/app/Browser"), "system/app/Browser", true}}));
    QVERIFY(WriteFile(file("new logo.img"), "new logo"));
    QVERIFY(ApplyArchiveChanges(
        archive, {{ArchiveChangeKind::Put, "logo.img", file("new logo.img")},
                  {ArchiveChangeKind::Remove, "system/app/Music.apk", QString()},
                  {ArchiveChangeKind::RemoveTree, "system/app/Browser", QString()}}));
    QVERIFY(FileHelpers::PathExists(file("zipTemp/tree.pending")));

    m_reporter.setAnswer(true);
    QCOMPARE(resumeShown().outcome, ResumeOutcome::Continued);
    QCOMPARE(m_reporter.texts(), QStringList({question()}));
    QCOMPARE(ReadFile(file("srctemp/logo.img")), QByteArray("new logo"));
    QVERIFY(!FileHelpers::PathExists(file("srctemp/system/app/Music.apk")));
    QVERIFY(!FileHelpers::PathExists(file("srctemp/system/app/Browser")));
    QVERIFY(FileHelpers::PathExists(file("srctemp/system/app")));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/tree.pending")));
}

// Lines of a run that did not close come first in the next run's log, in
// the log's encoding (code page 936, CR LF).
void TestWorkspace::journalCarriedIntoTheLog() {
    {
        AppState crashed(m_bundle->path());
        RecordingReporter reporter;
        const Operation earlier{crashed, reporter, m_runner};
        RecordChange(earlier, "first");
        RecordChange(earlier, "second 中文");
    }
    QVERIFY(WriteFile(file("log.txt"), "log of an older run\r\n"));

    QCOMPARE(resumeShown().outcome, ResumeOutcome::Nothing);
    QCOMPARE(m_state->changeLog(), QStringList({"first", "second 中文"}));
    RecordChange(op(), "third");
    QVERIFY(WriteChangeLog(op()).succeeded());
    QCOMPARE(ReadFile(file("log.txt")),
             QByteArray("first\r\nsecond \xD6\xD0\xCE\xC4\r\nthird\r\n"));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/log.journal")));
    QVERIFY(m_state->changeLog().isEmpty());
    QVERIFY(m_reporter.texts().isEmpty());

    // Nothing is carried twice.
    AppState next(m_bundle->path());
    ResumeWorkspace(Operation{next, m_reporter, m_runner});
    QVERIFY(next.changeLog().isEmpty());
}

// An open package whose tree is a copy of its archive, with an image.
void TestWorkspace::keptWorkspace(const QList<QPair<QString, QByteArray>>& members) {
    QVERIFY(WriteZip(file("zipTemp/temp.zip"), members));
    for (const auto& [name, data] : members)
        QVERIFY(WriteFile(file("srctemp/" + name), data));
    WorkspaceRecord record;
    record.stage = WorkspaceRecord::Stage::Open;
    record.package = file("user/update.zip");
    QVERIFY(record.write(file("zipTemp/workspace.state")));
}

void TestWorkspace::treeDifferingFromArchiveRestored_data() {
    QTest::addColumn<QString>("change"); // what happened to the tree between runs
    QTest::addColumn<QString>("told");   // the difference named; empty: none
    QTest::newRow("file deleted") << "delete:system/app/Music.apk"
                                  << "\"system/app/Music.apk\" is missing";
    QTest::newRow("file of another size") << "write:system/app/Music.apk"
                                          << "\"system/app/Music.apk\" differs";
    QTest::newRow("file the archive lacks") << "write:system/app/Stray.apk"
                                            << "\"system/app/Stray.apk\" is not in the package";
    QTest::newRow("configuration file edited") << "write:system/build.prop" << QString();
}

// A resume is offered only for a tree that matches its archive: what differs
// is named, and the archive decides.
void TestWorkspace::treeDifferingFromArchiveRestored() {
    QFETCH(QString, change);
    QFETCH(QString, told);
    keptWorkspace({{"system/app/Music.apk", "music"}, {"system/build.prop", "ro.x=1\n"}});
    const QString target = file("srctemp/" + change.section(':', 1));
    if (change.startsWith("delete:"))
        QVERIFY(QFile::remove(target));
    else
        QVERIFY(WriteFile(target, "written between the runs"));

    m_reporter.setAnswer(true);
    QCOMPARE(resumeShown().outcome, ResumeOutcome::Continued);
    QStringList expected;
    if (!told.isEmpty())
        expected << Msg::TreeRestoredFromArchive({told}, 1);
    expected << question();
    QCOMPARE(m_reporter.texts(), expected);
    QCOMPARE(ReadFile(file("srctemp/system/app/Music.apk")), QByteArray("music"));
    QVERIFY(!FileHelpers::PathExists(file("srctemp/system/app/Stray.apk")));
    if (change == "write:system/build.prop")
        QCOMPARE(ReadFile(target), QByteArray("written between the runs"));
}

void TestWorkspace::restoredDifferencesCounted() {
    QList<QPair<QString, QByteArray>> members;
    for (int i = 0; i < 8; ++i)
        members.append({QString("system/app/A%1.apk").arg(i), "apk"});
    keptWorkspace(members);
    QVERIFY(FileHelpers::DeleteDirectoryTree(file("srctemp/system/app")));
    m_reporter.setAnswer(true);
    QCOMPARE(resumeShown().outcome, ResumeOutcome::Continued);
    const QString told = m_reporter.texts().value(0);
    QVERIFY2(told.contains("(8 differences)"), qPrintable(told));
    QVERIFY(told.contains("\"system/app/A0.apk\" is missing"));
    QVERIFY(!told.contains("A7.apk"));
    QVERIFY(told.endsWith("..."));
    QCOMPARE(ReadFile(file("srctemp/system/app/A7.apk")), QByteArray("apk"));
}

void TestWorkspace::damagedRecordSetAside_data() {
    QTest::addColumn<QString>("record"); // the workspace file that is damaged
    QTest::addColumn<ResumeOutcome>("outcome");
    QTest::newRow("what the tree belongs to")
        << "zipTemp/workspace.state" << ResumeOutcome::Cleared;
    QTest::newRow("the tree's edit") << "zipTemp/tree.pending" << ResumeOutcome::Continued;
    QTest::newRow("the archive's update") << "zipTemp/temp.zip.journal" << ResumeOutcome::Continued;
}

// A damaged record never blocks the start: it is set aside, the user is
// told, and nothing of it is acted on.
void TestWorkspace::damagedRecordSetAside() {
    QFETCH(QString, record);
    QFETCH(ResumeOutcome, outcome);
    keptWorkspace({{"logo.img", "logo"}});
    QVERIFY(WriteFile(file(record), "\xff\xfe garbage\n"));
    m_reporter.setAnswer(true);

    QCOMPARE(resumeShown().outcome, outcome);
    const QStringList texts = m_reporter.texts();
    QVERIFY(!texts.isEmpty());
    QVERIFY2(
        texts[0].startsWith(QString("The workspace file \"%1\" was damaged").arg(file(record))) ||
            texts[0].startsWith(
                QString("The record of an update of the working archive \"%1\" was not used")
                    .arg(file(record))),
        qPrintable(texts[0]));
    QVERIFY(!FileHelpers::PathExists(file(record)));
    const QStringList setAside = QDir(file("zipTemp"))
                                     .entryList({QFileInfo(record).fileName() + ".damaged-*",
                                                 QFileInfo(record).fileName() + ".foreign-*"});
    QCOMPARE(setAside.size(), 1);
    QVERIFY(texts[0].contains(setAside[0]));
    QCOMPARE(ReadFile(file("zipTemp/" + setAside[0])), QByteArray("\xff\xfe garbage\n"));
    if (outcome == ResumeOutcome::Continued)
        QCOMPARE(texts.value(1), question());
    else
        QCOMPARE(texts.value(1), Msg::LastOpenDidNotFinish(QString()));
}

// An edit whose tree cannot be finished at the start (the folder stays
// read-only): the tree is cleared with the cause. Its record goes only with
// the whole tree.
void TestWorkspace::unfinishableTreeEditClearedWithCause() {
    keptWorkspace({{"logo.img", "old logo"}, {"boot.img", "boot"}});
    const WorkspacePaths paths(m_bundle->path());
    QVERIFY(BeginTreeSync(paths, {{file("srctemp/logo.img"), "logo.img", false}}));
    QVERIFY(WriteFile(file("new logo.img"), "new logo"));
    QVERIFY(ApplyArchiveChanges(file("zipTemp/temp.zip"),
                                {{ArchiveChangeKind::Put, "logo.img", file("new logo.img")}}));
    // Neither can the tree be written nor one of its files removed.
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& path) {
        return (op == FileHelpers::FileOp::WriteFile && path == file("srctemp/logo.img")) ||
               (op == FileHelpers::FileOp::RemoveFile && path == file("srctemp/boot.img"));
    });
    m_reporter.setAnswer(true);
    const ResumeResult resumed = resumeShown();
    QCOMPARE(resumed.outcome, ResumeOutcome::Cleared);
    QVERIFY(resumed.result.failed());
    QVERIFY(!resumed.result.cause().isEmpty());
    QCOMPARE(resumed.result.notice().box, Notice::Box::Application);
    const QStringList texts = m_reporter.texts();
    QCOMPARE(texts.size(), 1);
    QVERIFY2(texts[0].contains(resumed.result.cause()), qPrintable(texts[0]));
    QVERIFY2(texts[0].startsWith("The extracted files of the last package could not be brought"),
             qPrintable(texts[0]));
    // Part of the tree stayed: so does the record of its unfinished edit, but
    // never again an offer to continue it.
    QVERIFY(FileHelpers::PathExists(file("srctemp/boot.img")));
    QVERIFY(FileHelpers::PathExists(file("zipTemp/tree.pending")));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/workspace.state")));

    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_reporter = RecordingReporter();
    QCOMPARE(resumeShown().outcome, ResumeOutcome::Cleared);
    QVERIFY(!FileHelpers::PathExists(file("srctemp")));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/tree.pending")));
    QCOMPARE(ReadZip(file("zipTemp/temp.zip")).value("logo.img"), QByteArray("new logo"));
}

// The signed copies and unpacked contents of APKs being added belong to no
// work once a run has ended.
void TestWorkspace::addLeftoversRemoved() {
    QVERIFY(WriteFile(file("Apktemp/Foo.apk"), "signed"));
    QVERIFY(WriteFile(file("UzApk/lib/armeabi/libfoo.so"), "lib"));
    QVERIFY(WriteFile(file("zipTemp/.workspace.state.x1y2.corvane-part"), "half"));
    QCOMPARE(resumeShown().outcome, ResumeOutcome::Nothing);
    QVERIFY(!FileHelpers::PathExists(file("Apktemp")));
    QVERIFY(!FileHelpers::PathExists(file("UzApk")));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/.workspace.state.x1y2.corvane-part")));
    QVERIFY(m_reporter.texts().isEmpty());
}

void TestWorkspace::recordKeepsAnyPathAndReadsTheEarlierForm_data() {
    QTest::addColumn<QString>("package");
    QTest::newRow("plain") << "/home/u/fw/update.zip";
    QTest::newRow("line feed") << "/home/u/fw/new\nline.zip";
    QTest::newRow("carriage return and percent") << "/home/u/fw/a\r%0A%.zip";
    QTest::newRow("non-ASCII and spaces") << QString::fromUtf8("/home/u/固件 v2/update 1.zip");
    QTest::newRow("record-like name") << "/x\nopen\n/y.zip";
}

void TestWorkspace::recordKeepsAnyPathAndReadsTheEarlierForm() {
    QFETCH(QString, package);
    const QString path = file("zipTemp/workspace.state");
    WorkspaceRecord record;
    record.stage = WorkspaceRecord::Stage::Open;
    record.package = package;
    record.opened = QDateTime::fromSecsSinceEpoch(1765443000, Qt::UTC);
    QVERIFY(record.write(path));
    const WorkspaceRecord again = WorkspaceRecord::read(path);
    QVERIFY(!again.damaged);
    QCOMPARE(again.stage, WorkspaceRecord::Stage::Open);
    QCOMPARE(again.package, package);
    QCOMPARE(again.opened, record.opened);
    // The two bare lines an earlier version wrote are still understood.
    if (!package.contains('\n')) {
        const WorkspaceRecord earlier = WorkspaceRecord::parse("open\n" + package.toUtf8() + "\n");
        QVERIFY(!earlier.damaged);
        QCOMPARE(earlier.stage, WorkspaceRecord::Stage::Open);
        QCOMPARE(earlier.package, package);
        QVERIFY(!earlier.opened.isValid());
    }
}

// After a crash a package whose path holds a line break is offered again,
// named with the time it was opened.
void TestWorkspace::questionNamesThePackageAndWhenItWasOpened() {
    keptWorkspace({{"logo.img", "logo"}});
    WorkspaceRecord record;
    record.stage = WorkspaceRecord::Stage::Open;
    record.package = file("user/new\nline.zip");
    record.opened = QDateTime(QDate(2026, 12, 11), QTime(9, 30));
    QVERIFY(record.write(file("zipTemp/workspace.state")));
    m_reporter.setAnswer(true);
    QCOMPARE(resumeShown().outcome, ResumeOutcome::Continued);
    QCOMPARE(m_reporter.texts(),
             QStringList({QString(kQuestion) + "\n\nPackage: new\nline.zip\nFolder: " +
                          file("user") + "\nOpened: 2026-12-11 09:30"}));
    QCOMPARE(m_state->workingArchivePath(), file("zipTemp/temp.zip"));
}

QTEST_GUILESS_MAIN(TestWorkspace)
#include "tst_Workspace.moc"
