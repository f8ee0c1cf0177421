// Times the program's operations on real-sized packages against the tools a
// firmware engineer would use instead, in one run: for every package size and
// operation the program and its baseline take turns, round after round, and
// the tables give medians, ranges, ratios and peak memory.
//
// Every timed run is a child process under /usr/bin/time -v (for its peak
// resident set): the program's operations run in this executable's
// one-operation mode, which times the call alone; a baseline is its tools,
// timed from start to end. Restoring the workspace between rounds is not
// timed. A failing run is reported in the table.
//
// Usage (bench/run.sh passes these):
//   bench_Operations --data DIR --bundle DIR [--sizes 600,1500] [--rounds 5]
//                    [--list-apks 3000] [--results FILE] [--timeout SECONDS]
//                    [--only KEY[,KEY]]
//   bench_Operations --one OPERATION --app APPDIR [--arg ARGUMENT]

#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/ToolRunner.h"
#include "core/crypto/ApkSigner.h"
#include "core/package/OnePassEdit.h"
#include "core/package/PackageInsight.h"
#include "core/package/PackageLayout.h"
#include "core/workspace/ApkOperations.h"
#include "core/workspace/AppState.h"
#include "core/workspace/OpenPackage.h"
#include "core/workspace/ReplaceImage.h"
#include "core/workspace/SavePackage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTextStream>

#include <zip.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>

namespace {

// Nobody to ask in a benchmark: every question is answered Yes; the texts
// shown (an operation's notice among them) are kept for a failure's report.
class YesReporter : public Reporter {
public:
    void message(const QString& text) override { m_texts << text; }
    void warning(const QString& text) override { m_texts << text; }
    bool askYesNo(const QString&) override { return true; }
    const QStringList& texts() const { return m_texts; }

private:
    QStringList m_texts;
};

// --- One operation of the program (the child) ------------------------------

int RunOne(const QString& operation, const QString& appDirectory, const QString& argument) {
    AppState state(appDirectory);
    YesReporter reporter;
    ToolRunner runner;
    const Operation op{state, reporter, runner};
    if (operation != QLatin1String("open")) {
        // The workspace was opened before (restored by the parent).
        state.setWorkingArchivePath(state.paths().workingArchive());
        state.setAndroidMajorVersion(5);
    }
    const QString systemRoot = state.paths().extractedTree() + QStringLiteral("/system");

    QString error;
    QString detail;
    bool ok = false;
    QElapsedTimer timer;
    timer.start();
    if (operation == QLatin1String("open")) {
        const OpenResult opened = OpenPackage(op, argument);
        ok = opened.outcome == OpenOutcome::Opened;
        error = opened.result.cause();
    } else if (operation == QLatin1String("add") || operation == QLatin1String("delete")) {
        const Result result = operation == QLatin1String("add")
                                  ? AddApk(op, Partition::System, argument)
                                  : DeleteApk(op, Partition::System, argument);
        ok = result.succeeded();
        error = result.cause();
        reporter.notify(result.notice());
    } else if (operation == QLatin1String("replace")) {
        const ImageSlot* slot = FindImageSlot(QStringLiteral("logo.img"));
        if (slot) {
            const Result result = ReplaceImage(op, *slot, argument);
            ok = result.succeeded();
            error = result.cause();
        }
    } else if (operation == QLatin1String("sign-apk")) {
        // The APK signer alone: the APK signed with the platform key beside it.
        SigningKey key;
        ok = key.load(state.paths().configDir() + QStringLiteral("/platform.x509.pem"),
                      state.paths().configDir() + QStringLiteral("/platform.pk8"), &error) &&
             SignApk(argument, argument + QStringLiteral(".signed.apk"), key, &error);
    } else if (operation == QLatin1String("save")) {
        Result result = PutBackConfigFiles(op);
        if (result.succeeded())
            result = SignPackageTo(op, argument);
        ok = result.succeeded();
        error = result.cause();
    } else if (operation == QLatin1String("check")) {
        // The check after writing, over a saved package read back whole (the
        // save overlaps its member checks with the writing).
        const Result result = VerifySignedPackage(
            argument, state.paths().configDir() + QStringLiteral("/testkey.x509.pem"));
        ok = result.succeeded();
        error = result.cause();
    } else if (operation == QLatin1String("info")) {
        // What corvane-cli info reads: the package in place, every APK's facts.
        PackageInsightKeys keys;
        CertificateFileDer(state.paths().configDir() + QStringLiteral("/testkey.x509.pem"),
                           &keys.testKey, nullptr);
        CertificateFileDer(state.paths().configDir() + QStringLiteral("/platform.x509.pem"),
                           &keys.platformKey, nullptr);
        timer.restart();
        PackageFacts facts;
        ok = ReadPackageFacts(argument, keys, PackageInsightOptions(), &facts, &error);
        qsizetype read = 0;
        for (const PackageApk& apk : facts.apks)
            read += apk.factsRead ? 1 : 0;
        detail = QStringLiteral("%1 of %2 APKs read").arg(read).arg(facts.apks.size());
    } else if (operation == QLatin1String("onepass")) {
        // corvane-cli edit's work: PACKAGE, OUTPUT, IMAGE and the members to
        // delete (comma-separated), tab-separated in the argument.
        const QStringList parts = argument.split(QLatin1Char('\t'));
        if (parts.size() == 4) {
            OnePassEditPlan plan;
            plan.package = parts[0];
            plan.output = parts[1];
            plan.certificate = state.paths().configDir() + QStringLiteral("/testkey.x509.pem");
            plan.privateKey = state.paths().configDir() + QStringLiteral("/testkey.pk8");
            for (const QString& member : parts[3].split(QLatin1Char(','), Qt::SkipEmptyParts))
                plan.changes.append({ArchiveChangeKind::Remove, member, {}});
            plan.changes.append({ArchiveChangeKind::Put, QStringLiteral("logo.img"), parts[2]});
            plan.propEdits.append({QStringLiteral("ro.customer"), QStringLiteral("acme")});
            const Result result = RunOnePassEdit(plan);
            ok = result.succeeded();
            error = result.cause();
        }
    } else if (operation == QLatin1String("list")) {
        const QStringList apks = ListPartitionApks(systemRoot, Partition::System, 5);
        ok = !apks.isEmpty();
        detail = QStringLiteral("%1 APKs").arg(apks.size());
    } else {
        error = QStringLiteral("unknown operation");
    }
    const qint64 microseconds = timer.nsecsElapsed() / 1000;

    if (!ok) {
        detail = error.isEmpty() ? QStringLiteral("failed") : error;
        // What the user would have seen, except the success message of open.
        if (!reporter.texts().isEmpty())
            detail += QStringLiteral(" [") + reporter.texts().join(QStringLiteral(" | ")) +
                      QLatin1Char(']');
    }
    detail.replace(QLatin1Char('\n'), QLatin1Char(' '));
    std::printf("BENCH_RESULT %s %lld %s\n", ok ? "ok" : "fail",
                static_cast<long long>(microseconds), qPrintable(detail));
    std::fflush(stdout);
    return ok ? 0 : 1;
}

// --- Measurements ---------------------------------------------------------

struct Sample {
    bool ok = false;
    double seconds = 0;
    qint64 rssKb = 0;
    QString error;
    QString detail; // what the run found (the program child says)
};

struct Series {
    QList<Sample> samples;

