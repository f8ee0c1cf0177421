#include "core/workspace/SavePackage.h"

#include "core/base/DriveType.h"
#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/TestHooks.h"
#include "core/base/ToolRunner.h"
#include "core/base/UniqueFd.h"
#include "core/crypto/SignedCopy.h"
#include "core/crypto/WholeFileSignature.h"
#include "core/crypto/WrittenPackageCheck.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipMemberReader.h"
#include "core/package/PackageLayout.h"
#include "core/workspace/AppState.h"
#include "core/workspace/TreeSync.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr qint64 kReadChunk = 1 << 20;

// The record of the output of a save under way: the next start removes what
// a kill left beside it.
QString pendingSaveRecord(const WorkspacePaths& paths) {
    return paths.zipTempDir() + QStringLiteral("/save.pending");
}

// Where outputs for drives that are not fixed are signed first: a folder of
// its own, so that no name the user chooses meets the workspace's files.
QString stagingDirectory(const WorkspacePaths& paths) {
    return paths.zipTempDir() + QStringLiteral("/staged-saves");
}

bool recordPendingSave(const WorkspacePaths& paths, const QString& output, QString* error) {
    FileHelpers::TemporaryFile record(pendingSaveRecord(paths));
    return record.open(error) && record.write(output.toUtf8() + '\n', error) &&
           record.commit(error);
}

void clearPendingSave(const WorkspacePaths& paths) {
    FileHelpers::RemoveFile(pendingSaveRecord(paths));
}

// Removes the file unless a live writer holds its lock.
void removeIfUnlocked(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
        ::unlink(native.constData());
    ::close(fd);
}

// The test key's files, named where they really are: the configuration
// folder may be a link (a command-line run's workspace links the bundle's),
// and a message must not name a path that is gone after the run.
QString keyFile(const WorkspacePaths& paths, const char* name) {
    const QFileInfo file(paths.keyFile(QLatin1String(name)));
    const QString directory = QFileInfo(file.path()).canonicalFilePath();
    return directory.isEmpty() ? file.filePath() : directory + QLatin1Char('/') + file.fileName();
}

