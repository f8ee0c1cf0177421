// Changes of the working archive as one commit, member names in any spelling,
// and the journal that finishes an interrupted edit of the tree.
#include "core/base/FileHelpers.h"
#include "core/base/WorkspacePaths.h"
#include "core/workspace/TreeSync.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(TreeSyncRecovery::Outcome)

namespace {

// The first line of a tree record, with a token this process never wrote.
const QByteArray kHeader = "corvane-tree-journal 1 0123456789abcdef\n";

using Members = QList<QPair<QString, QByteArray>>;
using Kind = ArchiveChangeKind;

// The archive's names and bytes, directory entries included, in a stable
// form for comparison.
QStringList Contents(const QString& archive) {
    QStringList out;
    const QMap<QString, QByteArray> members = ReadZip(archive);
    for (auto it = members.cbegin(); it != members.cend(); ++it)
        out << it.key() + "=" + QString::fromUtf8(it.value());
    return out;
}

// unzip's own test of every entry: CRCs and structure.
bool UnzipAccepts(const QString& archive) {
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-tq"), archive});
    return unzip.waitForFinished(60000) && unzip.exitStatus() == QProcess::NormalExit &&
           unzip.exitCode() == 0;
}

} // namespace

class TestTreeSync : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void canonicalName_data();
    void canonicalName();
    void commit_data();
    void commit();
    void failedCommitLeavesArchive_data();
    void failedCommitLeavesArchive();
    void removingEveryMemberLeavesAnEmptyZip();
    void unreadableArchive();
    void extractMember_data();
    void extractMember();
    void extractMissingMember();
    void treeSyncRoundTrip();
    void treeSyncWithoutJournal();
    void treeSyncKeepsJournalWhenArchiveUnreadable();
    void replayNeverLeavesTheTree_data();
    void replayNeverLeavesTheTree();
    void journalNamesMembersSoTheWorkspaceMayMove();
    void damagedJournalSetAsideNotActedOn_data();
    void damagedJournalSetAsideNotActedOn();
    void editRefusesPathOutsideItsMember();
    void unfinishedRecordSurvivesTheNextEdit();
    void treeComparedAndRebuiltFromArchive();

private:
    QString path(const QString& relative) const { return m_dir->filePath(relative); }
    // Writes the tree record of the workspace at app/ as given.
    QString writeJournal(const QByteArray& text);
    // A source file holding data.
    QString source(const QString& name, const QByteArray& data);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestTreeSync::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestTreeSync::cleanup() {
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_dir.reset();
}

QString TestTreeSync::source(const QString& name, const QByteArray& data) {
    const QString file = path("in/" + name);
    if (!WriteFile(file, data))
        qWarning("cannot write %s", qPrintable(file));
    return file;
}

void TestTreeSync::canonicalName_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("canonical");
    QTest::newRow("plain") << "system/app/X.apk"
                           << "system/app/X.apk";
    QTest::newRow("dot prefix") << "./system/app/X.apk"
                                << "system/app/X.apk";
    QTest::newRow("leading separator") << "/system/app/X.apk"
                                       << "system/app/X.apk";
    QTest::newRow("double separator") << "userdata//app/X.apk"
                                      << "userdata/app/X.apk";
    QTest::newRow("backslashes") << "system\\app\\X.apk"
                                 << "system/app/X.apk";
    QTest::newRow("dot segment inside") << "system/./app/X.apk"
                                        << "system/app/X.apk";
    QTest::newRow("directory entry") << "system/app/Music/"
                                     << "system/app/Music";
    QTest::newRow("dotted names stay") << "system/..hidden/.x"
                                       << "system/..hidden/.x";
    QTest::newRow("empty") << ""
                           << "";
}

void TestTreeSync::canonicalName() {
    QFETCH(QString, name);
    QFETCH(QString, canonical);
    QCOMPARE(CanonicalMemberName(name), canonical);
}

