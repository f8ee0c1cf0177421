// Replacing an image: the working archive's member first, then the tree's
// file; each failure and what it leaves behind.
#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/ToolRunner.h"
#include "core/package/PackageLayout.h"
#include "core/workspace/AppState.h"
#include "core/workspace/ReplaceImage.h"
#include "core/workspace/TreeSync.h"
#include "support/RecordingReporter.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

namespace {

QByteArray OldData(const QString& member) {
    return "old " + member.toUtf8();
}

QString MemberOf(const ImageSlot& slot) {
    return QString::fromLatin1(slot.treeSuffix).mid(1);
}

} // namespace

class TestReplaceImage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void findSlot();
    void replaces_data();
    void replaces();
    void memberSpelledOtherwise();
    void archiveFailure_data();
    void archiveFailure();
    void treeCopyFailureIsFinishedFromArchive();
    void refusals_data();
    void refusals();

private:
    static void addSlotColumn();
    QString tree(const QString& relative) const {
        return m_state->paths().extractedTree() + "/" + relative;
    }
    QString archive() const { return m_state->paths().workingArchive(); }
    QString pending() const { return m_state->paths().zipTempDir() + "/tree.pending"; }
    Operation op() { return Operation{*m_state, m_reporter, m_runner}; }
    // The tree's images and every member, for comparing before and after.
    QByteArray snapshot() const;

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<AppState> m_state;
    RecordingReporter m_reporter;
    ToolRunner m_runner;
    QString m_source;
};

void TestReplaceImage::init() {
    m_bundle = std::make_unique<TestBundle>();
    QVERIFY(m_bundle->isValid());
    m_state = std::make_unique<AppState>(m_bundle->path());
    m_reporter = RecordingReporter();
    QList<QPair<QString, QByteArray>> members{
        {"system/build.prop", "ro.build.version.release=4.4"}};
    for (const ImageSlot& slot : kImageSlots) {
        QVERIFY(WriteFile(tree(MemberOf(slot)), OldData(MemberOf(slot))));
        members.append({MemberOf(slot), OldData(MemberOf(slot))});
    }
    QVERIFY(QDir().mkpath(m_state->paths().zipTempDir()));
    QVERIFY(WriteZip(archive(), members));
    m_state->setWorkingArchivePath(archive());
    m_source = m_bundle->file("incoming/new image.bin");
    QVERIFY(WriteFile(m_source, "new data"));
}

void TestReplaceImage::cleanup() {
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_state.reset();
    m_bundle.reset();
}

QByteArray TestReplaceImage::snapshot() const {
    QByteArray out;
    for (const ImageSlot& slot : kImageSlots)
        out += MemberOf(slot).toUtf8() + '=' + ReadFile(tree(MemberOf(slot))) + '\n';
    out += "archive:" + ReadFile(archive()).toBase64() + '\n';
    out +=
        "zipTemp:" + FileHelpers::ListDirectory(m_state->paths().zipTempDir()).join(',').toUtf8();
    return out;
}

void TestReplaceImage::addSlotColumn() {
    QTest::addColumn<QString>("slot");
    for (const ImageSlot& slot : kImageSlots)
        QTest::newRow(slot.name) << QString::fromLatin1(slot.name);
}

void TestReplaceImage::findSlot() {
    const ImageSlot* logo = FindImageSlot("logo.img");
    QVERIFY(logo);
    QCOMPARE(QLatin1String(logo->treeSuffix), QLatin1String("/logo.img"));
    const ImageSlot* animation = FindImageSlot("bootanimation.zip");
    QVERIFY(animation && animation->zipFilter);
    QCOMPARE(FindImageSlot("system.img"), nullptr);
    QCOMPARE(FindImageSlot("LOGO.IMG"), nullptr);
}

void TestReplaceImage::replaces_data() {
    addSlotColumn();
}

void TestReplaceImage::replaces() {
    QFETCH(QString, slot);
    const ImageSlot* image = FindImageSlot(slot);
    QVERIFY(image);
    const QString member = MemberOf(*image);

    const Result result = ReplaceImage(op(), *image, m_source);
    QVERIFY2(result.succeeded(), qPrintable(result.cause()));
    QCOMPARE(result.notice().kind, Notice::Kind::None);
    QCOMPARE(m_reporter.texts(), QStringList());
    QCOMPARE(ReadFile(tree(member)), QByteArray("new data"));
    const QMap<QString, QByteArray> zip = ReadZip(archive());
    QCOMPARE(zip.size(), 10);
    for (const ImageSlot& other : kImageSlots) {
        QCOMPARE(zip.value(MemberOf(other)),
                 MemberOf(other) == member ? QByteArray("new data") : OldData(MemberOf(other)));
    }
    // Logged (also in the journal), nothing left pending, no backup.
    QCOMPARE(m_state->changeLog().size(), 1);
    QVERIFY(m_state->changeLog().first().endsWith(
        QStringLiteral(": REPLACE \"%1\" with \"%2\"").arg(tree(member), m_source)));
    QVERIFY(ReadFile(m_state->paths().changeLogJournal())
                .contains(m_state->changeLog().first().toUtf8()));
    QCOMPARE(FileHelpers::ListDirectory(m_state->paths().zipTempDir()),
             (QStringList{"log.journal", "temp.zip"}));
}