    QList<double> times() const {
        QList<double> t;
        for (const Sample& s : samples)
            if (s.ok)
                t.append(s.seconds);
        std::sort(t.begin(), t.end());
        return t;
    }
    bool anyOk() const { return !times().isEmpty(); }
    int failures() const { return static_cast<int>(samples.size() - times().size()); }
    double median() const {
        const QList<double> t = times();
        if (t.isEmpty())
            return 0;
        const qsizetype n = t.size();
        return n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
    }
    qint64 peakRssKb() const {
        qint64 peak = 0;
        for (const Sample& s : samples)
            peak = std::max(peak, s.rssKb);
        return peak;
    }
    QString firstError() const {
        for (const Sample& s : samples)
            if (!s.ok)
                return s.error;
        return {};
    }
};

QString FormatSeconds(double seconds) {
    if (seconds < 1)
        return QStringLiteral("%1 ms").arg(seconds * 1000, 0, 'f', seconds < 0.01 ? 2 : 1);
    return QStringLiteral("%1 s").arg(seconds, 0, 'f', 2);
}

// Three significant digits: 0.103 is no 0.10 against a goal of 0.1.
QString FormatRatio(double ratio) {
    return QString::number(ratio, 'f', ratio < 1 ? 3 : 2);
}

QString FormatSeries(const Series& series) {
    if (!series.anyOk())
        return QStringLiteral("FAILED: %1").arg(series.firstError());
    const QList<double> t = series.times();
    QString text =
        QStringLiteral("%1 (%2-%3)")
            .arg(FormatSeconds(series.median()), FormatSeconds(t.first()), FormatSeconds(t.last()));
    if (series.failures() > 0)
        text += QStringLiteral(" [%1 of %2 failed: %3]")
                    .arg(series.failures())
                    .arg(series.samples.size())
                    .arg(series.firstError());
    return text;
}

QString FormatRss(const Series& series) {
    if (series.peakRssKb() == 0)
        return QStringLiteral("-");
    return QStringLiteral("%1 MB").arg(static_cast<double>(series.peakRssKb()) / 1024.0, 0, 'f', 1);
}

std::optional<double> Ratio(const Series& program, const Series& baseline) {
    if (!program.anyOk() || !baseline.anyOk() || baseline.median() <= 0)
        return std::nullopt;
    return program.median() / baseline.median();
}

// --- Running processes ------------------------------------------------------

QStringList g_only; // the rows to run (their keys); empty: every row

bool Wanted(const QString& key) {
    return g_only.isEmpty() || g_only.contains(key);
}
bool WantedAny(const QStringList& keys) {
    return std::any_of(keys.cbegin(), keys.cend(), [](const QString& k) { return Wanted(k); });
}

QString g_timeOutput;        // where /usr/bin/time -v writes
int g_timeoutSeconds = 3600; // a run that takes longer is ended and counts as failed

qint64 ReadPeakRssKb() {
    QFile file(g_timeOutput);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    static const QRegularExpression line(
        QStringLiteral("Maximum resident set size \\(kbytes\\): (\\d+)"));
    const QRegularExpressionMatch match = line.match(QString::fromUtf8(file.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() : 0;
}

struct Command {
    QStringList arguments; // program first
    QString workingDirectory;
};

// Runs a command under /usr/bin/time -v; the time is that of the whole run.
Sample RunTimed(const Command& command, QByteArray* output = nullptr) {
    Sample sample;
    QFile::remove(g_timeOutput);
    QProcess process;
    process.setProgram(QStringLiteral("/usr/bin/time"));
    process.setArguments(QStringList{QStringLiteral("-v"), QStringLiteral("-o"), g_timeOutput} +
                         command.arguments);
    if (!command.workingDirectory.isEmpty())
        process.setWorkingDirectory(command.workingDirectory);
    if (!output)
        process.setStandardOutputFile(QProcess::nullDevice());
    // A group of its own, so that a run that hangs can be ended with its children.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    QElapsedTimer timer;
    timer.start();
    process.start();
    if (!process.waitForStarted(-1)) {
        sample.error = QStringLiteral("cannot start /usr/bin/time: ") + process.errorString();
        return sample;
    }
    const bool finished = process.waitForFinished(g_timeoutSeconds * 1000);
    sample.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    if (!finished) {
        // A run that hangs must not stop the benchmark: end it and all it started.
        ::kill(-static_cast<pid_t>(process.processId()), SIGKILL);
        process.waitForFinished(-1);
        sample.error = QStringLiteral("%1 did not end within %2 s")
                           .arg(QFileInfo(command.arguments.value(0)).fileName())
                           .arg(g_timeoutSeconds);
        return sample;
    }
    sample.rssKb = ReadPeakRssKb();
    if (output)
        *output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        QString stderrText = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        stderrText = stderrText.section(QLatin1Char('\n'), 0, 0);
        // time says there how a run ended by a signal.
        QFile status(g_timeOutput);
        if (status.open(QIODevice::ReadOnly)) {
            const QString first = QString::fromUtf8(status.readLine()).trimmed();
            if (first.startsWith(QLatin1String("Command terminated")))
                stderrText =
                    first + (stderrText.isEmpty() ? QString() : QStringLiteral("; ") + stderrText);
        }
        sample.error =
            QStringLiteral("%1 exited with %2%3")
                .arg(QFileInfo(command.arguments.value(0)).fileName())
                .arg(process.exitCode())
                .arg(stderrText.isEmpty() ? QString() : QStringLiteral(": ") + stderrText);
        return sample;
    }
    sample.ok = true;
    return sample;
}

// A baseline of several tools: their times add up, the peak is the largest.
Sample RunSteps(const QList<Command>& steps) {
    Sample total;
    total.ok = true;
    for (const Command& step : steps) {
        const Sample one = RunTimed(step);
        total.seconds += one.seconds;
        total.rssKb = std::max(total.rssKb, one.rssKb);
        if (!one.ok) {
            total.ok = false;
            total.error = one.error;
            break;
        }
    }
    return total;
}

// One operation of the program in a child; its time is the call's alone.
Sample RunProgram(const QString& operation, const QString& app, const QString& argument) {
    QByteArray output;
    Sample sample =
        RunTimed({{QCoreApplication::applicationFilePath(), QStringLiteral("--one"), operation,
                   QStringLiteral("--app"), app, QStringLiteral("--arg"), argument},
                  app},
                 &output);
    static const QRegularExpression line(QStringLiteral("^BENCH_RESULT (ok|fail) (\\d+) ?(.*)$"),
                                         QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(QString::fromUtf8(output));
    if (!match.hasMatch()) {
        sample.ok = false;
        // Ended before it could say: a crash, a kill or a run that hung.
        sample.error =
            QStringLiteral("the operation gave no result (%1)")
                .arg(sample.error.isEmpty() ? QStringLiteral("no output") : sample.error);
        return sample;
    }
    sample.ok = match.captured(1) == QLatin1String("ok");
    sample.seconds = static_cast<double>(match.captured(2).toLongLong()) / 1e6;
    (sample.ok ? sample.detail : sample.error) = match.captured(3);
    return sample;
}

// Untimed preparation; false with the cause.
bool Sh(const QStringList& arguments, QString* error, const QString& workingDirectory = {}) {
    QProcess process;
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(arguments.first(), arguments.mid(1));
    if (!process.waitForStarted(-1) || !process.waitForFinished(-1) ||
        process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("%1 failed: %2")
                         .arg(arguments.join(QLatin1Char(' ')),
                              QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
        return false;
    }
    return true;
}

// --- The workspaces ----------------------------------------------------------

struct Setup {
    QString data;   // the data directory
    QString bundle; // Config/ of the build
    // The baseline's signing: the system's Java and signapk.
    QString java() const { return QStringLiteral("java"); }
    QString signapk() const { return QStringLiteral("/usr/share/signapk/signapk.jar"); }
    QString config() const { return bundle + QStringLiteral("/Config"); }
};

// An AppDirectory like the bundle's: Config is a link to the bundle's.
bool MakeAppDirectory(const Setup& setup, const QString& app, QString* error) {
    if (!QDir().mkpath(app)) {
        *error = QStringLiteral("cannot make ") + app;
        return false;
    }
    for (const char* name : {"Config"}) {
        const QString link = app + QLatin1Char('/') + QLatin1String(name);
        if (QFileInfo(link).isSymLink())
            continue;
        if (!QFile::link(setup.bundle + QLatin1Char('/') + QLatin1String(name), link)) {
            *error = QStringLiteral("cannot link ") + link;
            return false;
        }
    }
    return true;
}

bool ClearWorkspace(const QString& app, QString* error) {
    for (const char* name : {"srctemp", "zipTemp", "UzApk", "Apktemp", "log.txt"})
        if (!Sh({QStringLiteral("rm"), QStringLiteral("-rf"),
                 app + QLatin1Char('/') + QLatin1String(name)},
                error))
            return false;
    return true;
}

// The edit workspace as the master left it: the tree as hard links (every
// operation replaces tree files through a new file and a rename, so the
// master's files are never written), the working archive as a real copy,
// flushed to disk so that the timed operation does not pay for the restore's
// writes (a program's flush would wait for them, a baseline's would not).
bool RestoreWorkspace(const QString& master, const QString& app, QString* error) {
    return ClearWorkspace(app, error) &&
           Sh({QStringLiteral("cp"), QStringLiteral("-al"), master + QStringLiteral("/srctemp"),
               app + QStringLiteral("/srctemp")},
              error) &&
           Sh({QStringLiteral("mkdir"), QStringLiteral("-p"), app + QStringLiteral("/zipTemp")},
              error) &&
           Sh({QStringLiteral("cp"), master + QStringLiteral("/zipTemp/temp.zip"),
               master + QStringLiteral("/zipTemp/workspace.state"),
               app + QStringLiteral("/zipTemp/")},
              error) &&
           Sh({QStringLiteral("sync")}, error);
}

// The members of an archive and their sizes; false with the cause.
bool ReadMembers(const QString& path, QHash<QString, qint64>* members, QString* error) {
    int code = 0;
    zip_t* zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code);
    if (!zip) {
        *error = QStringLiteral("%1 is no readable ZIP").arg(QFileInfo(path).fileName());
        return false;
    }
    const zip_int64_t count = zip_get_num_entries(zip, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        if (zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &stat) == 0 && stat.name)
            members->insert(QString::fromUtf8(stat.name), static_cast<qint64>(stat.size));
    }
    zip_discard(zip);
    return true;
}

// What a run must have left, checked after it (not timed): empty when it did
// its work, otherwise what is missing.
using Check = std::function<QString(bool isProgram)>;

// --- The comparisons ---------------------------------------------------------

struct Row {
    QString operation;
    QString key; // for the goals: open, add, delete, replace, save-signapk, save-copy, list
                 // (check: no goal)
    QString package;
    Series program;
    Series baseline;
    // What reading, hashing and writing the row's bytes costs on this
    // machine (with the flush where the row flushes): how far from the
    // floor the program is. Empty where the row moves no bytes of its own.
    Series floor;
};

// The floor of a row: input read once, hashed (SHA-256) and, when output is
// given, written there in the same pass (tee), then flushed when asked;
// rounds of it after the row's. The copy is removed after each round.
void MeasureFloor(Row& row, int rounds, const QString& input, const QString& output, bool flush) {
    QString script = QStringLiteral("cat \"$1\"");
    if (!output.isEmpty())
        script += QStringLiteral(" | tee \"$2\"");
    script += QStringLiteral(" | sha256sum >/dev/null");
    if (!output.isEmpty() && flush)
        script += QStringLiteral(" && sync \"$2\"");
    for (int round = 0; round < rounds; ++round) {
        const Sample sample = RunTimed({{QStringLiteral("sh"), QStringLiteral("-c"), script,
                                         QStringLiteral("floor"), input, output},
                                        {}});
        row.floor.samples.append(sample);
        if (!output.isEmpty())
            QFile::remove(output);
        std::fprintf(stderr, "  %-34s %-9s round %d/%d: %s\n", qPrintable(row.operation), "floor",
                     round + 1, rounds,
                     sample.ok ? qPrintable(FormatSeconds(sample.seconds))
                               : qPrintable(QStringLiteral("FAILED: ") + sample.error));
    }
}

// Rounds of program and baseline in turn (who goes first alternates); the
// preparation of each run is not timed.
void Compare(Row& row, int rounds, const std::function<bool(QString*)>& prepareProgram,
             const std::function<Sample()>& program,
             const std::function<bool(QString*)>& prepareBaseline,
             const std::function<Sample()>& baseline, const Check& check = {}) {
    const auto one = [&](bool isProgram, int round) {
        QString error;
        Sample sample;
        if (!(isProgram ? prepareProgram : prepareBaseline)(&error))
            sample.error = QStringLiteral("preparation: ") + error;
        else
            sample = isProgram ? program() : baseline();
        if (sample.ok && check) {
            const QString missing = check(isProgram);
            if (!missing.isEmpty()) {
                sample.ok = false;
                sample.error = QStringLiteral("wrong result: ") + missing;
            }
        }
        (isProgram ? row.program : row.baseline).samples.append(sample);
        std::fprintf(stderr, "  %-34s %-9s round %d/%d: %s\n", qPrintable(row.operation),
                     isProgram ? "program" : "baseline", round + 1, rounds,
                     sample.ok ? qPrintable(FormatSeconds(sample.seconds))
                               : qPrintable(QStringLiteral("FAILED: ") + sample.error));
    };
    for (int round = 0; round < rounds; ++round) {
        const bool programFirst = round % 2 == 0;
        one(programFirst, round);
        one(!programFirst, round);
    }
}

QString MiB(qint64 bytes) {
    return QStringLiteral("%1 MB").arg(static_cast<double>(bytes) / (1024.0 * 1024.0), 0, 'f', 0);
}

// The APK deleted: in a directory of its own below system/app, in the middle
// third of the archive (the members after it are as many as those before),
// the one nearest 5 MB; so the packages of every size lose a like APK.
QString PickApkToDelete(const QString& archive, const QString& tree) {
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(archive).constData(), ZIP_RDONLY, &error);
    if (!zip)
        return {};
    static const QRegularExpression own(QStringLiteral("^system/app/([^/]+)/\\1\\.apk$"));
    const zip_int64_t count = zip_get_num_entries(zip, 0);
    QString best;
    qint64 bestDistance = -1;
    for (zip_int64_t i = count / 3; i < 2 * count / 3; ++i) {
        zip_stat_t stat;
        if (zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &stat) != 0 || !stat.name)
            continue;
        const QString name = QString::fromUtf8(stat.name);
        if (!own.match(name).hasMatch())
            continue;
        const qint64 distance = std::abs(static_cast<qint64>(stat.size) - 5 * 1024 * 1024);
        if (bestDistance < 0 || distance < bestDistance) {
            bestDistance = distance;
            best = tree + QLatin1Char('/') + name;
        }
    }
    zip_discard(zip);
    return best;
}