void TestTreeSync::commit_data() {
    QTest::addColumn<Members>("before");
    // "put:<member>=<data>", "remove:<member>" or "tree:<member>"
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QStringList>("after"); // Contents() of the result

    const Members base{{"boot.img", "boot"}, {"system/app/X.apk", "x"}};
    QTest::newRow("put a new member")
        << base << QStringList{"put:system/app/Y.apk=y"}
        << QStringList{"boot.img=boot", "system/app/X.apk=x", "system/app/Y.apk=y"};
    QTest::newRow("put replaces the member of that name")
        << base << QStringList{"put:system/app/X.apk=new"}
        << QStringList{"boot.img=boot", "system/app/X.apk=new"};
    QTest::newRow("put replaces a member spelled otherwise")
        << Members{{"./system/app/X.apk", "x"}, {"boot.img", "boot"}}
        << QStringList{"put:system/app/X.apk=new"}
        << QStringList{"boot.img=boot", "system/app/X.apk=new"};
    QTest::newRow("put by an odd spelling is stored canonically")
        << base << QStringList{"put:.//system\\app/X.apk=new"}
        << QStringList{"boot.img=boot", "system/app/X.apk=new"};
    QTest::newRow("remove") << base << QStringList{"remove:system/app/X.apk"}
                            << QStringList{"boot.img=boot"};
    QTest::newRow("remove a member spelled with a leading separator")
        << Members{{"/system/app/X.apk", "x"}, {"boot.img", "boot"}}
        << QStringList{"remove:system/app/X.apk"} << QStringList{"boot.img=boot"};
    QTest::newRow("remove a directory entry leaves what is below")
        << Members{{"system/app/M/", ""}, {"system/app/M/M.apk", "m"}}
        << QStringList{"remove:system/app/M"} << QStringList{"system/app/M/M.apk=m"};
    QTest::newRow("remove tree: entry, files and deeper directories")
        << Members{{"system/app/M/", ""},
                   {"system/app/M/M.apk", "m"},
                   {"system/app/M/oat/arm/M.odex", "o"},
                   {"system/app/M/lib/arm/libm.so", "l"},
                   {"system/app/Music2/Music2.apk", "2"},
                   {"system/app/M.apk", "flat"}}
        << QStringList{"tree:system/app/M"}
        << QStringList{"system/app/M.apk=flat", "system/app/Music2/Music2.apk=2"};
    QTest::newRow("remove tree of members spelled otherwise")
        << Members{{"./system/app/M/M.apk", "m"},
                   {"system\\app\\M\\lib\\libm.so", "l"},
                   {"boot.img", "boot"}}
        << QStringList{"tree:system/app/M"} << QStringList{"boot.img=boot"};
    QTest::newRow("several changes in order")
        << base
        << QStringList{"remove:system/app/X.apk", "put:system/app/X/X.apk=x2",
                       "put:system/lib/libx.so=lib", "put:system/lib/libx.so=lib2"}
        << QStringList{"boot.img=boot", "system/app/X/X.apk=x2", "system/lib/libx.so=lib2"};
}

void TestTreeSync::commit() {
    QFETCH(Members, before);
    QFETCH(QStringList, changes);
    QFETCH(QStringList, after);
    const QString archive = path("temp.zip");
    QVERIFY(WriteZip(archive, before));

    QList<ArchiveChange> list;
    int n = 0;
    for (const QString& text : changes) {
        const QString kind = text.section(':', 0, 0);
        const QString rest = text.section(':', 1);
        if (kind == "put") {
            const QString member = rest.section('=', 0, 0);
            list.append(
                {Kind::Put, member, source(QString::number(n++), rest.section('=', 1).toUtf8())});
        } else {
            list.append({kind == "tree" ? Kind::RemoveTree : Kind::Remove, rest, QString()});
        }
    }
    QString error;
    QVERIFY2(ApplyArchiveChanges(archive, list, &error), qPrintable(error));
    QCOMPARE(Contents(archive), after);
    QVERIFY(UnzipAccepts(archive));
    // Nothing is left beside the archive.
    QCOMPARE(QDir(path(".")).entryList(QDir::Files), QStringList{"temp.zip"});
}

void TestTreeSync::failedCommitLeavesArchive_data() {
    QTest::addColumn<QString>("failing"); // the last change, which fails
    QTest::newRow("put of a missing file") << "put-missing";
    QTest::newRow("put of a directory") << "put-directory";
    QTest::newRow("remove of a member the archive lacks") << "remove";
    QTest::newRow("remove tree with nothing below") << "tree";
}

