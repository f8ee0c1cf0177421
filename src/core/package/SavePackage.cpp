#include "core/package/SavePackage.h"

#include "core/AppState.h"
#include "core/zip/ArchiveEditor.h"
#include "core/io/DriveType.h"
#include "core/io/ErrorText.h"
#include "core/io/FaultPoints.h"
#include "core/io/FileHelpers.h"
#include "core/Messages.h"
#include "core/Operation.h"
#include "core/PackageLayout.h"
#include "core/io/PackageTools.h"
#include "core/Reporter.h"
#include "core/io/ToolRunner.h"
#include "core/package/TreeSync.h"
#include "core/zip/WholeFileSignature.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <zip.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

QString pendingSaveRecord(const WorkspacePaths& paths) {
    return paths.zipTempDir() + QStringLiteral("/save.pending");
}

// The temporary name of an output: hidden, beside it, recognisable.
QString temporaryOutputFor(const QString& output) {
    const QFileInfo info(output);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() +
           QStringLiteral(".corvane-part");
}

bool recordPendingSave(const WorkspacePaths& paths, const QString& temporary) {
    QSaveFile file(pendingSaveRecord(paths));
    return file.open(QIODevice::WriteOnly) &&
           FileHelpers::WriteAll(file, temporary.toUtf8() + '\n') && file.commit();
}

void clearPendingSave(const WorkspacePaths& paths, const QString& temporary) {
    if (!temporary.isEmpty() && FileHelpers::PathExists(temporary))
        FileHelpers::RemoveFile(temporary);
    FileHelpers::RemoveFile(pendingSaveRecord(paths));
}

// The bytes of the member, or a null array when the archive has none (or
// it is too large to be a configuration file).
QByteArray memberBytes(zip_t* zip, const QList<ArchiveMember>& members, const QString& member) {
    for (qsizetype i = members.size() - 1; i >= 0; --i) {
        if (members[i].name != member || members[i].isDirectory)
            continue;
        if (members[i].uncompressedSize > (64u << 20))
            return {};
        const auto index = static_cast<zip_uint64_t>(i);
        zip_file_t* file = zip_fopen_index(zip, index, 0);
        if (!file)
            return {};
        QByteArray data(static_cast<qsizetype>(members[i].uncompressedSize), Qt::Uninitialized);
        const zip_int64_t read = zip_fread(file, data.data(), members[i].uncompressedSize);
        zip_fclose(file);
        if (read != static_cast<zip_int64_t>(members[i].uncompressedSize))
            return {};
        return data.isNull() ? QByteArray("") : data;
    }
    return {};
}

// Feeds a signer on a thread of its own: the writer hands over copies of what
// it writes, at most a few MiB ahead of the digest.
class DigestPipe {
public:
    explicit DigestPipe(WholeFileSigner& signer)
        : m_thread([this, &signer] {
              std::unique_lock<std::mutex> lock(m_mutex);
              for (;;) {
                  m_ready.wait(lock, [this] { return !m_chunks.empty() || m_closed; });
                  if (m_chunks.empty())
                      return;
                  const QByteArray chunk = m_chunks.front();
                  m_chunks.pop_front();
                  m_room.notify_one();
                  lock.unlock();
                  signer.update(chunk.constData(), chunk.size());
                  lock.lock();
              }
          }) {}
    ~DigestPipe() { finish(); }

    void push(const char* data, qint64 size) {
        QByteArray chunk(data, size);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_room.wait(lock, [this] { return m_chunks.size() < 8; });
        m_chunks.push_back(std::move(chunk));
        m_ready.notify_one();
    }
    // Waits until every byte handed over is in the digest.
    void finish() {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
        }
        m_ready.notify_one();
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::condition_variable m_room;
    std::deque<QByteArray> m_chunks;
    bool m_closed = false;
    std::thread m_thread;
};

// What signapk's whole-file signing leaves out of a package: directory
// entries, and the signature files of a jar signature made before.
bool keptInSignedPackage(const QString& name, bool directory) {
    static const QRegularExpression signatureFile(
        QStringLiteral("^META-INF/(.*[.](SF|RSA|DSA|EC)|MANIFEST[.]MF)$"));
    return !directory && !signatureFile.match(name).hasMatch();
}

} // namespace

