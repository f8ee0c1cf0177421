#include "core/workspace/OpenPackage.h"

#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/TestHooks.h"
#include "core/base/ToolRunner.h"
#include "core/base/UniqueFd.h"
#include "core/format/AndroidVersionProbe.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipTreeExtractor.h"
#include "core/package/PackageTools.h"
#include "core/workspace/AppState.h"
#include "core/workspace/TreeSync.h"
#include "core/workspace/WorkingImage.h"
#include "core/workspace/WorkspaceRecord.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool failWith(QString* error, const QString& cause) {
    SetError(error, cause);
    return false;
}

// The working archive is copied beside the extraction, on a thread of its
// own, under a temporary name.
class BackgroundCopy {
public:
    BackgroundCopy(QString from, QString to) : m_from(std::move(from)), m_to(std::move(to)) {
        m_thread = std::thread([this] { m_ok = FileHelpers::CopyFileTo(m_from, m_to, false); });
    }
    ~BackgroundCopy() { wait(); }
    bool wait() {
        if (m_thread.joinable())
            m_thread.join();
        return m_ok;
    }

private:
    QString m_from;
    QString m_to;
    bool m_ok = false;
    std::thread m_thread;
};

// The old tree and working archive are renamed aside at once and deleted on
// a thread of their own while the new package is unpacked: removing a large
// tree costs about as much as writing it, and a large file is not freed for
// nothing either. What a killed run had set aside goes with them.
class BackgroundRemoval {
public:
    BackgroundRemoval(const WorkspacePaths& paths, bool keepWorkingArchive) {
        const QString suffix = QStringLiteral(".old-%1").arg(QCoreApplication::applicationPid());
        const QDir workspace(paths.appDirectory());
        QStringList trees;
        for (const QString& name :
             workspace.entryList({QStringLiteral("srctemp.old-*")}, QDir::Dirs | QDir::Hidden))
            trees << workspace.filePath(name);
        const QString tree = paths.extractedTree();
        if (FileHelpers::IsDirectory(tree)) {
            const QString aside = tree + suffix;
            if (!FileHelpers::IsDirectory(aside) && QDir().rename(tree, aside))
                trees << aside;
            else
                FileHelpers::DeleteDirectoryTree(tree);
        }
        QStringList files;
        const QDir zipTemp(paths.zipTempDir());
        for (const QString& name :
             zipTemp.entryList({QStringLiteral("temp.zip.old-*")}, QDir::Files | QDir::Hidden))
            files << zipTemp.filePath(name);
        const QString archive = paths.workingArchive();
        if (!keepWorkingArchive && QFileInfo(archive).isFile() &&
            FileHelpers::MoveFileTo(archive, archive + suffix))
            files << archive + suffix;
        if (!trees.isEmpty() || !files.isEmpty())
            m_thread = std::thread([trees, files] {
                for (const QString& file : files)
                    FileHelpers::RemoveFile(file);
                for (const QString& directory : trees)
                    FileHelpers::DeleteDirectoryTree(directory);
            });
    }
    ~BackgroundRemoval() {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
};

// What is read of a package before anything of the workspace is touched.
struct PackageContents {
    QList<ArchiveMember> members;
    qint64 uncompressedBytes = 0;
    // Bytes of a stub in front of the ZIP part that the ZIP's offsets do not
    // count: the working archive is the package without them.
    quint64 stubBytes = 0;
};

bool isAscii(const QByteArray& raw) {
    for (const char byte : raw) {
        if (static_cast<unsigned char>(byte) >= 0x80)
            return false;
    }
    return true;
}

// Whether the tree can hold every member under the program's name: a safe
// name, each part short enough for the file system, no two members at one
// path, no member below another's file.
bool checkTreeNames(const QList<ArchiveMember>& members, qint64 maxNameBytes, QString* error) {
    QHash<QString, qsizetype> files;
    QHash<QString, qsizetype> seen;
    for (qsizetype i = 0; i < members.size(); ++i) {
        const ArchiveMember& member = members[i];
        const QString label =
            QStringLiteral("entry %1 (%2)").arg(i).arg(PrintableZipName(member.name.toUtf8()));
        if (MemberPathInTree(QStringLiteral("/"), member.name).isEmpty())
            return failWith(error, QStringLiteral("%1: its name leads out of the tree").arg(label));
        for (const QString& part : member.name.split(QLatin1Char('/'))) {
            if (part.toUtf8().size() > maxNameBytes)
                return failWith(error, QStringLiteral("%1: a part of its name is longer than "
                                                      "the %2 bytes the tree takes")
                                           .arg(label)
                                           .arg(maxNameBytes));
        }
        const auto earlier = seen.constFind(member.name);
        if (earlier != seen.cend() && !(member.isDirectory && !files.contains(member.name)))
            return failWith(error, QStringLiteral("%1: the same name in the tree as entry %2")
                                       .arg(label)
                                       .arg(earlier.value()));
        seen.insert(member.name, i);
        if (!member.isDirectory)
            files.insert(member.name, i);
    }
    for (qsizetype i = 0; i < members.size(); ++i) {
        const QString& name = members[i].name;
        for (qsizetype slash = name.indexOf(QLatin1Char('/')); slash > 0;
             slash = name.indexOf(QLatin1Char('/'), slash + 1)) {
            const auto file = files.constFind(name.left(slash));
            if (file != files.cend())
                return failWith(error, QStringLiteral("entry %1 (%2): it lies below the file of "
                                                      "entry %3")
                                           .arg(i)
                                           .arg(PrintableZipName(name.toUtf8()))
                                           .arg(file.value()));
        }
    }
    return true;
}

// Whether the device reads every member, judged on the archive as the
// workspace will hold it: without a stub, and with the names the program
// gives the members (a code page 936 name is renamed to its UTF-8 spelling
// in the tree, so the code page is no reason to refuse; a name the code
// page cannot map is).
bool checkDeviceReadable(ZipDirectory directory, const QList<ArchiveMember>& members,
                         quint64 stubBytes, QString* error) {
    for (qsizetype i = 0; i < directory.entries.size(); ++i) {
        ZipCentralEntry& entry = directory.entries[i];
        entry.localHeaderOffset -= stubBytes;
        if ((entry.flags & kZipFlagUtf8) || isAscii(entry.rawName))
            continue;
        if (members[i].name.contains(QChar(0xFFFD)))
            return failWith(error, QStringLiteral("entry %1 (%2): its name is neither UTF-8 nor "
                                                  "code page 936")
                                       .arg(i)
                                       .arg(PrintableZipName(entry.rawName)));
        entry.rawName = members[i].name.toUtf8();
        entry.flags |= kZipFlagUtf8;
    }
    directory.directoryOffset -= stubBytes;
    return CheckDeviceReadable(directory, error);
}

// Reads the package's central directory and checks that the device and the
// tree can take every member. False with the reader's or the check's cause.
bool readPackage(const QString& package, qint64 maxNameBytes, PackageContents* contents,
                 QString* error) {
    const UniqueFd fd = OpenUniqueFd(package, O_RDONLY);
    if (!fd.isOpen())
        return failWith(error, QStringLiteral("cannot open the package: %1").arg(systemError()));
    ZipDirectory directory;
    QString cause;
    const bool read = ReadZipDirectory(fd.get(), &directory, &cause);
    if (!read)
        return failWith(error, QStringLiteral("not a readable ZIP archive: %1").arg(cause));
    if (directory.entries.isEmpty())
        return failWith(error, QStringLiteral("the package is empty"));
    contents->stubBytes = directory.prefixBias;
    contents->members = ArchiveMembersOf(directory);
    for (const ArchiveMember& member : contents->members)
        contents->uncompressedBytes += static_cast<qint64>(member.uncompressedSize);
    return checkDeviceReadable(directory, contents->members, contents->stubBytes, error) &&
           checkTreeNames(contents->members, maxNameBytes, error);
}

// True when the package lies where the open clears or replaces (the tree, a
// tree set aside, the working archive's folder), resolved through links.
bool liesInClearedPlace(const QString& package, const WorkspacePaths& paths) {
    const QString file = QFileInfo(package).canonicalFilePath();
    const QString root = QFileInfo(paths.appDirectory()).canonicalFilePath();
    if (file.isEmpty() || root.isEmpty() || !file.startsWith(root + QLatin1Char('/')))
        return false;
    const QString first = file.mid(root.size() + 1).section(QLatin1Char('/'), 0, 0);
    return first == QLatin1String("srctemp") || first.startsWith(QLatin1String("srctemp.old-")) ||
           first == QLatin1String("zipTemp");
}

// Copies the package from offset `start` (its ZIP part) into the open file.
bool copyFrom(const QString& package, quint64 start, FileHelpers::TemporaryFile& out,
              QString* error) {
    const int in = ::open(QFile::encodeName(package).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return failWith(error, QStringLiteral("cannot open the package: %1").arg(systemError()));
    auto offset = static_cast<off_t>(start);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::copy_file_range(in, &offset, out.handle(), nullptr, 1 << 30, 0);
        if (n == 0)
            break;
        if (n > 0)
            continue;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
            SetError(error, QStringLiteral("cannot copy the package: %1").arg(systemError()));
            ok = false;
            break;
        }
        // Not across these file systems: through a buffer.
        QByteArray buffer(1 << 20, Qt::Uninitialized);
        for (;;) {
            const ssize_t r =
                ::pread(in, buffer.data(), static_cast<size_t>(buffer.size()), offset);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0) {
                SetError(error, QStringLiteral("cannot read the package: %1").arg(systemError()));
                ok = false;
            }
            if (r <= 0)
                break;
            offset += r;
            if (!out.write(buffer.constData(), r, error)) {
                ok = false;
                break;
            }
        }
        break;
    }
    ::close(in);
    return ok;
}

