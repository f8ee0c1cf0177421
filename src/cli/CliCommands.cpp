#include "cli/CliCommands.h"

#include "cli/CliOptions.h"
#include "cli/CliReporter.h"
#include "cli/CliWorkspace.h"

#include "core/package/AndroidVersionProbe.h"
#include "core/package/ApkNameRule.h"
#include "core/package/ApkOperations.h"
#include "core/AppState.h"
#include "core/package/ChangeLog.h"
#include "core/io/FileHelpers.h"
#include "core/Messages.h"
#include "core/package/OpenPackage.h"
#include "core/Operation.h"
#include "core/PackageLayout.h"
#include "core/package/ReplaceImage.h"
#include "core/package/SavePackage.h"
#include "core/io/ToolRunner.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <cstdio>
#include <memory>
#include <sys/stat.h>

namespace {

std::atomic<bool> g_interrupted{false};
// The runner of the run in progress, stopped on an interrupt.
ToolRunner* g_runner = nullptr;

void printStandardOutput(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

int usageError(CliCommand command, const QString& cause) {
    PrintError(cause);
    const QByteArray usage = CliUsage(command).toUtf8();
    std::fwrite(usage.constData(), 1, static_cast<size_t>(usage.size()), stderr);
    std::fflush(stderr);
    return kExitUsage;
}

// Both name one file: the same path, links to one file, or hard links.
bool sameFile(const QString& first, const QString& second) {
    if (FileHelpers::IsSameFile(first, second))
        return true;
    struct stat a {};
    struct stat b {};
    return ::stat(QFile::encodeName(first).constData(), &a) == 0 &&
           ::stat(QFile::encodeName(second).constData(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// One run's workspace, state, reporter and tool runner.
class Session {
public:
    Session() {
        if (TerminalProgress::standardErrorIsTerminal())
            m_runner.setObserver(&m_progress);
        g_runner = &m_runner;
    }
    ~Session() { g_runner = nullptr; }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    bool start(const QString& bundleDirectory) {
        QString cause;
        if (!m_workspace.create(bundleDirectory, &cause)) {
            PrintError(cause);
            return false;
        }
        m_state.setAppDirectory(m_workspace.path());
        return true;
    }
    bool open(const QString& package) {
        QString cause;
        if (OpenPackage(op(), package, {}, &cause) != OpenOutcome::Opened) {
            PrintError(QStringLiteral("cannot open \"%1\": %2").arg(package, cause));
            return false;
        }
        return true;
    }
    // Removes the workspace; a failure is told but changes no outcome.
    void finish() {
        const QString path = m_workspace.path();
        if (!m_workspace.remove())
            PrintError(QStringLiteral("warning: cannot remove the workspace \"%1\"").arg(path));
    }
    Operation op() { return {m_state, m_reporter, m_runner}; }
    AppState& state() { return m_state; }
    CliReporter& reporter() { return m_reporter; }

private:
    PrivateWorkspace m_workspace;
    AppState m_state;
    CliReporter m_reporter;
    TerminalProgress m_progress;
    ToolRunner m_runner;
};

QString treeRoot(const AppState& state) {
    return state.paths().extractedTree();
}

// The value of the first "ro.build.version.release" line (the line the
// version probe reads), or a null string.
QString readRelease(const QString& buildProp) {
    QFile file(buildProp);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray key("ro.build.version.release");
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.startsWith(key))
            continue;
        const qsizetype equals = line.indexOf('=');
        return equals < 0 ? QString() : QString::fromUtf8(line.mid(equals + 1).trimmed());
    }
    return {};
}

// The APKs the pages list, as member names, grouped by their directory.
struct ListedApks {
    QStringList systemApp;
    QStringList systemPrivApp;
    QStringList dataApp;
    QStringList treePaths; // every one, as a path of the tree
};

ListedApks listApks(const AppState& state) {
    ListedApks listed;
    const QString root = treeRoot(state);
    const int version = state.androidMajorVersion();
    for (const Partition partition : {Partition::System, Partition::Data}) {
        const QString partitionRoot = root + QLatin1Char('/') + PartitionDirectoryName(partition);
        for (const QString& path : ListPartitionApks(partitionRoot, partition, version)) {
            const QString member = MemberNameOfTreePath(root, path);
            listed.treePaths << path;
            if (partition == Partition::Data)
                listed.dataApp << member;
            else if (member.startsWith(QLatin1String("system/priv-app/")))
                listed.systemPrivApp << member;
            else
                listed.systemApp << member;
        }
    }
    return listed;
}

int runInfo(const CliOptions& options, const QString& bundleDirectory) {
    Session session;
    if (!session.start(bundleDirectory))
        return kExitFailed;
    if (!session.open(options.package)) {
        session.finish();
        return kExitFailed;
    }
    const AppState& state = session.state();
    const QString root = treeRoot(state);
    const QString release = readRelease(root + QStringLiteral("/system/build.prop"));
    const int major = ProbeAndroidVersionFile(root + QStringLiteral("/system/build.prop")).version;
    const bool directoryLayout = state.usesDirectoryLayout();
    const ListedApks apks = listApks(state);

    QJsonArray images;
    QStringList imageLines;
    for (const ImageSlot& slot : kImageSlots) {
        const QString path = root + QLatin1String(slot.treeSuffix);
        const bool present = QFileInfo(path).isFile();
        const QString member = MemberNameOfTreePath(root, path);
        QJsonObject image;
        image.insert(QStringLiteral("slot"), QLatin1String(slot.name));
        image.insert(QStringLiteral("path"), member);
        image.insert(QStringLiteral("present"), present);
        if (present)
            image.insert(QStringLiteral("size"), QFileInfo(path).size());
        images.append(image);
        // The place of an image below a directory is shown beside it.
        const QString place =
            member == QLatin1String(slot.name) ? QString() : QStringLiteral("  (%1)").arg(member);
        imageLines << QStringLiteral("  %1 %2%3")
                          .arg(QString::fromLatin1(slot.name), -18)
                          .arg(present ? QStringLiteral("present") : QStringLiteral("absent"),
                               place);
    }

    session.finish();
    if (options.json) {
        QJsonObject apkLists;
        apkLists.insert(QStringLiteral("system/app"), QJsonArray::fromStringList(apks.systemApp));
        apkLists.insert(QStringLiteral("system/priv-app"),
                        QJsonArray::fromStringList(apks.systemPrivApp));
        apkLists.insert(QStringLiteral("userdata/app"), QJsonArray::fromStringList(apks.dataApp));
        QJsonObject info;
        info.insert(QStringLiteral("package"), QFileInfo(options.package).absoluteFilePath());
        info.insert(QStringLiteral("androidVersion"),
                    release.isNull() ? QJsonValue() : QJsonValue(release));
        info.insert(QStringLiteral("androidMajorVersion"), major);
        info.insert(QStringLiteral("layout"),
                    directoryLayout ? QStringLiteral("directory") : QStringLiteral("flat"));
        info.insert(QStringLiteral("apks"), apkLists);
        info.insert(QStringLiteral("images"), images);
        printStandardOutput(QString::fromUtf8(QJsonDocument(info).toJson(QJsonDocument::Indented)));
        return kExitSuccess;
    }

    QString text;
    text += QStringLiteral("Package: %1\n").arg(QFileInfo(options.package).absoluteFilePath());
    text += QStringLiteral("Android: %1\n")
                .arg(release.isNull() ? QStringLiteral("unknown")
                                      : QStringLiteral("%1 (major %2)").arg(release).arg(major));
    text +=
        QStringLiteral("Layout: %1\n")
            .arg(directoryLayout ? QStringLiteral("directory (each APK in a directory of its own)")
                                 : QStringLiteral("flat"));
    const auto section = [&](const QString& title, const QStringList& members) {
        text += QStringLiteral("%1 (%2):\n").arg(title).arg(members.size());
        for (const QString& member : members)
            text += QStringLiteral("  %1\n").arg(member);
    };
    section(QStringLiteral("system/app"), apks.systemApp);
    section(QStringLiteral("system/priv-app"), apks.systemPrivApp);
    section(QStringLiteral("userdata/app"), apks.dataApp);
    text += QStringLiteral("Images:\n") + imageLines.join(QLatin1Char('\n')) + QLatin1Char('\n');
    printStandardOutput(text);
    return kExitSuccess;
}

// The listed APK a --delete names: by file name, or by its path below the
// package root when the name holds a '/'. False with the cause unless
// exactly one matches.
bool resolveDelete(const AppState& state, const QString& name, QString* path, Partition* partition,
                   QString* error) {
    const QString root = treeRoot(state);
    const bool byPath = name.contains(QLatin1Char('/'));
    QStringList matches;
    for (const QString& candidate : listApks(state).treePaths) {
        const QString member = MemberNameOfTreePath(root, candidate);
        if (byPath ? member == name : FileNamePart(candidate) == name)
            matches << candidate;
    }
    if (matches.isEmpty()) {
        *error =
            QStringLiteral("no APK named \"%1\" in system/app, system/priv-app or userdata/app")
                .arg(name);
        return false;
    }
    if (matches.size() > 1) {
        QStringList members;
        for (const QString& match : matches)
            members << MemberNameOfTreePath(root, match);
        *error = QStringLiteral("\"%1\" names more than one APK: %2 (give its path to pick one)")
                     .arg(name, members.join(QStringLiteral(", ")));
        return false;
    }
    *path = matches.first();
    *partition = MemberNameOfTreePath(root, *path).startsWith(QLatin1String("userdata/"))
                     ? Partition::Data
                     : Partition::System;
    return true;
}

bool applyEdit(Session& session, const CliEdit& edit, QString* error) {
    const Operation op = session.op();
    switch (edit.kind) {
    case CliEdit::Kind::AddSystem:
    case CliEdit::Kind::AddData: {
        const QString source = QFileInfo(edit.argument).absoluteFilePath();
        const bool added =
            AddApk(op, edit.kind == CliEdit::Kind::AddSystem ? Partition::System : Partition::Data,
                   source, error);
        return added;
    }
    case CliEdit::Kind::Delete: {
        QString path;
        Partition partition = Partition::System;
        if (!resolveDelete(session.state(), edit.argument, &path, &partition, error)) {
            op.reporter.message(Msg::DeleteApkFailed(edit.argument));
            return false;
        }
        if (!DeleteApk(op, partition, path, error)) {
            op.reporter.message(Msg::DeleteApkFailed(path));
            return false;
        }
        RecordChange(op, ChangeLogDeleteLine(QDateTime::currentDateTime(), path));
        return true;
    }
    case CliEdit::Kind::Replace: {
        const ImageSlot* slot = FindImageSlot(edit.slot);
        if (!slot) {
            *error = QStringLiteral("unknown image slot \"%1\"").arg(edit.slot);
            return false;
        }
        const Result result = ReplaceImage(op, *slot, QFileInfo(edit.argument).absoluteFilePath());
        if (result.failed())
            *error = result.cause();
        return result.succeeded();
    }
    }
    return false;
}

QString describeEdit(const CliEdit& edit) {
    switch (edit.kind) {
    case CliEdit::Kind::AddSystem:
        return QStringLiteral("--add-system %1").arg(edit.argument);
    case CliEdit::Kind::AddData:
        return QStringLiteral("--add-data %1").arg(edit.argument);
    case CliEdit::Kind::Delete:
        return QStringLiteral("--delete %1").arg(edit.argument);
    case CliEdit::Kind::Replace:
        return QStringLiteral("--replace %1=%2").arg(edit.slot, edit.argument);
    }
    return {};
}

// The run's change-log lines with the places in the private workspace's tree
// written as paths of the package ("system/app"): the workspace is gone after
// the run, and the log reads the same for every run of a customisation.
QStringList packageRelativeLog(const AppState& state) {
    const QString treePrefix = QLatin1Char('"') + treeRoot(state) + QLatin1Char('/');
    QStringList lines = state.changeLog();
    for (QString& line : lines)
        line.replace(treePrefix, QStringLiteral("\""));
    return lines;
}

// Writes the change-log lines into the log's temporary file, opened before
// the save, and renames it over the log.
bool writeLog(FileHelpers::TemporaryFile& file, const QStringList& lines, QString* error) {
    return file.write(EncodeChangeLog(lines), error) && file.commit(error);
}

int runEdit(const CliOptions& options, const QString& bundleDirectory) {
    const QString package = QFileInfo(options.package).absoluteFilePath();
    const QString output = QFileInfo(options.output).absoluteFilePath();
    const QString log =
        options.logFile.isEmpty() ? QString() : QFileInfo(options.logFile).absoluteFilePath();
    if (sameFile(package, output))
        return usageError(CliCommand::Edit, QStringLiteral("the output is the input package"));
    if (QFileInfo(output).isDir())
        return usageError(CliCommand::Edit,
                          QStringLiteral("the output \"%1\" is a directory").arg(options.output));
    if (!log.isEmpty() && (sameFile(log, package) || sameFile(log, output)))
        return usageError(CliCommand::Edit,
                          QStringLiteral("the log cannot be the package or the output"));
    // Missing directories are found before the work, not after it.
    for (const QString& file : {output, log}) {
        if (!file.isEmpty() && !QFileInfo(QFileInfo(file).absolutePath()).isDir()) {
            PrintError(QStringLiteral("the directory of \"%1\" does not exist").arg(file));
            return kExitFailed;
        }
    }

    // The log's file is made before the work: a folder it cannot be written
    // in fails the run while the output is still as it was.
    std::unique_ptr<FileHelpers::TemporaryFile> logFile;
    if (!log.isEmpty()) {
        FileHelpers::RemoveAbandonedTemporaries(log);
        logFile = std::make_unique<FileHelpers::TemporaryFile>(log);
        QString cause;
        if (!logFile->open(&cause)) {
            PrintError(QStringLiteral("cannot write the change log \"%1\": %2")
                           .arg(options.logFile, cause));
            return kExitFailed;
        }
    }

    Session session;
    session.reporter().setOverwriteLibraries(options.overwriteLibraries);
    if (!session.start(bundleDirectory))
        return kExitFailed;
    const auto fail = [&](const QString& cause) {
        PrintError(cause);
        session.finish();
        return int(kExitFailed);
    };
    if (!session.open(package)) {
        session.finish();
        return kExitFailed;
    }
    for (const CliEdit& edit : options.edits) {
        if (g_interrupted)
            return fail(QStringLiteral("stopped before %1").arg(describeEdit(edit)));
        QString cause;
        if (!applyEdit(session, edit, &cause))
            return fail(QStringLiteral("%1: %2").arg(
                describeEdit(edit), cause.isEmpty() ? QStringLiteral("failed") : cause));
    }
    if (g_interrupted)
        return fail(QStringLiteral("stopped before the save"));
    QString cause;
    if (!PutBackConfigFiles(session.op(), &cause))
        return fail(QStringLiteral("cannot put the configuration files back: %1").arg(cause));
    if (!SignPackageTo(session.op(), output, &cause))
        return fail(QStringLiteral("cannot save \"%1\": %2").arg(options.output, cause));
    if (logFile && !writeLog(*logFile, packageRelativeLog(session.state()), &cause))
        return fail(
            QStringLiteral("cannot write the change log \"%1\": %2").arg(options.logFile, cause));
    session.finish();
    return kExitSuccess;
}

} // namespace

void RequestCliInterrupt() {
    g_interrupted = true;
}

void StopCliTools() {
    if (g_runner && g_runner->isRunning())
        g_runner->requestStop();
}

int RunCli(const QStringList& arguments, const QString& bundleDirectory) {
    QStringList expanded;
    QString cause;
    if (!ExpandArgumentFiles(arguments, &expanded, &cause))
        return usageError(CliCommand::None, cause);
    CliOptions options;
    if (!ParseCliArguments(expanded, &options, &cause))
        return usageError(options.command, cause);
    if (options.help) {
        printStandardOutput(CliUsage(options.command));
        return kExitSuccess;
    }
    int status = kExitFailed;
    switch (options.command) {
    case CliCommand::Info:
        status = runInfo(options, bundleDirectory);
        break;
    case CliCommand::Edit:
        status = runEdit(options, bundleDirectory);
        break;
    case CliCommand::None:
        return usageError(CliCommand::None, QStringLiteral("no command given"));
    }
    // A run cut short by a signal ends as the shell expects of one.
    if (g_interrupted && status != kExitSuccess) {
        PrintError(QStringLiteral("interrupted"));
        return kExitInterrupted;
    }
    return status;
}