bool WriteSignedPackage(const QString& archive, const QString& certificatePem,
                        const QString& privateKeyPk8, const QString& output,
                        const std::function<bool(int percent)>& progress, QString* error) {
    WholeFileSigner signer;
    QByteArray otacert;
    if (!signer.loadKey(certificatePem, privateKeyPk8, error) ||
        !OtaCertData(certificatePem, &otacert, error))
        return false;
    QFile out(output);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        SetError(error, QStringLiteral("cannot create \"%1\": %2").arg(output, out.errorString()));
        return false;
    }
    bool stopped = false;
    // Every byte goes to the file and to the signature as it is written; the
    // signature's digest is computed on a thread of its own, beside the
    // writing.
    DigestPipe digest(signer);
    const ByteSink sink = [&](const char* data, qint64 size) {
        digest.push(data, size);
        return out.write(data, size) == size;
    };
    const ArchiveProgress percent = [&](qint64 done, qint64 total) {
        if (progress && !progress(total > 0 ? int(done * 100 / total) : 100))
            stopped = true;
    };
    QByteArray tail;
    const bool copied =
        WriteCompactArchive(archive, {{QStringLiteral("META-INF/com/android/otacert"), otacert}},
                            sink, error, percent, keptInSignedPackage);
    digest.finish();
    const bool written = copied && !stopped && signer.finish(&tail, error) &&
                         FileHelpers::WriteAll(out, tail) && ::fsync(out.handle()) == 0;
    if (!written) {
        if (stopped)
            SetError(error, QStringLiteral("the save was stopped"));
        else if (error && error->isEmpty())
            SetError(error,
                     QStringLiteral("cannot write \"%1\": %2").arg(output, out.errorString()));
        out.close();
        FileHelpers::RemoveFile(output);
        return false;
    }
    out.close();
    return true;
}

namespace {

// Signs into the temporary file and checks it; the caller renames it.
bool signAndCheck(const Operation& op, const QString& temporary, QString* error) {
    const WorkspacePaths paths = op.state.paths();
    const QString certificate = paths.configDir() + QStringLiteral("/testkey.x509.pem");
    const QString key = paths.configDir() + QStringLiteral("/testkey.pk8");
    ToolRunner& runner = op.runner;
    // Written and checked behind one busy display; the check reads the file
    // back as recovery will.
    return runner.runInBackground(
        QStringLiteral("Signing files"), [&](const ToolRunner::PercentCallback& progress) {
            if (!WriteSignedPackage(
                    op.state.workingArchivePath(), certificate, key, temporary,
                    [&](int percent) {
                        progress(percent);
                        return !runner.stopRequested();
                    },
                    error))
                return false;
            FaultPoint("save:signed");
            if (VerifySignedPackage(temporary, certificate, error))
                return true;
            FileHelpers::RemoveFile(temporary);
            return false;
        });
}

bool hasRoomFor(const Operation& op, const QString& directory, qint64 bytes) {
    const qint64 available = FileHelpers::AvailableBytes(directory);
    if (available < 0 || available >= bytes)
        return true;
    op.reporter.message(Msg::NotEnoughSpace(directory, bytes, available));
    return false;
}

} // namespace

bool PutBackConfigFiles(const Operation& op, QString* error) {
    const AppState& state = op.state;
    if (!state.hasPackage()) {
        op.reporter.message(Msg::NoPackageOpen());
        SetError(error, QStringLiteral("no package is open"));
        return false;
    }
    const QString treeRoot = state.paths().extractedTree();
    QList<ArchiveChange> changes;
    QString firstFile;
    {
        int code = 0;
        zip_t* zip =
            zip_open(QFile::encodeName(state.workingArchivePath()).constData(), ZIP_RDONLY, &code);
        QList<ArchiveMember> members;
        if (!ReadArchiveMembers(state.workingArchivePath(), &members, nullptr))
            members.clear();
        for (const ConfigFile& config : kConfigFiles) {
            const QString file = treeRoot + QLatin1String(config.treeSuffix);
            if (!FileHelpers::PathExists(file))
                continue;
            const QString member = MemberNameOfTreePath(treeRoot, file);
            QFile tree(file);
            if (!tree.open(QIODevice::ReadOnly)) {
                // Named here: the commit's failure would not say which file.
                if (zip)
                    zip_discard(zip);
                op.reporter.message(Msg::CannotUpdateInPackage(file));
                SetError(error, tree.errorString());
                return false;
            }
            // Unchanged files stay as they are: no commit for nothing.
            if (zip && tree.size() <= (64 << 20) &&
                tree.readAll() == memberBytes(zip, members, member))
                continue;
            if (firstFile.isEmpty())
                firstFile = file;
            changes.append({ArchiveChangeKind::Put, member, file});
        }
        if (zip)
            zip_discard(zip);
    }
    if (changes.isEmpty())
        return true;
    QString cause;
    if (!UpdateWorkingArchive(op.runner, state.workingArchivePath(), changes, &cause)) {
        // A present file that cannot be put back stops the save: the signed
        // package would silently lack the user's edits.
        op.reporter.message(Msg::CannotUpdateInPackage(firstFile));
        SetError(error, cause);
        return false;
    }
    return true;
}