QList<Row> BenchSize(const Setup& setup, const QString& package, const QString& label, int rounds) {
    QList<Row> rows;
    const QString work = setup.data + QStringLiteral("/work/") + label;
    const QString master = work + QStringLiteral("/master");
    const QString edit = work + QStringLiteral("/edit");
    const QString openApp = work + QStringLiteral("/open");
    const QString base = work + QStringLiteral("/baseline");
    const QString outputs = work + QStringLiteral("/out");
    const QString addApk = setup.data + QStringLiteral("/packages/BenchNative.apk");
    const QString image = setup.data + QStringLiteral("/packages/replace/logo.img");
    const QString packageLabel = QStringLiteral("%1 (%2)").arg(QFileInfo(package).fileName(),
                                                               MiB(QFileInfo(package).size()));

    std::fprintf(stderr, "== %s\n", qPrintable(packageLabel));
    QString error;
    // The rows that edit or save start from the master workspace: the
    // package opened once by the program.
    const QStringList fromMaster{QStringLiteral("add"),       QStringLiteral("delete"),
                                 QStringLiteral("replace"),   QStringLiteral("save-signapk"),
                                 QStringLiteral("save-copy"), QStringLiteral("check")};
    bool ready = Sh({QStringLiteral("rm"), QStringLiteral("-rf"), work}, &error) &&
                 MakeAppDirectory(setup, master, &error) && MakeAppDirectory(setup, edit, &error) &&
                 MakeAppDirectory(setup, openApp, &error) && QDir().mkpath(base) &&
                 QDir().mkpath(outputs);
    if (ready && WantedAny(fromMaster)) {
        const Sample opened = RunProgram(QStringLiteral("open"), master, package);
        ready = opened.ok;
        error = QStringLiteral("opening the master workspace: ") + opened.error;
    }
    const auto row = [&](const QString& operation, const QString& key) {
        Row r;
        r.operation = operation;
        r.key = key;
        r.package = packageLabel;
        return r;
    };
    const auto failAll = [&](Row r) {
        Sample failed;
        failed.error = error;
        r.program.samples.append(failed);
        r.baseline.samples.append(failed);
        return r;
    };

    const QString tree = master + QStringLiteral("/srctemp");
    const QString deleted =
        ready ? PickApkToDelete(master + QStringLiteral("/zipTemp/temp.zip"), tree) : QString();
    const QString deletedInEdit = edit + deleted.mid(master.size());
    const QString deletedMember =
        QFileInfo(deleted).absolutePath().mid(tree.size() + 1); // system/app/Name
    const QString addName = QFileInfo(addApk).completeBaseName();

    if (!ready) {
        // Nothing can be measured on this package: every row says why.
        for (const char* key : {"open", "add", "delete", "replace", "save-signapk", "save-copy"})
            if (Wanted(QLatin1String(key)))
                rows.append(failAll(row(QLatin1String(key), QLatin1String(key))));
        return rows;
    }

    // Open: 7za x
    if (Wanted(QStringLiteral("open"))) {
        Row r = row(QStringLiteral("open (vs 7za x)"), QStringLiteral("open"));
        const QString outDir = base + QStringLiteral("/extracted");
        Compare(
            r, rounds, [&](QString* e) { return ClearWorkspace(openApp, e); },
            [&] { return RunProgram(QStringLiteral("open"), openApp, package); },
            [&](QString* e) {
                return Sh({QStringLiteral("rm"), QStringLiteral("-rf"), outDir}, e);
            },
            [&] {
                return RunSteps({{{QStringLiteral("7za"), QStringLiteral("x"), package,
                                   QStringLiteral("-o") + outDir, QStringLiteral("-y")},
                                  {}}});
            },
            [&](bool isProgram) -> QString {
                const QString root = isProgram ? openApp + QStringLiteral("/srctemp") : outDir;
                if (!QFileInfo::exists(root + QStringLiteral("/system/build.prop")))
                    return QStringLiteral("no system/build.prop in the tree");
                if (isProgram && QFileInfo(openApp + QStringLiteral("/zipTemp/temp.zip")).size() !=
                                     QFileInfo(package).size())
                    return QStringLiteral("no working archive of the package's size");
                return {};
            });
        Sh({QStringLiteral("rm"), QStringLiteral("-rf"), outDir}, nullptr);
        ClearWorkspace(openApp, nullptr);
        MeasureFloor(r, rounds, package, outputs + QStringLiteral("/floor.zip"), false);
        rows.append(r);
    }

    // Info: the package read in place, against listing its central directory.
    if (Wanted(QStringLiteral("info"))) {
        Row r = row(QStringLiteral("info (vs unzip -l)"), QStringLiteral("info"));
        const auto nothing = [](QString*) { return true; };
        QString found;
        Compare(
            r, rounds, nothing,
            [&] {
                Sample s = RunProgram(QStringLiteral("info"), openApp, package);
                found = s.detail;
                return s;
            },
            nothing,
            [&] {
                return RunSteps({{{QStringLiteral("unzip"), QStringLiteral("-l"), package}, {}}});
            });
        r.operation += QStringLiteral(": ") + found;
        // Info reads in place: the floor is reading and hashing the package.
        MeasureFloor(r, rounds, package, QString(), false);
        rows.append(r);
    }

    const QString baseArchive = base + QStringLiteral("/temp.zip");
    const auto copyArchive = [&](QString* e) {
        return Sh({QStringLiteral("cp"), master + QStringLiteral("/zipTemp/temp.zip"), baseArchive},
                  e);
    };
    const auto restoreEdit = [&](QString* e) { return RestoreWorkspace(master, edit, e); };

    // Add: 7za x + signapk + zip -g
    if (Wanted(QStringLiteral("add"))) {
        Row r = row(QStringLiteral("add APK, 30 libs (vs 7za x+signapk+zip -g)"),
                    QStringLiteral("add"));
        const QString stage = base + QStringLiteral("/add");
        const QString signedApk =
            QStringLiteral("system/app/%1/%1.apk").arg(addName); // as the program places it
        QStringList libraries;
        bool staged =
            Sh({QStringLiteral("rm"), QStringLiteral("-rf"), stage}, &error) &&
            QDir().mkpath(stage + QStringLiteral("/system/lib")) &&
            QDir().mkpath(stage + QStringLiteral("/system/app/") + addName) &&
            Sh({QStringLiteral("7za"), QStringLiteral("x"), addApk,
                QStringLiteral("-o") + stage + QStringLiteral("/probe"), QStringLiteral("-y")},
               &error);
        // The libraries enter the archive as system/lib/NAME: links to where
        // each round unpacks them (zip stores what a link points to).
        if (staged) {
            QDirIterator it(stage + QStringLiteral("/probe/lib"), {QStringLiteral("*.so")},
                            QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                const QString name = QFileInfo(path).fileName();
                const QString relative = path.mid(stage.size() + QStringLiteral("/probe/").size());
                libraries.append(QStringLiteral("system/lib/") + name);
                staged = staged && QFile::link(stage + QStringLiteral("/unpacked/") + relative,
                                               stage + QStringLiteral("/system/lib/") + name);
            }
            if (libraries.isEmpty())
                staged = false, error = QStringLiteral("the APK to add has no libraries");
        }
        if (!staged) {
            rows.append(failAll(r));
        } else {
            Compare(
                r, rounds, restoreEdit,
                [&] { return RunProgram(QStringLiteral("add"), edit, addApk); },
                [&](QString* e) {
                    return copyArchive(e) && Sh({QStringLiteral("rm"), QStringLiteral("-rf"),
                                                 stage + QStringLiteral("/unpacked"),
                                                 stage + QLatin1Char('/') + signedApk},
                                                e);
                },
                [&] {
                    return RunSteps(
                        {{{QStringLiteral("7za"), QStringLiteral("x"), addApk,
                           QStringLiteral("-o") + stage + QStringLiteral("/unpacked"),
                           QStringLiteral("-y")},
                          {}},
                         {{setup.java(), QStringLiteral("-jar"), setup.signapk(),
                           QStringLiteral("platform.x509.pem"), QStringLiteral("platform.pk8"),
                           addApk, stage + QLatin1Char('/') + signedApk},
                          setup.config()},
                         {QStringList{QStringLiteral("zip"), QStringLiteral("-g"),
                                      QStringLiteral("-q"), baseArchive, signedApk} +
                              libraries,
                          stage}});
                },
                [&](bool isProgram) -> QString {
                    QHash<QString, qint64> members;
                    QString e;
                    if (!ReadMembers(isProgram ? edit + QStringLiteral("/zipTemp/temp.zip")
                                               : baseArchive,
                                     &members, &e))
                        return e;
                    for (const QString& member : QStringList{signedApk} + libraries)
                        if (!members.contains(member))
                            return member + QStringLiteral(" is missing");
                    return {};
                });
            // The APK's bytes into the archive, flushed as the commit does.
            MeasureFloor(r, rounds, addApk, outputs + QStringLiteral("/floor.apk"), true);
            rows.append(r);
        }
    }

    // Delete: 7za d
    if (Wanted(QStringLiteral("delete"))) {
        Row r = row(QStringLiteral("delete APK (vs 7za d)"), QStringLiteral("delete"));
        if (deleted.isEmpty()) {
            error = QStringLiteral("no APK in system/app");
            rows.append(failAll(r));
        } else {
            r.operation += QStringLiteral(" %1 (%2)")
                               .arg(deletedMember.section(QLatin1Char('/'), -1),
                                    MiB(QFileInfo(deleted).size()));
            Compare(
                r, rounds, restoreEdit,
                [&] { return RunProgram(QStringLiteral("delete"), edit, deletedInEdit); },
                copyArchive,
                [&] {
                    return RunSteps(
                        {{{QStringLiteral("7za"), QStringLiteral("d"), baseArchive, deletedMember},
                          {}}});
                },
                [&](bool isProgram) -> QString {
                    QHash<QString, qint64> members;
                    QString e;
                    if (!ReadMembers(isProgram ? edit + QStringLiteral("/zipTemp/temp.zip")
                                               : baseArchive,
                                     &members, &e))
                        return e;
                    for (auto it = members.cbegin(); it != members.cend(); ++it)
                        if (it.key().startsWith(deletedMember + QLatin1Char('/')))
                            return it.key() + QStringLiteral(" is still there");
                    if (isProgram && QFileInfo::exists(QFileInfo(deletedInEdit).absolutePath()))
                        return QStringLiteral("its directory is still in the tree");
                    return {};
                });
            rows.append(r);
        }
    }

    // Replace: zip -g of the same 50 MB
    if (Wanted(QStringLiteral("replace"))) {
        Row r = row(QStringLiteral("replace 50 MB image (vs zip -g)"), QStringLiteral("replace"));
        const QString stage = base + QStringLiteral("/replace");
        // A new member name: zip -g appends it (an existing name would make
        // zip rewrite the archive).
        const bool staged = QDir().mkpath(stage) &&
                            (QFileInfo(stage + QStringLiteral("/logo-new.img")).isSymLink() ||
                             QFile::link(image, stage + QStringLiteral("/logo-new.img")));
        if (!staged) {
            error = QStringLiteral("cannot stage the image");
            rows.append(failAll(r));
        } else {
            Compare(
                r, rounds, restoreEdit,
                [&] { return RunProgram(QStringLiteral("replace"), edit, image); }, copyArchive,
                [&] {
                    return RunSteps(
                        {{{QStringLiteral("zip"), QStringLiteral("-g"), QStringLiteral("-q"),
                           baseArchive, QStringLiteral("logo-new.img")},
                          stage}});
                },
                [&](bool isProgram) -> QString {
                    QHash<QString, qint64> members;
                    QString e;
                    if (!ReadMembers(isProgram ? edit + QStringLiteral("/zipTemp/temp.zip")
                                               : baseArchive,
                                     &members, &e))
                        return e;
                    const QString member =
                        isProgram ? QStringLiteral("logo.img") : QStringLiteral("logo-new.img");
                    if (members.value(member, -1) != QFileInfo(image).size())
                        return member + QStringLiteral(" is not the new image");
                    return {};
                });
            MeasureFloor(r, rounds, image, outputs + QStringLiteral("/floor.img"), true);
            rows.append(r);
        }
    }

    // Signing an APK alone: the native signer against signapk.
    if (Wanted(QStringLiteral("sign-apk"))) {
        Row r = row(QStringLiteral("sign APK alone (vs signapk)"), QStringLiteral("sign-apk"));
        const QString programOut = addApk + QStringLiteral(".signed.apk");
        const QString baselineOut = base + QStringLiteral("/signapk-signed.apk");
        Compare(
            r, rounds,
            [&](QString*) { return !QFile::exists(programOut) || QFile::remove(programOut); },
            [&] { return RunProgram(QStringLiteral("sign-apk"), openApp, addApk); },
            [&](QString*) { return !QFile::exists(baselineOut) || QFile::remove(baselineOut); },
            [&] {
                return RunSteps({{{setup.java(), QStringLiteral("-jar"), setup.signapk(),
                                   QStringLiteral("platform.x509.pem"),
                                   QStringLiteral("platform.pk8"), addApk, baselineOut},
                                  setup.config()}});
            },
            [&](bool isProgram) -> QString {
                const QString out = isProgram ? programOut : baselineOut;
                return QFile::exists(out) ? QString() : out + QStringLiteral(" is missing");
            });
        MeasureFloor(r, rounds, addApk, outputs + QStringLiteral("/floor.apk"), false);
        rows.append(r);
    }

    // Save with nothing changed: signapk -w alone, and copy + SHA-256.
    if (WantedAny({QStringLiteral("save-signapk"), QStringLiteral("save-copy"),
                   QStringLiteral("check")})) {
        Row signapk = row(QStringLiteral("save (vs signapk -w)"), QStringLiteral("save-signapk"));
        Row copy = row(QStringLiteral("save (vs cp + sha256sum)"), QStringLiteral("save-copy"));
        const QString programOut = outputs + QStringLiteral("/saved.zip");
        const QString signapkOut = outputs + QStringLiteral("/signapk.zip");
        const QString copyOut = outputs + QStringLiteral("/copy.zip");
        const QString archive = master + QStringLiteral("/zipTemp/temp.zip");
        const auto remove = [](const QString& path) {
            return [path](QString* e) {
                return Sh({QStringLiteral("rm"), QStringLiteral("-f"), path}, e);
            };
        };
        // The output is there (the save checks its signature itself).
        const auto wrote = [&](const QString& baselineOut) {
            return [&, baselineOut](bool isProgram) -> QString {
                const QString out = isProgram ? programOut : baselineOut;
                return QFileInfo(out).size() > 0
                           ? QString()
                           : QFileInfo(out).fileName() + QStringLiteral(" is missing");
            };
        };
        // The baselines' archive copy is not needed any more.
        QFile::remove(baseArchive);
        bool restored = RestoreWorkspace(master, edit, &error);
        if (!restored) {
            rows.append(failAll(signapk));
            rows.append(failAll(copy));
        } else {
            // The program's runs of both rows are one series, alternating with
            // both baselines.
            const auto program = [&] {
                return RunProgram(QStringLiteral("save"), edit, programOut);
            };
            if (Wanted(QStringLiteral("save-signapk")))
                Compare(
                    signapk, rounds, remove(programOut), program, remove(signapkOut),
                    [&] {
                        return RunSteps({{{setup.java(), QStringLiteral("-jar"), setup.signapk(),
                                           QStringLiteral("-w"), QStringLiteral("testkey.x509.pem"),
                                           QStringLiteral("testkey.pk8"), archive, signapkOut},
                                          setup.config()}});
                    },
                    wrote(signapkOut));
            if (Wanted(QStringLiteral("save-copy")))
                Compare(
                    copy, rounds, remove(programOut), program, remove(copyOut),
                    [&] {
                        return RunSteps({{{QStringLiteral("cp"), archive, copyOut}, {}},
                                         {{QStringLiteral("sha256sum"), copyOut}, {}}});
                    },
                    wrote(copyOut));
            // Both rows report every program run.
            const Series all = [&] {
                Series s = signapk.program;
                s.samples += copy.program.samples;
                return s;
            }();
            signapk.program = all;
            copy.program = all;
            // The save reads the working archive, hashes and writes the
            // package, then flushes it.
            if (WantedAny({QStringLiteral("save-signapk"), QStringLiteral("save-copy")})) {
                MeasureFloor(signapk, rounds, archive, outputs + QStringLiteral("/floor.zip"),
                             true);
                copy.floor = signapk.floor;
            }
            if (Wanted(QStringLiteral("save-signapk")))
                rows.append(signapk);
            if (Wanted(QStringLiteral("save-copy")))
                rows.append(copy);
            // The check reads a saved package: one save, not timed, when no
            // save row ran.
            if (Wanted(QStringLiteral("check")) && !QFileInfo::exists(programOut))
                program();
            // The check after writing, over the last package saved, against
            // testing every member's CRC-32.
            Row check =
                row(QStringLiteral("check after writing (vs unzip -tq)"), QStringLiteral("check"));
            const auto nothing = [](QString*) { return true; };
            if (Wanted(QStringLiteral("check"))) {
                Compare(
                    check, rounds, nothing,
                    [&] { return RunProgram(QStringLiteral("check"), edit, programOut); }, nothing,
                    [&] {
                        return RunSteps(
                            {{{QStringLiteral("unzip"), QStringLiteral("-tq"), programOut}, {}}});
                    });
                MeasureFloor(check, rounds, programOut, QString(), false);
                rows.append(check);
            }
        }
        Sh({QStringLiteral("rm"), QStringLiteral("-f"), programOut, signapkOut, copyOut}, nullptr);
    }
    // The one-pass edit (ten deletes, the 50 MB image, a build.prop key)
    // against copying the package and hashing the copy.
    if (Wanted(QStringLiteral("onepass"))) {
        Row r = row(QStringLiteral("one-pass edit (vs cp + sha256sum)"), QStringLiteral("onepass"));
        const QString programOut = outputs + QStringLiteral("/onepass.zip");
        const QString copyOut = outputs + QStringLiteral("/copy.zip");
        QHash<QString, qint64> members;
        QStringList deletes;
        if (ReadMembers(package, &members, &error)) {
            QStringList apks;
            for (auto it = members.cbegin(); it != members.cend(); ++it) {
                if (it.key().startsWith(QLatin1String("system/app/")) &&
                    it.key().endsWith(QLatin1String(".apk")))
                    apks << it.key();
            }
            apks.sort();
            deletes = apks.mid(0, 10);
        }
        if (deletes.size() < 10) {
            error = QStringLiteral("fewer than ten APKs in system/app");
            rows.append(failAll(r));
        } else {
            const auto remove = [](const QString& path) {
                return [path](QString* e) {
                    return Sh({QStringLiteral("rm"), QStringLiteral("-f"), path}, e);
                };
            };
            const QString argument =
                QStringList{package, programOut, image, deletes.join(QLatin1Char(','))}.join(
                    QLatin1Char('\t'));
            Compare(
                r, rounds, remove(programOut),
                [&] { return RunProgram(QStringLiteral("onepass"), edit, argument); },
                remove(copyOut),
                [&] {
                    return RunSteps({{{QStringLiteral("cp"), package, copyOut}, {}},
                                     {{QStringLiteral("sha256sum"), copyOut}, {}}});
                },
                [&](bool isProgram) -> QString {
                    if (!isProgram)
                        return QFileInfo(copyOut).size() > 0 ? QString()
                                                             : QStringLiteral("no copy");
                    QHash<QString, qint64> out;
                    QString e;
                    if (!ReadMembers(programOut, &out, &e))
                        return e;
                    if (out.value(QStringLiteral("logo.img"), -1) != QFileInfo(image).size())
                        return QStringLiteral("logo.img is not the new image");
                    for (const QString& member : deletes) {
                        if (out.contains(member))
                            return member + QStringLiteral(" is still there");
                    }
                    return {};
                });
            // The package read, hashed and written once, then flushed.
            MeasureFloor(r, rounds, package, outputs + QStringLiteral("/floor.zip"), true);
            rows.append(r);
        }
        Sh({QStringLiteral("rm"), QStringLiteral("-f"), programOut, copyOut}, nullptr);
    }
    // Leave the space for the next size.
    Sh({QStringLiteral("rm"), QStringLiteral("-rf"), work}, nullptr);
    return rows;
}