// The tree of the package: every member at its path under the program's name
// (MemberNames.h), written on every core. A stop or a failure leaves no tree.
bool ExtractTree(ToolRunner& runner, const QString& source, const QList<ArchiveMember>& members,
                 const QString& tree, QString* error) {
    ZipTreeExtraction extraction;
    for (qsizetype i = 0; i < members.size(); ++i) {
        const ZipTreeFile file{static_cast<quint64>(i), MemberPathInTree(tree, members[i].name)};
        (members[i].isDirectory ? extraction.directories : extraction.files).append(file);
    }
    extraction.directories.append(ZipTreeFile{~quint64(0), tree});
    extraction.stopRequested = [&runner] {
        FaultPoint("open:extracting");
        return runner.stopRequested();
    };
    const bool extracted = runner.runInBackground(
        QStringLiteral("Decompressing files"),
        [&](const ToolRunner::PercentCallback& progress) {
            extraction.progress = progress;
            return ExtractZipTree(source, extraction, error);
        },
        true);
    if (!extracted)
        FileHelpers::DeleteDirectoryTree(tree);
    return extracted;
}

// One open, step by step; each failure ends it through one of the two exits.
class Opening {
public:
    Opening(const Operation& op, const QString& package, const OpenPackageHooks& hooks)
        : m_op(op), m_paths(op.state.paths()), m_package(package), m_hooks(hooks),
          m_tree(m_paths.extractedTree()) {}