bool readDirectory(const QString& path, const UniqueFd& file, ZipDirectory* directory,
                   QString* cause) {
    if (!file.isOpen()) {
        *cause = QStringLiteral("cannot open \"%1\": %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return ReadZipDirectory(file.get(), directory, cause);
}

// The entries of the archive that go into its signed package.
QList<ZipCentralEntry> signedEntries(const ZipDirectory& directory) {
    QList<ZipCentralEntry> kept;
    for (const ZipCentralEntry& entry : directory.entries) {
        const QString name = DecodeMemberName(entry.rawName, entry.flags & kZipFlagUtf8);
        const bool isDirectory = entry.rawName.endsWith('/') || entry.rawName.endsWith('\\');
        if (name != QLatin1String(kOtaCertMember) && KeptInSignedPackage(name, isDirectory))
            kept.append(entry);
    }
    return kept;
}

// Signs into the open temporary file and checks it as the device will read
// it, behind one busy display.
bool signAndCheck(const Operation& op, FileHelpers::TemporaryFile& file, QString* error) {
    const WorkspacePaths paths = op.state.paths();
    const QString certificate = keyFile(paths, "testkey.x509.pem");
    const QString key = keyFile(paths, "testkey.pk8");
    ToolRunner& runner = op.runner;
    return runner.runInBackground(
        QStringLiteral("Signing files"), [&](const ToolRunner::PercentCallback& progress) {
            const auto percent = [&](int done) {
                progress(done);
                return !runner.stopRequested();
            };
            WrittenPackageCheck check;
            if (!WriteSignedCopy(op.state.workingArchivePath(), {}, certificate, key, file, percent,
                                 error, &check))
                return false;
            FaultPoint("save:signed");
            return check.finish(file.path(), certificate, error);
        });
}

Result failure(const QString& text, const QString& cause) {
    return Result::failed(Notice::failure(text), cause);
}

// A failure when the folder has not room for the bytes, else nothing.
std::optional<Result> roomMissing(const QString& directory, qint64 bytes) {
    const qint64 available = FileHelpers::AvailableBytes(directory);
    if (available < 0 || available >= bytes)
        return std::nullopt;
    return failure(Msg::NotEnoughSpace(directory, bytes, available),
                   QStringLiteral("not enough free space"));
}

// Copies the checked package from the staging folder to a temporary file
// beside the output, flushed (a removable drive may be pulled right after)
// and of the same size, then renames it over the output.
bool copyStagedTo(const QString& staged, const QString& output, QString* error) {
    UniqueFd source = OpenUniqueFd(staged, O_RDONLY);
    struct stat info;
    if (!source.isOpen() || ::fstat(source.get(), &info) != 0) {
        *error = QStringLiteral("cannot read the staged package \"%1\": %2")
                     .arg(staged, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    FileHelpers::TemporaryFile copy(output);
    if (!copy.open(error))
        return false;
    QByteArray buffer(kReadChunk, Qt::Uninitialized);
    for (quint64 done = 0; done < static_cast<quint64>(info.st_size);) {
        const qint64 want = static_cast<qint64>(qMin<quint64>(
            static_cast<quint64>(info.st_size) - done, static_cast<quint64>(buffer.size())));
        QString cause;
        if (!ReadZipBytesAt(source.get(), done, buffer.data(), want, &cause)) {
            *error = QStringLiteral("the staged package \"%1\": %2").arg(staged, cause);
            return false;
        }
        if (!copy.write(buffer.constData(), want, error))
            return false;
        done += static_cast<quint64>(want);
    }
    struct stat written;
    if (!copy.sync(error))
        return false;
    if (::fstat(copy.handle(), &written) != 0 || written.st_size != info.st_size) {
        *error = QStringLiteral("the copy \"%1\" does not have the size of the staged package")
                     .arg(copy.path());
        return false;
    }
    FaultPoint("save:copied");
    return copy.commit(error);
}

Result saved() {
    return Result::done(Notice::success(Msg::SaveSucceeded()));
}

Result signStraightInto(const Operation& op, const QString& output) {
    FileHelpers::TemporaryFile temporary(output);
    QString cause;
    if (!temporary.open(&cause) || !signAndCheck(op, temporary, &cause))
        return failure(Msg::SignFailed(cause), cause);
    FaultPoint("save:verified");
    if (!temporary.commit(&cause))
        return failure(Msg::SaveFailed(cause), cause);
    return saved();
}

Result signStagedInto(const Operation& op, const QString& output) {
    const QString staging = stagingDirectory(op.state.paths());
    // The folder goes with the staged copy, after success and failure alike.
    struct RemoveStaging {
        const QString& directory;
        ~RemoveStaging() { FileHelpers::RemoveEmptyDirectory(directory); }
    } removeStaging{staging};
    FileHelpers::TemporaryFile staged(staging + QLatin1Char('/') + QFileInfo(output).fileName());
    QString cause;
    if ((!FileHelpers::IsDirectory(staging) && !FileHelpers::CreateDirectory(staging)) ||
        !staged.open(&cause) || !signAndCheck(op, staged, &cause)) {
        if (cause.isEmpty())
            cause = QStringLiteral("cannot create the folder \"%1\"").arg(staging);
        return failure(Msg::SignFailed(cause), cause);
    }
    FaultPoint("save:verified");
    if (!copyStagedTo(staged.path(), output, &cause))
        return failure(Msg::SaveFailed(cause), cause);
    return saved();
}

// Larger files are no configuration files: they are never compared.
constexpr qint64 kLargestConfigFile = 64 << 20;

// The members of the working archive, read for a comparison with the tree.
class ArchiveMembers {
public:
    explicit ArchiveMembers(const QString& archive) : m_file(OpenUniqueFd(archive, O_RDONLY)) {
        QString cause;
        if (!readDirectory(archive, m_file, &m_directory, &cause))
            m_directory = ZipDirectory();
    }

    // The bytes of the member (its last entry), or a null array when the
    // archive has none or it is too large to be a configuration file.
    QByteArray bytesOf(const QString& member) const {
        for (qsizetype i = m_directory.entries.size() - 1; i >= 0; --i) {
            const ZipCentralEntry& entry = m_directory.entries[i];
            if (DecodeMemberName(entry.rawName, entry.flags & kZipFlagUtf8) != member ||
                entry.rawName.endsWith('/'))
                continue;
            if (entry.uncompressedSize > static_cast<quint64>(kLargestConfigFile))
                return QByteArray();
            QByteArray data("");
            QString unread;
            if (!ReadZipMemberData(
                    m_file.get(), entry,
                    [&](const char* p, qint64 n) {
                        data.append(p, n);
                        return true;
                    },
                    &unread))
                return QByteArray();
            return data;
        }
        return QByteArray();
    }

private:
    const UniqueFd m_file;
    ZipDirectory m_directory;
};

// Members the device cannot read refuse the save before anything is written.
// Judged as the signed package will lay the entries out: from its first byte,
// the working archive's dead bytes left out. Names as the program shows them:
// one the device would read under another spelling is refused too.
std::optional<Result> unreadableOnDevice(const QString& archive) {
    const UniqueFd file = OpenUniqueFd(archive, O_RDONLY);
    ZipDirectory directory;
    QString cause;
    if (!readDirectory(archive, file, &directory, &cause))
        return failure(Msg::SignFailed(cause), cause);
    const quint64 start = ZipPartStart(directory);
    for (ZipCentralEntry& entry : directory.entries)
        entry.localHeaderOffset -= start;
    if (!CheckDeviceReadable(directory, &cause, true))
        return failure(Msg::NotReadableOnDevice(cause), cause);
    return std::nullopt;
}

} // namespace

Result WriteSignedPackage(const QString& archive, const QString& certificatePem,
                          const QString& privateKeyPk8, const QString& output,
                          const std::function<bool(int percent)>& progress) {
    FileHelpers::TemporaryFile out(output);
    QString cause;
    if (out.open(&cause) &&
        WriteSignedCopy(archive, {}, certificatePem, privateKeyPk8, out, progress, &cause) &&
        out.commit(&cause))
        return Result::done();
    return Result::failed({}, cause);
}

qint64 SignedPackageSizeBound(const QString& archive) {
    const UniqueFd file = OpenUniqueFd(archive, O_RDONLY);
    ZipDirectory directory;
    QString cause;
    if (!readDirectory(archive, file, &directory, &cause))
        return -1;
    // Entries copied as they are; their central records may grow by a ZIP64
    // field; then the otacert (a certificate is small), the end records and
    // the largest comment a signature can take.
    qint64 bytes = 0;
    for (const ZipCentralEntry& entry : signedEntries(directory))
        bytes += static_cast<qint64>(entry.extentEnd - entry.localHeaderOffset) + 46 + 28 +
                 entry.rawName.size() + entry.extra.size() + entry.comment.size();
    constexpr qint64 kOtaCertAndEnd = (64 << 10) + 512;
    constexpr qint64 kLargestComment = 2 + 0xffff;
    return bytes + kOtaCertAndEnd + kLargestComment;
}

namespace {

// The configuration files of the tree that differ from their members, as
// changes that put them back. False with the file and the cause when one
// cannot be read.
bool configFileChanges(const AppState& state, QList<ArchiveChange>* changes, QString* failedFile,
                       QString* cause) {
    const QString treeRoot = state.paths().extractedTree();
    const ArchiveMembers archive(state.workingArchivePath());
    for (const ConfigFile& config : kConfigFiles) {
        const QString file = treeRoot + QLatin1String(config.treeSuffix);
        if (!FileHelpers::PathExists(file))
            continue;
        const QString member = MemberNameOfTreePath(treeRoot, file);
        QFile tree(file);
        if (!tree.open(QIODevice::ReadOnly)) {
            *failedFile = file;
            *cause = tree.errorString();
            return false;
        }
        // Unchanged files stay as they are: no commit for nothing.
        if (tree.size() <= kLargestConfigFile && tree.readAll() == archive.bytesOf(member))
            continue;
        changes->append({ArchiveChangeKind::Put, member, file});
    }
    return true;
}

} // namespace

bool HoldsUnsavedEdits(const AppState& state) {
    if (!state.hasPackage())
        return false;
    if (state.unsavedEdits())
        return true;
    QList<ArchiveChange> changes;
    QString file, cause;
    // A file that cannot be read may hold edits: asked about too.
    return !configFileChanges(state, &changes, &file, &cause) || !changes.isEmpty();
}

Result PutBackConfigFiles(const Operation& op) {
    AppState& state = op.state;
    if (!state.hasPackage())
        return failure(Msg::NoPackageOpen(), QStringLiteral("no package is open"));
    QList<ArchiveChange> changes;
    QString failedFile, cause;
    // Named here: the commit's failure would not say which file.
    if (!configFileChanges(state, &changes, &failedFile, &cause))
        return failure(Msg::CannotUpdateInPackage(failedFile), cause);
    // A present file that cannot be put back stops the save: the signed
    // package would silently lack the user's edits.
    if (!changes.isEmpty() &&
        !UpdateWorkingArchive(op.runner, state.workingArchivePath(), changes, &cause))
        return failure(Msg::CannotUpdateInPackage(changes.constFirst().sourceFile), cause);
    if (!changes.isEmpty())
        state.setUnsavedEdits(true);
    return Result::done();
}

Result SignPackageTo(const Operation& op, const QString& output) {
    const AppState& state = op.state;
    const WorkspacePaths paths = state.paths();
    const QString archive = state.workingArchivePath();
    if (!state.hasPackage())
        return failure(Msg::NoPackageOpen(), QStringLiteral("no package is open"));
    if (FileHelpers::IsSameFile(output, archive))
        return failure(Msg::WorkingArchiveNotOutput(archive),
                       QStringLiteral("the output is the working archive"));
    // What an earlier save to this output left when it was killed.
    FileHelpers::RemoveAbandonedTemporaries(output);
    if (std::optional<Result> refused = unreadableOnDevice(archive))
        return *std::move(refused);

    const bool staged = IsOnNonFixedDrive(output);
    const qint64 needed = SignedPackageSizeBound(archive);
    if (std::optional<Result> full = roomMissing(QFileInfo(output).absolutePath(), needed))
        return *std::move(full);
    if (std::optional<Result> full =
            staged ? roomMissing(paths.zipTempDir(), needed) : std::nullopt)
        return *std::move(full);

    QString cause;
    if (!recordPendingSave(paths, QFileInfo(output).absoluteFilePath(), &cause))
        return failure(Msg::SaveFailed(cause), cause);
    Result result = staged ? signStagedInto(op, output) : signStraightInto(op, output);
    clearPendingSave(paths);
    if (result.succeeded())
        op.state.setUnsavedEdits(false);
    return result;
}

void RemoveSaveLeftovers(const WorkspacePaths& paths) {
    const QString record = pendingSaveRecord(paths);
    QFile file(record);
    if (file.open(QIODevice::ReadOnly)) {
        const QString output = QString::fromUtf8(file.readAll()).trimmed();
        file.close();
        if (!output.isEmpty()) {
            FileHelpers::RemoveAbandonedTemporaries(output);
            // Earlier versions recorded their one temporary file itself.
            if (FileHelpers::IsTemporaryName(QFileInfo(output).fileName()))
                removeIfUnlocked(output);
        }
    }
    FileHelpers::RemoveFile(record);
    FileHelpers::RemoveAbandonedTemporaries(record);
    const QString staging = stagingDirectory(paths);
    if (FileHelpers::IsDirectory(staging)) {
        FileHelpers::RemoveAbandonedTemporariesIn(staging);
        FileHelpers::RemoveEmptyDirectory(staging);
    }
}

Result VerifySignedPackage(const QString& path, const QString& certificatePem) {
    // The check after writing, with the file's bytes read as they were
    // written.
    const UniqueFd file = OpenUniqueFd(path, O_RDONLY);
    ZipDirectory directory;
    QString cause;
    if (!readDirectory(path, file, &directory, &cause))
        return Result::failed(
            {}, QStringLiteral("the signed package is not a readable ZIP: %1").arg(cause));
    QList<ZipCentralEntry> entries = directory.entries;
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.localHeaderOffset < b.localHeaderOffset;
    });
    WrittenPackageCheck check;
    for (const ZipCentralEntry& entry : entries)
        check.expect(entry);
    QByteArray buffer(kReadChunk, Qt::Uninitialized);
    for (quint64 done = 0; done < directory.fileSize;) {
        const qint64 want = static_cast<qint64>(
            qMin<quint64>(directory.fileSize - done, static_cast<quint64>(buffer.size())));
        if (!ReadZipBytesAt(file.get(), done, buffer.data(), want, &cause))
            return Result::failed({}, cause);
        check.take(buffer.constData(), want);
        done += static_cast<quint64>(want);
    }
    if (!check.finish(path, certificatePem, &cause))
        return Result::failed({}, cause);
    return Result::done();
}