Row BenchList(const Setup& setup, const QString& package, int rounds) {
    Row r;
    r.operation = QStringLiteral("list refresh (vs find -name '*.apk')");
    r.key = QStringLiteral("list");
    r.package = QStringLiteral("%1 (%2)").arg(QFileInfo(package).fileName(),
                                              MiB(QFileInfo(package).size()));
    std::fprintf(stderr, "== %s\n", qPrintable(r.package));
    const QString app = setup.data + QStringLiteral("/work/list");
    QString error;
    Sample opened;
    if (Sh({QStringLiteral("rm"), QStringLiteral("-rf"), app}, &error) &&
        MakeAppDirectory(setup, app, &error)) {
        opened = RunProgram(QStringLiteral("open"), app, package);
        error = QStringLiteral("opening the list package: ") + opened.error;
    }
    if (!opened.ok) {
        Sample failed;
        failed.error = error;
        r.program.samples.append(failed);
        r.baseline.samples.append(failed);
        return r;
    }
    const QString system = app + QStringLiteral("/srctemp/system");
    const auto nothing = [](QString*) { return true; };
    QString programFound;
    qsizetype findFound = -1;
    Compare(
        r, rounds, nothing,
        [&] {
            Sample s = RunProgram(QStringLiteral("list"), app, QString());
            programFound = s.detail;
            return s;
        },
        nothing,
        [&] {
            QByteArray found;
            const Sample s = RunTimed({{QStringLiteral("find"), system + QStringLiteral("/app"),
                                        system + QStringLiteral("/priv-app"),
                                        QStringLiteral("-name"), QStringLiteral("*.apk")},
                                       {}},
                                      &found);
            findFound = found.count('\n');
            return s;
        });
    // Both must have found the same APKs.
    r.operation += QStringLiteral(": program %1, find %2").arg(programFound).arg(findFound);
    Sh({QStringLiteral("rm"), QStringLiteral("-rf"), app}, nullptr);
    return r;
}