void TestTreeSync::failedCommitLeavesArchive() {
    // Earlier changes of the same commit are not kept either.
    QFETCH(QString, failing);
    const QString archive = path("temp.zip");
    QVERIFY(WriteZip(
        archive, {{"boot.img", "boot"}, {"system/app/X.apk", "x"}, {"system/app/M/M.apk", "m"}}));
    const QByteArray before = ReadFile(archive);
    QList<ArchiveChange> list{
        {Kind::Remove, "system/app/X.apk", QString()},
        {Kind::Put, "boot.img", source("boot", "new boot")},
        {Kind::RemoveTree, "system/app/M", QString()},
    };
    if (failing == "put-missing")
        list.append({Kind::Put, "logo.img", path("in/no-such-file")});
    else if (failing == "put-directory")
        list.append({Kind::Put, "logo.img", path("in")});
    else if (failing == "remove")
        list.append({Kind::Remove, "system/app/Y.apk", QString()});
    else
        list.append({Kind::RemoveTree, "system/app/Y", QString()});

    QString error;
    QVERIFY(!ApplyArchiveChanges(archive, list, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(ReadFile(archive), before);
    QCOMPARE(QDir(path(".")).entryList(QDir::Files), QStringList{"temp.zip"});
}

void TestTreeSync::removingEveryMemberLeavesAnEmptyZip() {
    const QString archive = path("temp.zip");
    QVERIFY(WriteZip(archive, {{"system/app/X.apk", "x"}}));
    QString error;
    QVERIFY2(ApplyArchiveChanges(archive, {{Kind::Remove, "system/app/X.apk", QString()}}, &error),
             qPrintable(error));
    QVERIFY(QFile::exists(archive));
    QCOMPARE(ZipMemberNames(archive), QStringList());
    // Still an archive that takes the next change.
    QVERIFY2(ApplyArchiveChanges(archive, {{Kind::Put, "boot.img", source("b", "boot")}}, &error),
             qPrintable(error));
    QCOMPARE(Contents(archive), QStringList{"boot.img=boot"});
}

void TestTreeSync::unreadableArchive() {
    const QString put = source("b", "boot");
    for (const QString& name : {QStringLiteral("damaged.zip"), QStringLiteral("missing.zip")}) {
        const QString archive = path(name);
        if (name == "damaged.zip")
            QVERIFY(WriteFile(archive, "not an archive"));
        QString error;
        QVERIFY(!ApplyArchiveChanges(archive, {{Kind::Put, "boot.img", put}}, &error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(ReadFile(archive),
                 name == "damaged.zip" ? QByteArray("not an archive") : QByteArray());
        QCOMPARE(QFile::exists(archive), name == "damaged.zip");
    }
}

void TestTreeSync::extractMember_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("asked");
    QTest::newRow("same spelling") << "system/etc/key.xml"
                                   << "system/etc/key.xml";
    QTest::newRow("stored with ./") << "./system/etc/key.xml"
                                    << "system/etc/key.xml";
    QTest::newRow("asked with backslashes") << "system/etc/key.xml"
                                            << "system\\etc\\key.xml";
}

void TestTreeSync::extractMember() {
    QFETCH(QString, stored);
    QFETCH(QString, asked);
    const QString archive = path("temp.zip");
    QVERIFY(WriteZip(archive, {{"boot.img", "boot"}, {stored, "<keys/>"}}));
    // Into a directory that does not exist yet, over a file that does.
    const QString target = path("tree/system/etc/key.xml");
    QString error;
    QVERIFY2(ExtractMemberTo(archive, asked, target, &error), qPrintable(error));
    QCOMPARE(ReadFile(target), QByteArray("<keys/>"));
    QVERIFY(WriteFile(target, "edited"));
    QVERIFY2(ExtractMemberTo(archive, asked, target, &error), qPrintable(error));
    QCOMPARE(ReadFile(target), QByteArray("<keys/>"));
    QCOMPARE(QDir(path("tree/system/etc")).entryList(QDir::Files), QStringList{"key.xml"});
}

void TestTreeSync::extractMissingMember() {
    const QString archive = path("temp.zip");
    QVERIFY(WriteZip(archive, {{"boot.img", "boot"}}));
    const QString target = path("tree/logo.img");
    QVERIFY(WriteFile(target, "kept"));
    QString error;
    QVERIFY(!ExtractMemberTo(archive, "logo.img", target, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(ReadFile(target), QByteArray("kept"));
    QVERIFY(!ExtractMemberTo(path("missing.zip"), "boot.img", path("tree/boot.img"), &error));
    QVERIFY(!QFile::exists(path("tree/boot.img")));
}

void TestTreeSync::treeSyncRoundTrip() {
    // An edit interrupted after the archive's commit: the journal names the
    // tree paths, and the archive decides what each becomes.
    const WorkspacePaths paths(path("app"));
    const QString tree = paths.extractedTree();
    QVERIFY(QDir().mkpath(paths.zipTempDir()));
    QVERIFY(WriteZip(paths.workingArchive(), {{"logo.img", "new logo"},
                                              {"system/app/M/", ""},
                                              {"system/app/M/M.apk", "m"},
                                              {"./system/app/M/lib/arm/libm.so", "lib"},
                                              {"system/app/Other.apk", "other"}}));
    QVERIFY(WriteFile(tree + "/logo.img", "old logo"));
    QVERIFY(WriteFile(tree + "/.logo.img.abc123.corvane-part", "half a copy"));
    QVERIFY(WriteFile(tree + "/system/app/Gone.apk", "removed from the archive"));
    QVERIFY(WriteFile(tree + "/system/app/M/M.apk", "old m"));
    QVERIFY(WriteFile(tree + "/system/app/M/oat/arm/M.odex", "stale"));
    QVERIFY(WriteFile(tree + "/system/app/Other.apk", "tree's own"));

    QString error;
    QVERIFY2(BeginTreeSync(paths,
                           {{tree + "/logo.img", "logo.img", false},
                            {tree + "/system/app/Gone.apk", "system/app/Gone.apk", false},
                            {tree + "/system/app/M", "system/app/M", true},
                            {tree + "/fastplay.img", "fastplay.img", false}},
                           &error),
             qPrintable(error));
    const QString journal = paths.zipTempDir() + "/tree.pending";
    QVERIFY(QFile::exists(journal));

    QVERIFY2(FinishInterruptedTreeSync(paths, &error), qPrintable(error));
    QVERIFY(!QFile::exists(journal));
    QCOMPARE(ReadFile(tree + "/logo.img"), QByteArray("new logo"));
    QVERIFY(!QFile::exists(tree + "/.logo.img.abc123.corvane-part"));
    QVERIFY(!FileHelpers::PathExists(tree + "/system/app/Gone.apk"));
    QCOMPARE(ReadFile(tree + "/system/app/M/M.apk"), QByteArray("m"));
    QCOMPARE(ReadFile(tree + "/system/app/M/lib/arm/libm.so"), QByteArray("lib"));
    QVERIFY(!FileHelpers::PathExists(tree + "/system/app/M/oat"));
    QVERIFY(!FileHelpers::PathExists(tree + "/fastplay.img"));
    // Paths the journal does not name are left alone.
    QCOMPARE(ReadFile(tree + "/system/app/Other.apk"), QByteArray("tree's own"));

    // A finished edit clears its journal itself.
    QVERIFY(BeginTreeSync(paths, {{tree + "/logo.img", "logo.img", false}}, &error));
    QVERIFY(EndTreeSync(paths));
    QVERIFY(!QFile::exists(journal));
    QVERIFY(EndTreeSync(paths));
}

void TestTreeSync::treeSyncWithoutJournal() {
    const WorkspacePaths paths(path("app"));
    QVERIFY(WriteFile(paths.extractedTree() + "/logo.img", "tree"));
    // Nothing to finish: true, even without a working archive.
    QString error;
    QVERIFY2(FinishInterruptedTreeSync(paths, &error), qPrintable(error));
    QCOMPARE(ReadFile(paths.extractedTree() + "/logo.img"), QByteArray("tree"));
}

void TestTreeSync::treeSyncKeepsJournalWhenArchiveUnreadable() {
    const WorkspacePaths paths(path("app"));
    const QString tree = paths.extractedTree();
    QVERIFY(WriteFile(paths.workingArchive(), "damaged"));
    QVERIFY(WriteFile(tree + "/logo.img", "tree"));
    QString error;
    QVERIFY(BeginTreeSync(paths, {{tree + "/logo.img", "logo.img", false}}, &error));

    QVERIFY(!FinishInterruptedTreeSync(paths, &error));
    QVERIFY(!error.isEmpty());
    // Nothing was removed on the word of an archive that cannot be read; the
    // next start tries again.
    QCOMPARE(ReadFile(tree + "/logo.img"), QByteArray("tree"));
    QVERIFY(QFile::exists(paths.zipTempDir() + "/tree.pending"));
}

QString TestTreeSync::writeJournal(const QByteArray& text) {
    const QString journal = path("app/zipTemp/tree.pending");
    if (!WriteFile(journal, text))
        qWarning("cannot write %s", qPrintable(journal));
    return journal;
}

void TestTreeSync::replayNeverLeavesTheTree_data() {
    QTest::addColumn<QString>("member"); // recorded: "D:<directory>" or "F:<file>"
    // "" or "link:<tree path>": that path of the tree is a link to outside/.
    QTest::addColumn<QString>("setup");
    QTest::newRow("directory whose archive holds a climbing member")
        << "D:system/app/Foo" << QString();
    QTest::newRow("directory that is a link") << "D:system/app/Foo"
                                              << "link:system/app/Foo";
    QTest::newRow("file below a linked directory") << "F:system/app/Foo/Foo.apk"
                                                   << "link:system/app/Foo";
    QTest::newRow("file below a linked partition") << "F:system/app/Foo/Foo.apk"
                                                   << "link:system";
}

// A crafted package, or a tree whose folders are links, never makes the
// replay of a record write or remove anything outside the tree.
void TestTreeSync::replayNeverLeavesTheTree() {
    QFETCH(QString, member);
    QFETCH(QString, setup);
    const WorkspacePaths paths(path("app"));
    const QString tree = paths.extractedTree();
    QVERIFY(QDir().mkpath(paths.zipTempDir()));
    QVERIFY(WriteZip(paths.workingArchive(), {{"system/app/Foo/Foo.apk", "foo"},
                                              {"system/app/Foo/../../../../x", "escaped"},
                                              {"system/app/Foo/../../../../../y", "escaped"}}));
    QVERIFY(WriteFile(tree + "/system/app/Foo/Foo.apk", "old"));
    QString error;
    const QString name = member.mid(2);
    QVERIFY2(BeginTreeSync(paths, {{tree + "/" + name, name, member.startsWith("D:")}}, &error),
             qPrintable(error));
    QVERIFY(WriteFile(path("outside/Foo.apk"), "outside"));
    if (setup.startsWith("link:")) {
        const QString link = tree + "/" + setup.mid(5);
        QVERIFY(FileHelpers::DeleteDirectoryTree(link));
        QVERIFY(QFile::link(path("outside"), link));
    }

    FinishInterruptedTreeSync(paths, &error);
    QVERIFY(!QFile::exists(path("app/x")));
    QVERIFY(!QFile::exists(path("x")));
    QCOMPARE(ReadFile(path("outside/Foo.apk")), QByteArray("outside"));
    QCOMPARE(
        QDir(path("outside")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList{"Foo.apk"});
}

// The record names members: a workspace moved elsewhere finishes its edit
// in its own tree and recreates nothing at the old place.
void TestTreeSync::journalNamesMembersSoTheWorkspaceMayMove() {
    const WorkspacePaths before(path("old place"));
    QVERIFY(QDir().mkpath(before.zipTempDir()));
    QVERIFY(WriteZip(before.workingArchive(), {{"logo.img", "new logo"}}));
    QVERIFY(WriteFile(before.extractedTree() + "/logo.img", "old logo"));
    QString error;
    QVERIFY2(
        BeginTreeSync(before, {{before.extractedTree() + "/logo.img", "logo.img", false}}, &error),
        qPrintable(error));
    QVERIFY(!ReadFile(before.zipTempDir() + "/tree.pending").contains(path("").toUtf8()));

    QVERIFY(QDir().rename(path("old place"), path("new place")));
    const WorkspacePaths after(path("new place"));
    QVERIFY2(FinishInterruptedTreeSync(after, &error), qPrintable(error));
    QCOMPARE(ReadFile(after.extractedTree() + "/logo.img"), QByteArray("new logo"));
    QVERIFY(!FileHelpers::PathExists(path("old place")));
    QVERIFY(!FileHelpers::PathExists(after.zipTempDir() + "/tree.pending"));
}

void TestTreeSync::damagedJournalSetAsideNotActedOn_data() {
    QTest::addColumn<QByteArray>("journal"); // "<victim>" stands for a file outside the tree
    QTest::newRow("absolute paths of an older format") << QByteArray("F\t<victim>\tvictim\n");
    QTest::newRow("no header") << QByteArray("F\tlogo.img\n");
    QTest::newRow("absolute member") << kHeader + "F\t<victim>\n";
    QTest::newRow("climbing member") << kHeader + "F\t../../victim\n";
    QTest::newRow("climbing directory") << kHeader + "D\tsystem/../..\n";
    QTest::newRow("member not canonical") << kHeader + "F\t./logo.img\n";
    QTest::newRow("unknown kind") << kHeader + "X\tlogo.img\n";
    QTest::newRow("empty member") << kHeader + "F\t\n";
    QTest::newRow("cut short") << kHeader + "F\tlogo.img";
    QTest::newRow("not UTF-8") << kHeader + "F\tlogo\xff.img\n";
    QTest::newRow("NUL in a member") << kHeader + QByteArray("F\tlogo\0.img\n", 12);
    QTest::newRow("one bad line among good ones")
        << kHeader + "F\tlogo.img\nF\t../../victim\nF\tboot.img\n";
}

// A record that is not wholly sound is set aside and nothing of it is done:
// no file inside or outside the tree changes.
void TestTreeSync::damagedJournalSetAsideNotActedOn() {
    QFETCH(QByteArray, journal);
    const WorkspacePaths paths(path("app"));
    const QString tree = paths.extractedTree();
    const QString victim = path("victim");
    QVERIFY(WriteFile(victim, "user's file"));
    QVERIFY(QDir().mkpath(paths.zipTempDir()));
    QVERIFY(WriteZip(paths.workingArchive(), {{"logo.img", "new logo"}}));
    QVERIFY(WriteFile(tree + "/logo.img", "old logo"));
    QVERIFY(WriteFile(tree + "/boot.img", "boot"));
    const QString file = writeJournal(journal.replace("<victim>", victim.toUtf8()));

    const TreeSyncRecovery recovery = FinishTreeSyncRecord(paths);
    QCOMPARE(recovery.outcome, TreeSyncRecovery::Outcome::SetAside);
    QVERIFY(!recovery.cause.isEmpty());
    QCOMPARE(ReadFile(victim), QByteArray("user's file"));
    QCOMPARE(ReadFile(tree + "/logo.img"), QByteArray("old logo"));
    QCOMPARE(ReadFile(tree + "/boot.img"), QByteArray("boot"));
    QVERIFY(!FileHelpers::PathExists(file));
    QVERIFY(recovery.setAsideAs.startsWith(file + ".damaged-"));
    QCOMPARE(ReadFile(recovery.setAsideAs), journal);
    // Set aside, it blocks no later edit.
    QString error;
    QVERIFY2(BeginTreeSync(paths, {{tree + "/logo.img", "logo.img", false}}, &error),
             qPrintable(error));
    QVERIFY(EndTreeSync(paths));
}

void TestTreeSync::editRefusesPathOutsideItsMember() {
    const WorkspacePaths paths(path("app"));
    const QString tree = paths.extractedTree();
    QString error;
    QVERIFY(!BeginTreeSync(paths, {{path("victim"), "logo.img", false}}, &error));
    QVERIFY(!BeginTreeSync(paths, {{tree + "/../victim", "../victim", false}}, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!FileHelpers::PathExists(paths.zipTempDir() + "/tree.pending"));
}

// A copy into the tree failed after the archive's commit: its record stays
// until its work is done. The next edit cannot finish it (the folder stays
// read-only) and is refused; its failure leaves the record; once the folder
// is writable the record is finished.
void TestTreeSync::unfinishedRecordSurvivesTheNextEdit() {
    const WorkspacePaths paths(path("app"));
    const QString tree = paths.extractedTree();
    const QString journal = paths.zipTempDir() + "/tree.pending";
    QVERIFY(QDir().mkpath(paths.zipTempDir()));
    QVERIFY(WriteZip(paths.workingArchive(), {{"logo.img", "new logo"}, {"boot.img", "boot"}}));
    QVERIFY(WriteFile(tree + "/logo.img", "old logo"));
    QVERIFY(WriteFile(tree + "/boot.img", "boot"));
    QString error;
    QVERIFY(BeginTreeSync(paths, {{tree + "/logo.img", "logo.img", false}}, &error));
    const QByteArray record = ReadFile(journal);

    // The copy failed: no EndTreeSync. The folder is read-only.
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& target) {
        return op == FileHelpers::FileOp::WriteFile && target.startsWith(tree + "/logo.img");
    });
    QVERIFY(!BeginTreeSync(paths, {{tree + "/boot.img", "boot.img", false}}, &error));
    QVERIFY(!error.isEmpty());
    // What an edit's failure path does.
    QVERIFY(EndTreeSync(paths));
    QCOMPARE(ReadFile(journal), record);
    QCOMPARE(ReadFile(tree + "/logo.img"), QByteArray("old logo"));
    QVERIFY(!FinishInterruptedTreeSync(paths, &error));
    QCOMPARE(ReadFile(journal), record);

    FileHelpers::SetFileFaultsForTesting(nullptr);
    QVERIFY2(FinishInterruptedTreeSync(paths, &error), qPrintable(error));
    QCOMPARE(ReadFile(tree + "/logo.img"), QByteArray("new logo"));
    QVERIFY(!FileHelpers::PathExists(journal));
    QVERIFY(QDir(tree).entryList(QDir::Files | QDir::Hidden).size() == 2);
}

// Names and sizes decide; the configuration files are edited in the tree and
// keep their edits; temporary files are not the tree's.
void TestTreeSync::treeComparedAndRebuiltFromArchive() {
    const QString archive = path("temp.zip");
    const QString tree = path("srctemp");
    QVERIFY(WriteZip(archive, {{"system/app/Kept.apk", "kept"},
                               {"system/app/Missing/Missing.apk", "missing"},
                               {"system/app/Changed.apk", "changed"},
                               {"system/app/Dir.apk", "dir"},
                               {"system/build.prop", "ro.x=1\n"},
                               {"system/etc/", ""},
                               {"boot.img", "boot"}}));
    QVERIFY(WriteFile(tree + "/system/app/Kept.apk", "KEPT"));
    QVERIFY(WriteFile(tree + "/system/app/Changed.apk", "old"));
    QVERIFY(WriteFile(tree + "/system/app/Dir.apk/inside", "a directory"));
    QVERIFY(WriteFile(tree + "/system/build.prop", "ro.x=1\nro.edited=1\n"));
    QVERIFY(WriteFile(tree + "/system/etc/key.xml", "<keys/>"));
    QVERIFY(WriteFile(tree + "/system/app/Extra.apk", "extra"));
    QVERIFY(WriteFile(tree + "/system/app/.Kept.apk.12345.corvane-part", "being written"));
    QVERIFY(WriteFile(tree + "/boot.img", "boot"));

    TreeDifferences differences;
    QString error;
    QVERIFY2(CompareTreeWithArchive(tree, archive, &differences, &error), qPrintable(error));
    QCOMPARE(differences.missing, QStringList{"system/app/Missing/Missing.apk"});
    QCOMPARE(differences.differ, QStringList({"system/app/Changed.apk", "system/app/Dir.apk"}));
    QCOMPARE(differences.extra, QStringList({"system/app/Dir.apk/inside", "system/app/Extra.apk"}));
    QCOMPARE(differences.count(), 5);
    QCOMPARE(differences.described(2), QStringList({"\"system/app/Missing/Missing.apk\" is missing",
                                                    "\"system/app/Changed.apk\" differs"}));

    QVERIFY2(RebuildTreeFromArchive(tree, archive, differences, &error), qPrintable(error));
    QCOMPARE(ReadFile(tree + "/system/app/Missing/Missing.apk"), QByteArray("missing"));
    QCOMPARE(ReadFile(tree + "/system/app/Changed.apk"), QByteArray("changed"));
    QCOMPARE(ReadFile(tree + "/system/app/Dir.apk"), QByteArray("dir"));
    QVERIFY(!FileHelpers::PathExists(tree + "/system/app/Extra.apk"));
    // Same name and size: left as it is.
    QCOMPARE(ReadFile(tree + "/system/app/Kept.apk"), QByteArray("KEPT"));
    QCOMPARE(ReadFile(tree + "/system/build.prop"), QByteArray("ro.x=1\nro.edited=1\n"));
    QCOMPARE(ReadFile(tree + "/system/etc/key.xml"), QByteArray("<keys/>"));
    QVERIFY(FileHelpers::PathExists(tree + "/system/app/.Kept.apk.12345.corvane-part"));
    QVERIFY2(CompareTreeWithArchive(tree, archive, &differences, &error), qPrintable(error));
    QCOMPARE(differences.count(), 0);
}

QTEST_GUILESS_MAIN(TestTreeSync)
#include "tst_TreeSync.moc"
