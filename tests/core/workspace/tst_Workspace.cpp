// What a start does with the workspace it finds: which kept work it offers
// to continue, which it clears, the leftovers of interrupted work it removes,
// an interrupted tree edit it finishes and the change-log lines it takes up.
#include "core/AppState.h"
#include "core/package/ChangeLog.h"
#include "core/io/FileHelpers.h"
#include "core/Operation.h"
#include "core/Reporter.h"
#include "core/io/ToolRunner.h"
#include "core/package/TreeSync.h"
#include "core/workspace/Workspace.h"
#include "core/package/WorkspaceRecord.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
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

private:
    Operation op() { return Operation{*m_state, m_reporter, m_runner}; }
    QString file(const QString& relative) const { return m_bundle->file(relative); }

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

    QCOMPARE(ResumeWorkspace(op()), outcome);

    QStringList expected;
    if (asked)
        expected << kQuestion;
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

    QCOMPARE(ResumeWorkspace(op()), ResumeOutcome::Nothing);
    for (const QString& name : leftovers)
        QVERIFY2(!FileHelpers::PathExists(file(name)), qPrintable(name));
    for (const QString& name : kept)
        QCOMPARE(ReadFile(file(name)), name.toUtf8());
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/save.pending")));
    QVERIFY(m_reporter.texts().isEmpty());

    // A record that names anything but a temporary file of a save removes
    // only itself.
    QVERIFY(WriteFile(file("zipTemp/save.pending"), file("out dir/update.zip").toUtf8() + "\n"));
    QCOMPARE(ResumeWorkspace(op()), ResumeOutcome::Nothing);
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
    QCOMPARE(ResumeWorkspace(op()), ResumeOutcome::Continued);
    QCOMPARE(m_reporter.texts(), QStringList({kQuestion}));
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

    QCOMPARE(ResumeWorkspace(op()), ResumeOutcome::Nothing);
    QCOMPARE(m_state->changeLog(), QStringList({"first", "second 中文"}));
    RecordChange(op(), "third");
    QVERIFY(WriteChangeLog(op()));
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

QTEST_GUILESS_MAIN(TestWorkspace)
#include "tst_Workspace.moc"