// --- The report ----------------------------------------------------------

QString Table(const QList<Row>& rows) {
    QString text;
    QTextStream out(&text);
    out << "| operation | package | program median (min-max) | baseline median (min-max) | ratio "
           "| floor median (min-max) | ratio to floor | peak RSS program | peak RSS baseline |\n";
    out << "|---|---|---|---|---|---|---|---|---|\n";
    for (const Row& r : rows) {
        const std::optional<double> ratio = Ratio(r.program, r.baseline);
        const std::optional<double> toFloor = Ratio(r.program, r.floor);
        out << "| " << r.operation << " | " << r.package << " | " << FormatSeries(r.program)
            << " | " << FormatSeries(r.baseline) << " | "
            << (ratio ? FormatRatio(*ratio) : QStringLiteral("-")) << " | "
            << (r.floor.samples.isEmpty() ? QStringLiteral("-") : FormatSeries(r.floor)) << " | "
            << (toFloor ? FormatRatio(*toFloor) : QStringLiteral("-")) << " | "
            << FormatRss(r.program) << " | " << FormatRss(r.baseline) << " |\n";
    }
    return text;
}

struct Goal {
    QString text;
    std::optional<bool> met; // empty: could not be judged (a run failed)
    QString value;
};

const Row* FindRow(const QList<Row>& rows, const QString& key) {
    for (const Row& r : rows)
        if (r.key == key)
            return &r;
    return nullptr;
}