    OpenResult run() {
        if (!FileHelpers::PathExists(m_package))
            return refuse(false, Msg::FileDoesNotExist(m_package), QStringLiteral("no such file"));
        // A file that is not a readable ZIP, or one the device or the tree
        // cannot take, must not cost the current work.
        QString cause;
        if (!readPackage(m_package, FileHelpers::MaxTargetNameBytes(m_op.state.appDirectory()),
                         &m_contents, &cause))
            return refuse(false, Msg::UnzipFailed(cause), cause);
        m_reopening = FileHelpers::IsSameFile(m_package, m_paths.workingArchive());
        if (const qint64 missing = missingSpace(); missing > 0)
            return refuse(false,
                          Msg::NotEnoughSpace(m_op.state.appDirectory(), missing, m_available),
                          QStringLiteral("not enough free space"));
        if (m_hooks.mayReplace && !m_hooks.mayReplace())
            return {Result::declined(), OpenOutcome::Refused};
        // A package with a stub, or one where the open clears, is copied to
        // the working archive before anything else.
        if (!m_reopening && (m_contents.stubBytes > 0 || liesInClearedPlace(m_package, m_paths)) &&
            !stageCopy(&cause))
            return refuse(true, Msg::CannotCopyZip(), cause);

        if (m_hooks.accepted)
            m_hooks.accepted();
        if (!recordOpening())
            return fail(true, Msg::CannotCreateTempDirectory(),
                        QStringLiteral("cannot write the workspace record"));
        FaultPoint("open:recorded");
        // The old working archive no longer matches any tree: it goes with the
        // old tree (unless it is the package being opened).
        const BackgroundRemoval oldWork(m_paths, m_reopening);
        RemoveWorkingImage(m_paths);
        FaultPoint("open:tree-deleted");
        startCopy();
        return unpack();
    }

private:
    // A failure's message in a window's box, or with `warning` in an
    // application box.
    static Result failure(bool warning, const QString& text, const QString& cause) {
        return Result::failed(
            Notice::failure(text, warning ? Notice::Box::Application : Notice::Box::Window), cause);
    }