void TestReplaceImage::memberSpelledOtherwise() {
    // A package whose member names begin with "./": the member is replaced,
    // not added beside.
    QVERIFY(WriteZip(archive(), {{"./logo.img", "old"}, {"./boot.img", "boot"}}));
    const Result result = ReplaceImage(op(), *FindImageSlot("logo.img"), m_source);
    QVERIFY2(result.succeeded(), qPrintable(result.cause()));
    const QMap<QString, QByteArray> zip = ReadZip(archive());
    QCOMPARE(zip.keys(), (QStringList{"./boot.img", "logo.img"}));
    QCOMPARE(zip.value("logo.img"), QByteArray("new data"));
}

void TestReplaceImage::archiveFailure_data() {
    addSlotColumn();
}

void TestReplaceImage::archiveFailure() {
    QFETCH(QString, slot);
    const ImageSlot* image = FindImageSlot(slot);
    // A working archive cut short cannot be updated.
    const QByteArray whole = ReadFile(archive());
    QFile file(archive());
    QVERIFY(file.resize(whole.size() / 2));
    const QByteArray before = snapshot();

    const Result result = ReplaceImage(op(), *image, m_source);
    QVERIFY(result.failed());
    QVERIFY(!result.cause().isEmpty());
    QCOMPARE(result.notice().kind, Notice::Kind::Failure);
    QCOMPARE(result.notice().text, QString::fromLatin1(image->failure));
    QCOMPARE(m_reporter.texts(), QStringList()); // shown once, by the front end
    QCOMPARE(snapshot(), before);
    QVERIFY(m_state->changeLog().isEmpty());
}

void TestReplaceImage::treeCopyFailureIsFinishedFromArchive() {
    const QString target = tree("system/media/bootanimation.zip");
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::CopyFile && path == target;
    });
    const Result result = ReplaceImage(op(), *FindImageSlot("bootanimation.zip"), m_source);
    QCOMPARE(result.notice().text, Msg::CopyFailed());
    QVERIFY(result.cause().contains(target));
    QCOMPARE(ReadZip(archive()).value("system/media/bootanimation.zip"), QByteArray("new data"));
    QCOMPARE(ReadFile(target), OldData("system/media/bootanimation.zip"));
    const QString media = QFileInfo(target).absolutePath();
    for (const QString& name : QDir(media).entryList(QDir::Files | QDir::Hidden))
        QVERIFY2(!FileHelpers::IsTemporaryName(name), qPrintable(name));
    QString error;
    QVERIFY(m_state->changeLog().isEmpty());
    QVERIFY(QFile::exists(pending()));

    // A later edit that cannot finish the record first fails and leaves the
    // record: only finishing that edit may remove it.
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp, const QString& path) {
        return path == target || path.startsWith(media + "/.");
    });
    const Result later = ReplaceImage(op(), *FindImageSlot("logo.img"), m_source);
    QVERIFY(later.failed());
    QVERIFY(QFile::exists(pending()));
    QCOMPARE(ReadZip(archive()).value("logo.img"), OldData("logo.img"));

    // The next start brings the tree to the archive.
    FileHelpers::SetFileFaultsForTesting(nullptr);
    QVERIFY2(FinishInterruptedTreeSync(m_state->paths(), &error), qPrintable(error));
    QCOMPARE(ReadFile(target), QByteArray("new data"));
    QVERIFY(!QFile::exists(pending()));
}

void TestReplaceImage::refusals_data() {
    QTest::addColumn<QString>("source"); // relative to the bundle; empty: none open
    QTest::addColumn<QString>("message");
    QTest::newRow("no package open") << "" << Msg::NoPackageOpen();
    QTest::newRow("missing source") << "incoming/none.img" << Msg::CopyFailed();
    QTest::newRow("source is a directory") << "incoming" << Msg::CopyFailed();
}

void TestReplaceImage::refusals() {
    QFETCH(QString, source);
    QFETCH(QString, message);
    if (source.isEmpty())
        m_state->setWorkingArchivePath(QString());
    const QByteArray before = snapshot();
    const Result result = ReplaceImage(op(), *FindImageSlot("logo.img"),
                                       source.isEmpty() ? m_source : m_bundle->file(source));
    QVERIFY(result.failed());
    QVERIFY(!result.cause().isEmpty());
    QCOMPARE(result.notice().text, message);
    QCOMPARE(snapshot(), before);
    QVERIFY(m_state->changeLog().isEmpty());
}

QTEST_GUILESS_MAIN(TestReplaceImage)
#include "tst_ReplaceImage.moc"