QList<Goal> Goals(const QList<QPair<QString, QList<Row>>>& sizes, const Row* list) {
    QList<Goal> goals;
    const auto ratioGoal = [&](const QString& label, const QList<Row>& rows, const QString& key,
                               double limit, const QString& what) {
        Goal g{QStringLiteral("%1: %2 <= %3 x %4")
                   .arg(label, key.section(QLatin1Char('-'), 0, 0))
                   .arg(limit)
                   .arg(what),
               {},
               {}};
        const Row* r = FindRow(rows, key);
        if (!r)
            return; // a row not run (--only)
        if (const std::optional<double> ratio = r ? Ratio(r->program, r->baseline) : std::nullopt) {
            g.met = *ratio <= limit;
            g.value = FormatRatio(*ratio) + QStringLiteral(" x");
        }
        goals.append(g);
    };
    for (const auto& [label, rows] : sizes) {
        if (FindRow(rows, QStringLiteral("delete"))) {
            Goal g{QStringLiteral("%1: delete <= 0.1 s").arg(label), {}, {}};
            const Row* r = FindRow(rows, QStringLiteral("delete"));
            if (r && r->program.anyOk()) {
                g.met = r->program.median() <= 0.1;
                g.value = FormatSeconds(r->program.median());
            }
            goals.append(g);
        }
        ratioGoal(label, rows, QStringLiteral("replace"), 1.5, QStringLiteral("zip -g"));
        ratioGoal(label, rows, QStringLiteral("add"), 0.1,
                  QStringLiteral("7za x + signapk + zip -g"));
        if (FindRow(rows, QStringLiteral("add"))) {
            Goal g{QStringLiteral("%1: add peak memory <= 64 MB").arg(label), {}, {}};
            const Row* r = FindRow(rows, QStringLiteral("add"));
            if (r && r->program.anyOk() && r->program.peakRssKb() > 0) {
                g.met = r->program.peakRssKb() <= 64 * 1024;
                g.value = FormatRss(r->program);
            }
            goals.append(g);
        }
        ratioGoal(label, rows, QStringLiteral("save-signapk"), 0.1, QStringLiteral("signapk -w"));
        ratioGoal(label, rows, QStringLiteral("save-copy"), 3, QStringLiteral("(cp + sha256sum)"));
        if (FindRow(rows, QStringLiteral("save-signapk"))) {
            Goal g{QStringLiteral("%1: save peak memory <= 64 MB").arg(label), {}, {}};
            const Row* r = FindRow(rows, QStringLiteral("save-signapk"));
            if (r && r->program.anyOk() && r->program.peakRssKb() > 0) {
                g.met = r->program.peakRssKb() <= 64 * 1024;
                g.value = FormatRss(r->program);
            }
            goals.append(g);
        }
        ratioGoal(label, rows, QStringLiteral("open"), 1.05, QStringLiteral("7za x"));
        ratioGoal(label, rows, QStringLiteral("onepass"), 1.0, QStringLiteral("cp + sha256sum"));
        if (FindRow(rows, QStringLiteral("onepass"))) {
            Goal g{QStringLiteral("%1: one-pass edit peak memory <= 64 MB").arg(label), {}, {}};
            const Row* r = FindRow(rows, QStringLiteral("onepass"));
            if (r && r->program.anyOk() && r->program.peakRssKb() > 0) {
                g.met = r->program.peakRssKb() <= 64 * 1024;
                g.value = FormatRss(r->program);
            }
            goals.append(g);
        }
        if (FindRow(rows, QStringLiteral("info"))) {
            Goal g{QStringLiteral("%1: info <= 50 ms").arg(label), {}, {}};
            const Row* r = FindRow(rows, QStringLiteral("info"));
            if (r && r->program.anyOk()) {
                g.met = r->program.median() <= 0.050;
                g.value = FormatSeconds(r->program.median());
            }
            goals.append(g);
        }
    }
    // Each edit on the largest package against the smallest.
    if (sizes.size() >= 2) {
        const auto& small = sizes.first();
        const auto& large = sizes.last();
        for (const char* key : {"add", "delete", "replace"}) {
            Goal g{QStringLiteral("%1 at %2 <= 1.2 x %1 at %3")
                       .arg(QLatin1String(key), large.first, small.first),
                   {},
                   {}};
            const Row* a = FindRow(small.second, QLatin1String(key));
            const Row* b = FindRow(large.second, QLatin1String(key));
            if (!a || !b)
                continue;
            if (a && b && a->program.anyOk() && b->program.anyOk() && a->program.median() > 0) {
                const double ratio = b->program.median() / a->program.median();
                g.met = ratio <= 1.2;
                g.value = FormatRatio(ratio) + QStringLiteral(" x");
            }
            goals.append(g);
        }
    }
    if (list) {
        Goal g{QStringLiteral("list refresh of %1 <= 20 ms").arg(list->package), {}, {}};
        if (list->program.anyOk()) {
            g.met = list->program.median() <= 0.020;
            g.value = FormatSeconds(list->program.median());
        }
        goals.append(g);
    }
    return goals;
}