    OpenResult refuse(bool warning, const QString& text, const QString& cause) {
        m_staged.reset();
        return {failure(warning, text, cause), OpenOutcome::Refused};
    }

    // After the old tree went: the copy is dropped, the lists re-read.
    OpenResult fail(bool warning, const QString& text, const QString& cause) {
        dropCopy();
        if (m_hooks.treeChanged)
            m_hooks.treeChanged();
        return {failure(warning, text, cause), OpenOutcome::Failed};
    }

    // Room for the tree and the working archive, counted before anything is
    // deleted. What the open frees counts as free: the old working archive
    // and the tree that matches it (as big as its members unpacked). The
    // bytes missing, 0 when there is room (or the room is unknown).
    qint64 missingSpace() {
        m_available = FileHelpers::AvailableBytes(m_op.state.appDirectory());
        const qint64 available = m_available;
        const qint64 needed =
            m_contents.uncompressedBytes + (m_reopening ? 0 : QFileInfo(m_package).size());
        qint64 freed = 0;
        ZipSummary old;
        if (!m_reopening &&
            WorkspaceRecord::read(m_paths.workspaceRecord()).stage ==
                WorkspaceRecord::Stage::Open &&
            SummariseZipArchive(m_paths.workingArchive(), &old))
            freed = QFileInfo(m_paths.workingArchive()).size() + old.uncompressedBytes;
        if (available < 0 || available + freed >= needed)
            return 0;
        return needed - freed;
    }

    bool stageCopy(QString* cause) {
        if (!FileHelpers::PathExists(m_paths.zipTempDir()))
            FileHelpers::CreateDirectory(m_paths.zipTempDir());
        m_staged = std::make_unique<FileHelpers::TemporaryFile>(m_paths.workingArchive());
        return m_staged->open(cause) && copyFrom(m_package, m_contents.stubBytes, *m_staged, cause);
    }

    // From here on the tree no longer matches any working archive: no edit may
    // reach the old one, and a start after a crash must not offer it.
    bool recordOpening() {
        m_op.state.setWorkingArchivePath(QString());
        m_record.stage = WorkspaceRecord::Stage::Opening;
        m_record.package = QFileInfo(m_package).absoluteFilePath();
        m_record.opened = QDateTime::currentDateTimeUtc();
        if (!FileHelpers::PathExists(m_paths.zipTempDir()))
            FileHelpers::CreateDirectory(m_paths.zipTempDir());
        return m_record.write(m_paths.workspaceRecord());
    }