bool SignPackageTo(const Operation& op, const QString& output, QString* error) {
    const AppState& state = op.state;
    const WorkspacePaths paths = state.paths();
    const QString archive = state.workingArchivePath();
    if (!state.hasPackage()) {
        op.reporter.message(Msg::NoPackageOpen());
        SetError(error, QStringLiteral("no package is open"));
        return false;
    }
    if (FileHelpers::IsSameFile(output, archive)) {
        op.reporter.message(Msg::WorkingArchiveNotOutput(archive));
        SetError(error, QStringLiteral("the output is the working archive"));
        return false;
    }
    const qint64 size = QFileInfo(archive).size();
    const QString outputDirectory = QFileInfo(output).absolutePath();

    QString staging;
    if (IsOnNonFixedDrive(output)) {
        staging = paths.zipTempDir() + QLatin1Char('/') + QFileInfo(output).fileName();
        // A package saved as "temp.zip" must not be staged over the working archive.
        if (FileHelpers::IsSameFile(staging, archive))
            staging =
                paths.zipTempDir() + QStringLiteral("/staged-") + QFileInfo(output).fileName();
        // An output chosen inside the workspace is its own staging.
        if (FileHelpers::IsSameFile(staging, output))
            staging.clear();
    }

    if (!hasRoomFor(op, outputDirectory, size + (1 << 20)) ||
        (!staging.isEmpty() && !hasRoomFor(op, paths.zipTempDir(), size + (1 << 20)))) {
        SetError(error, QStringLiteral("not enough free space"));
        return false;
    }

    QString cause;
    if (!staging.isEmpty()) {
        const QString stagingTemporary = temporaryOutputFor(staging);
        recordPendingSave(paths, stagingTemporary);
        if (!signAndCheck(op, stagingTemporary, &cause) ||
            !FileHelpers::ReplaceFile(stagingTemporary, staging)) {
            clearPendingSave(paths, stagingTemporary);
            op.reporter.message(Msg::SignFailed());
            SetError(error, cause);
            return false;
        }
        const QString temporary = temporaryOutputFor(output);
        recordPendingSave(paths, temporary);
        // Flushed before the rename: a removable drive may be pulled right after.
        if (!FileHelpers::CopyFileTo(staging, temporary, false) ||
            QFileInfo(temporary).size() != QFileInfo(staging).size() ||
            !FileHelpers::SyncFile(temporary) || !FileHelpers::ReplaceFile(temporary, output)) {
            clearPendingSave(paths, temporary);
            op.reporter.message(Msg::SaveFailed());
            SetError(error, QStringLiteral("cannot copy the staged package to \"%1\"").arg(output));
            return false;
        }
        clearPendingSave(paths, QString());
        return true;
    }

    const QString temporary = temporaryOutputFor(output);
    recordPendingSave(paths, temporary);
    if (!signAndCheck(op, temporary, &cause)) {
        clearPendingSave(paths, temporary);
        op.reporter.message(Msg::SignFailed());
        SetError(error, cause);
        return false;
    }
    FaultPoint("save:verified");
    if (!FileHelpers::ReplaceFile(temporary, output)) {
        clearPendingSave(paths, temporary);
        op.reporter.message(Msg::SaveFailed());
        SetError(error, QStringLiteral("cannot rename the signed package to \"%1\"").arg(output));
        return false;
    }
    clearPendingSave(paths, QString());
    return true;
}

void RemoveInterruptedSave(const Operation& op) {
    const WorkspacePaths paths = op.state.paths();
    QFile record(pendingSaveRecord(paths));
    if (!record.open(QIODevice::ReadOnly))
        return;
    const QString temporary = QString::fromUtf8(record.readAll()).trimmed();
    record.close();
    // Only a file of our own temporary name is ever removed.
    if (temporary.endsWith(QLatin1String(".corvane-part")))
        clearPendingSave(paths, temporary);
    else
        FileHelpers::RemoveFile(pendingSaveRecord(paths));
}

bool VerifySignedPackage(const QString& path, const QString& certificatePem, QString* error) {
    int code = 0;
    zip_t* probe = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (!probe) {
        SetError(error, QStringLiteral("the signed package is not a readable ZIP"));
        return false;
    }
    const zip_int64_t total = zip_get_num_entries(probe, 0);
    zip_discard(probe);

    // Every entry inflates completely with a good CRC (libzip checks it at
    // the end of each read), and the signature verifies over the whole file:
    // two readers share the entries, the first checks the signature before.
    std::atomic<zip_int64_t> next{0};
    std::atomic<bool> damaged{false};
    const auto checkEntries = [&] {
        int openError = 0;
        zip_t* zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &openError);
        if (!zip) {
            damaged = true;
            return;
        }
        QByteArray buffer(1 << 20, Qt::Uninitialized);
        for (zip_int64_t i = next++; i < total && !damaged; i = next++) {
            zip_file_t* file = zip_fopen_index(zip, static_cast<zip_uint64_t>(i), 0);
            zip_int64_t n = -1;
            if (file) {
                while ((n = zip_fread(file, buffer.data(),
                                      static_cast<zip_uint64_t>(buffer.size()))) > 0) {
                }
                zip_fclose(file);
            }
            if (n != 0)
                damaged = true;
        }
        zip_discard(zip);
    };
    QString signatureError;
    bool signatureOk = false;
    std::thread second([&] {
        signatureOk = VerifyWholeFileSignature(path, certificatePem, &signatureError);
        checkEntries();
    });
    checkEntries();
    second.join();
    if (damaged) {
        SetError(error, QStringLiteral("an entry of the signed package is damaged"));
        return false;
    }
    if (!signatureOk) {
        SetError(error, signatureError);
        return false;
    }
    return true;
}