int RunBenchmark(const QStringList& args) {
    Setup setup;
    QStringList sizes{QStringLiteral("600"), QStringLiteral("1500")};
    int rounds = 5;
    int listApks = 3000;
    QString results;
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        const QString& key = args[i];
        const QString& value = args[i + 1];
        if (key == QLatin1String("--data"))
            setup.data = QFileInfo(value).absoluteFilePath();
        else if (key == QLatin1String("--bundle"))
            setup.bundle = QFileInfo(value).absoluteFilePath();
        else if (key == QLatin1String("--sizes"))
            sizes = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
        else if (key == QLatin1String("--rounds"))
            rounds = std::max(1, value.toInt());
        else if (key == QLatin1String("--list-apks"))
            listApks = value.toInt();
        else if (key == QLatin1String("--results"))
            results = value;
        else if (key == QLatin1String("--timeout"))
            g_timeoutSeconds = std::max(1, value.toInt());
        else if (key == QLatin1String("--only"))
            g_only = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
    }
    if (setup.data.isEmpty() || setup.bundle.isEmpty()) {
        std::fprintf(stderr, "usage: bench_Operations --data DIR --bundle DIR [--sizes 600,1500] "
                             "[--rounds 5] [--list-apks 3000] [--results FILE] [--timeout SECONDS] "
                             "[--only KEY[,KEY]]\n");
        return 2;
    }
    g_timeOutput = setup.data + QStringLiteral("/work/time-v.txt");
    QDir().mkpath(setup.data + QStringLiteral("/work"));

    QList<QPair<QString, QList<Row>>> tables;
    for (const QString& size : sizes) {
        const QString package = setup.data + QStringLiteral("/packages/package-%1.zip").arg(size);
        tables.append({size + QStringLiteral(" MB"),
                       BenchSize(setup, package, size + QStringLiteral("MB"), rounds)});
    }
    std::optional<Row> list;
    if (listApks > 0 && Wanted(QStringLiteral("list")))
        list = BenchList(setup, setup.data + QStringLiteral("/packages/list-%1.zip").arg(listApks),
                         rounds);

    QString report;
    QTextStream out(&report);
    out << "# Benchmark " << QDateTime::currentDateTime().toString(Qt::ISODate) << ", " << rounds
        << " rounds, program and baseline alternating\n\n";
    for (const auto& [label, rows] : tables)
        out << "## " << label << " package\n\n" << Table(rows) << "\n";
    if (list)
        out << "## List refresh\n\n" << Table({*list}) << "\n";
    out << "## Goals\n\n";
    for (const Goal& g : Goals(tables, list ? &*list : nullptr))
        out << "- " << g.text << ": "
            << (g.met ? (*g.met ? QStringLiteral("met") : QStringLiteral("NOT met"))
                      : QStringLiteral("not judged (failed)"))
            << (g.value.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(g.value)) << "\n";
    out.flush();
    std::printf("%s", qPrintable(report));
    if (!results.isEmpty()) {
        QFile file(results);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(report.toUtf8()) < 0)
            std::fprintf(stderr, "cannot write %s\n", qPrintable(results));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 5 && args[1] == QLatin1String("--one")) {
        QString appDirectory;
        QString argument;
        for (qsizetype i = 3; i + 1 < args.size(); i += 2) {
            if (args[i] == QLatin1String("--app"))
                appDirectory = args[i + 1];
            else if (args[i] == QLatin1String("--arg"))
                argument = args[i + 1];
        }
        return RunOne(args[2], appDirectory, argument);
    }
    return RunBenchmark(args);
}