    // The file 7-Zip and the renaming read: the staged copy when there is one.
    QString source() const { return m_staged ? m_staged->path() : m_package; }
    QString partial() const { return m_paths.workingArchive() + QStringLiteral(".part"); }

    void startCopy() {
        if (m_reopening || m_staged)
            return;
        FileHelpers::RemoveFile(partial());
        m_copy = std::make_unique<BackgroundCopy>(m_package, partial());
    }

    void dropCopy() {
        m_staged.reset();
        if (m_copy) {
            m_copy->wait();
            m_copy.reset();
            FileHelpers::RemoveFile(partial());
        }
    }

    // The complete copy replaces the old working archive in one rename. Like
    // the tree, it is not flushed: both can be made again from the package,
    // and a start checks them before it offers them (a flush here would wait
    // for every byte of both to reach the disk).
    bool placeCopy(QString* cause) {
        if (m_staged) {
            const bool placed = m_staged->commitScratch(cause);
            m_staged.reset();
            return placed;
        }
        if (!m_copy)
            return true;
        const bool placed = m_copy->wait() &&
                            QFileInfo(partial()).size() == QFileInfo(m_package).size() &&
                            ::rename(QFile::encodeName(partial()).constData(),
                                     QFile::encodeName(m_paths.workingArchive()).constData()) == 0;
        m_copy.reset();
        if (!placed) {
            FileHelpers::RemoveFile(partial());
            SetError(cause, QStringLiteral("cannot copy the package to the working archive"));
        }
        return placed;
    }

    OpenResult unpack() {
        QString cause;
        if (!ExtractTree(m_op.runner, source(), m_contents.members, m_tree, &cause))
            return fail(false,
                        cause == QLatin1String("stopped") ? Msg::UnzipFailed()
                                                          : Msg::UnzipFailed(cause),
                        cause);
        FaultPoint("open:extracted");
        if (!placeCopy(&cause))
            return fail(true, Msg::CannotCopyZip(), cause);
        FaultPoint("open:archive-in-place");
        // A system partition carried as an image: its files join the tree.
        if (!OpenWorkingImage(m_op.runner, m_paths, m_tree, &cause)) {
            FileHelpers::DeleteDirectoryTree(m_tree);
            return fail(false,
                        cause == QLatin1String("stopped") ? Msg::UnzipFailed()
                                                          : Msg::UnzipFailed(cause),
                        cause);
        }

        AppState& state = m_op.state;
        // A build.prop that cannot be read is told at once: the open goes on
        // without the version.
        const int version =
            ProbeAndroidVersion(m_op.reporter, m_tree + QStringLiteral("/system/build.prop"));
        if (version != 0)
            state.setAndroidMajorVersion(version);
        m_record.stage = WorkspaceRecord::Stage::Open;
        if (!m_record.write(m_paths.workspaceRecord(), nullptr, false))
            return fail(true, Msg::CannotCopyZip(),
                        QStringLiteral("cannot write the workspace record"));
        FaultPoint("open:recorded-open");
        state.setWorkingArchivePath(m_paths.workingArchive());
        state.setUnsavedEdits(false);
        if (m_hooks.treeChanged)
            m_hooks.treeChanged();
        return {Result::done(Notice::success(Msg::UnzipSucceeded())), OpenOutcome::Opened};
    }

    const Operation& m_op;
    const WorkspacePaths m_paths;
    const QString m_package;
    const OpenPackageHooks& m_hooks;
    const QString m_tree;
    PackageContents m_contents;
    bool m_reopening = false;
    qint64 m_available = -1;
    WorkspaceRecord m_record;
    std::unique_ptr<FileHelpers::TemporaryFile> m_staged; // the package copied before the open
    std::unique_ptr<BackgroundCopy> m_copy;               // the copy made beside the extraction
};

} // namespace

OpenResult OpenPackage(const Operation& op, const QString& package, const OpenPackageHooks& hooks) {
    return Opening(op, package, hooks).run();
}
