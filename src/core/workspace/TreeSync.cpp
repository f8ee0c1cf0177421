#include "core/workspace/TreeSync.h"

#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/ToolRunner.h"
#include "core/base/WorkspacePaths.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipMemberReader.h"
#include "core/package/PackageLayout.h"
#include "core/workspace/WorkspaceRecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QRandomGenerator>
#include <QSet>
#include <QStringDecoder>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

// A record is a few lines; anything this large is not one of ours.
constexpr qint64 kMaxJournalBytes = 16 << 20;
const QByteArray kJournalMagic = "corvane-tree-journal 1 ";
constexpr qsizetype kTokenLength = 16;

QString journalPath(const WorkspacePaths& paths) {
    return paths.zipTempDir() + QStringLiteral("/tree.pending");
}

// The token of the record each journal last received from this process:
// EndTreeSync removes only that record.
QMutex ownTokensLock;
QHash<QString, QByteArray>& ownTokens() {
    static QHash<QString, QByteArray> tokens;
    return tokens;
}
void rememberToken(const QString& journal, const QByteArray& token) {
    const QMutexLocker lock(&ownTokensLock);
    ownTokens().insert(journal, token);
}
QByteArray takeToken(const QString& journal) {
    const QMutexLocker lock(&ownTokensLock);
    return ownTokens().take(journal);
}

QByteArray newToken() {
    QByteArray token = QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    return token.rightJustified(kTokenLength, '0');
}

bool isToken(const QByteArray& token) {
    return token.size() == kTokenLength && std::all_of(token.begin(), token.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

bool lstatNative(const QByteArray& native, struct stat* info) {
    return ::lstat(native.constData(), info) == 0;
}

// True when every directory between the tree and the path is a real
// directory or not there yet (then it is made as one): a write to the path
// stays inside the tree. A symbolic link on the way could lead anywhere.
bool staysInTree(const QString& tree, const QString& path) {
    if (!path.startsWith(tree + QLatin1Char('/')))
        return false;
    for (qsizetype slash = path.indexOf(QLatin1Char('/'), tree.size() + 1); slash >= 0;
         slash = path.indexOf(QLatin1Char('/'), slash + 1)) {
        struct stat info;
        if (!lstatNative(QFile::encodeName(path.left(slash)), &info))
            return errno == ENOENT;
        if (!S_ISDIR(info.st_mode))
            return false;
    }
    return true;
}

bool isConfigMember(const QString& member) {
    for (const ConfigFile& config : kConfigFiles) {
        if (member == QLatin1String(config.treeSuffix + 1))
            return true;
    }
    return false;
}

// name -> index of the archive's file members (the last of a name wins).
QHash<QString, quint64> fileMembers(const QList<ArchiveMember>& all) {
    QHash<QString, quint64> members;
    for (qsizetype i = 0; i < all.size(); ++i) {
        if (!all[i].isDirectory)
            members.insert(all[i].name, static_cast<quint64>(i));
    }
    return members;
}

// Plans what makes one recorded path match the archive: removals now,
// extractions for the caller to do with one opening of the archive.
bool replayEntry(const QString& tree, const TreeJournal::Entry& entry,
                 const QHash<QString, quint64>& members,
                 QList<QPair<quint64, QString>>* extractions, QString* cause) {
    const QString path = MemberPathInTree(tree, entry.member);
    if (path.isEmpty() || !staysInTree(tree, path)) {
        *cause = QStringLiteral("\"%1\" does not lie inside the extracted files").arg(entry.member);
        return false;
    }
    if (entry.directory) {
        // The directory's files as the archive has them: remove what is no
        // longer there, write what is. A link in its place goes, not what it
        // points to.
        struct stat info;
        const bool link = lstatNative(QFile::encodeName(path), &info) && S_ISLNK(info.st_mode);
        if (!(link ? FileHelpers::RemoveFile(path) : FileHelpers::DeleteDirectoryTree(path))) {
            *cause = QStringLiteral("cannot remove \"%1\"").arg(path);
            return false;
        }
        const QString prefix = entry.member + QLatin1Char('/');
        for (auto it = members.cbegin(); it != members.cend(); ++it) {
            if (!it.key().startsWith(prefix))
                continue;
            const QString file = MemberPathInTree(tree, it.key());
            if (file.isEmpty()) {
                *cause = QStringLiteral("the package's member \"%1\" cannot lie in the extracted "
                                        "files")
                             .arg(it.key());
                return false;
            }
            extractions->append({it.value(), file});
        }
        return true;
    }
    // A copy into the tree cut short leaves its temporary file.
    FileHelpers::RemoveAbandonedTemporaries(path);
    if (members.contains(entry.member)) {
        extractions->append({members.value(entry.member), path});
    } else if (FileHelpers::PathExists(path) && !FileHelpers::RemoveFile(path)) {
        *cause = QStringLiteral("cannot remove \"%1\"").arg(path);
        return false;
    }
    return true;
}

} // namespace

bool UpdateWorkingArchive(ToolRunner& runner, const QString& archive,
                          const QList<ArchiveChange>& changes, QString* error) {
    return runner.runInBackground(
        QStringLiteral("Updating the package"), [&](const ToolRunner::PercentCallback& percent) {
            return ApplyArchiveChanges(archive, changes, error, [&](qint64 done, qint64 total) {
                percent(total > 0 ? int(done * 100 / total) : 100);
            });
        });
}

bool ExtractMemberTo(const QString& archive, const QString& member, const QString& path,
                     QString* error) {
    QList<ArchiveMember> members;
    if (!ReadArchiveMembers(archive, &members, error))
        return false;
    const QString wanted = CanonicalMemberName(member);
    for (qsizetype i = members.size() - 1; i >= 0; --i) {
        if (members[i].name == wanted && !members[i].isDirectory)
            return ExtractMemberAt(archive, static_cast<quint64>(i), path, error);
    }
    SetError(error, QStringLiteral("the package has no member \"%1\"").arg(wanted));
    return false;
}

bool ExtractMemberAt(const QString& archive, quint64 index, const QString& path, QString* error) {
    return ExtractMembers(archive, {{index, path}}, error);
}

bool ExtractMembers(const QString& archive, const QList<QPair<quint64, QString>>& members,
                    QString* error) {
    return ExtractZipEntries(archive, members, error);
}

TreeJournal ParseTreeJournal(const QByteArray& bytes) {
    TreeJournal journal;
    const auto refuse = [&journal](const QString& cause) {
        journal.cause = cause;
        journal.entries.clear();
        journal.token.clear();
        return journal;
    };
    if (bytes.size() > kMaxJournalBytes)
        return refuse(QStringLiteral("it is too large"));
    if (!bytes.endsWith('\n'))
        return refuse(QStringLiteral("it is incomplete"));
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeLast(); // after the final line feed
    if (!lines.first().startsWith(kJournalMagic) ||
        !isToken(lines.first().mid(kJournalMagic.size())))
        return refuse(QStringLiteral("it is not a record of this program"));
    journal.token = lines.first().mid(kJournalMagic.size());
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const auto bad = [&](const char* what) {
            return refuse(QStringLiteral("line %1 %2").arg(i + 1).arg(QLatin1String(what)));
        };
        if (line.size() < 3 || line[1] != '\t' || (line[0] != 'F' && line[0] != 'D'))
            return bad("is malformed");
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString member = decoder(line.mid(2));
        if (decoder.hasError())
            return bad("is not UTF-8");
        // The same check as every path made of a member name.
        if (MemberPathInTree(QStringLiteral("/tree"), member).isEmpty())
            return bad("names a member outside the extracted files");
        journal.entries.append({member, line[0] == 'D'});
    }
    journal.valid = true;
    return journal;
}

TreeJournal ReadTreeJournal(const QString& journalPath) {
    QFile file(journalPath);
    if (!file.exists()) {
        TreeJournal none;
        none.valid = true;
        return none;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        TreeJournal unread;
        unread.unreadable = true;
        unread.cause = file.errorString();
        return unread;
    }
    // Read whole only when it can be a record.
    if (file.size() > kMaxJournalBytes) {
        TreeJournal large;
        large.cause = QStringLiteral("it is too large");
        return large;
    }
    return ParseTreeJournal(file.readAll());
}

bool BeginTreeSync(const WorkspacePaths& paths, const QList<TreeSyncEntry>& entries,
                   QString* error) {
    const QString tree = paths.extractedTree();
    const QString journal = journalPath(paths);
    QByteArray lines;
    for (const TreeSyncEntry& entry : entries) {
        const QString path = MemberPathInTree(tree, entry.member);
        if (path.isEmpty() || path != QDir::cleanPath(entry.treePath)) {
            SetError(error, QStringLiteral("\"%1\" is not the extracted file of the member \"%2\"")
                                .arg(entry.treePath, entry.member));
            return false;
        }
        lines += (entry.directory ? "D\t" : "F\t") + entry.member.toUtf8() + '\n';
    }
    // An earlier edit whose tree was not finished (a failed copy) is finished
    // first; its record must not be lost to this one.
    if (FileHelpers::PathExists(journal)) {
        takeToken(journal); // not this edit's, whoever wrote it
        const TreeSyncRecovery earlier = FinishTreeSyncRecord(paths);
        if (earlier.outcome == TreeSyncRecovery::Outcome::Failed) {
            SetError(error,
                     QStringLiteral("an earlier edit of the extracted files is unfinished: %1")
                         .arg(earlier.cause));
            return false;
        }
    }
    const QByteArray token = newToken();
    FileHelpers::TemporaryFile file(journal);
    QString cause;
    if (!file.open(&cause) || !file.write(kJournalMagic + token + '\n' + lines, &cause) ||
        !file.commit(&cause)) {
        SetError(error, QStringLiteral("cannot record the edit in the workspace: %1").arg(cause));
        return false;
    }
    rememberToken(journal, token);
    return true;
}

bool EndTreeSync(const WorkspacePaths& paths) {
    const QString journal = journalPath(paths);
    const QByteArray own = takeToken(journal);
    if (own.isEmpty())
        return true;
    const TreeJournal current = ReadTreeJournal(journal);
    if (!current.valid || current.token != own)
        return true; // not the record this process wrote
    return FileHelpers::RemoveFile(journal);
}

TreeSyncRecovery FinishTreeSyncRecord(const WorkspacePaths& paths) {
    using Outcome = TreeSyncRecovery::Outcome;
    TreeSyncRecovery result;
    const QString journal = journalPath(paths);
    if (!FileHelpers::PathExists(journal))
        return result;
    const TreeJournal record = ReadTreeJournal(journal);
    if (record.valid && record.token.isEmpty())
        return result; // gone since
    if (record.unreadable) {
        result.outcome = Outcome::Failed;
        result.cause = QStringLiteral("cannot read \"%1\": %2").arg(journal, record.cause);
        return result;
    }
    if (!record.valid) {
        // Nothing of a record that is not wholly sound is acted on.
        result.outcome = Outcome::SetAside;
        result.cause = record.cause;
        result.setAsideAs = SetAsideDamagedFile(journal);
        return result;
    }

    QList<ArchiveMember> all;
    if (!ReadArchiveMembers(paths.workingArchive(), &all, &result.cause)) {
        result.outcome = Outcome::Failed;
        return result;
    }
    const QHash<QString, quint64> members = fileMembers(all);
    const QString tree = paths.extractedTree();
    QList<QPair<quint64, QString>> extractions;
    QString cause;
    bool ok = true;
    for (const TreeJournal::Entry& entry : record.entries) {
        if (!replayEntry(tree, entry, members, &extractions, &cause))
            ok = false;
    }
    // One opening of the archive for every file written.
    if (!ok || !ExtractMembers(paths.workingArchive(), extractions, &cause)) {
        result.outcome = Outcome::Failed;
        result.cause = cause;
        return result;
    }
    if (!FileHelpers::RemoveFile(journal)) {
        result.outcome = Outcome::Failed;
        result.cause = QStringLiteral("cannot remove \"%1\"").arg(journal);
        return result;
    }
    result.outcome = Outcome::Finished;
    return result;
}

bool FinishInterruptedTreeSync(const WorkspacePaths& paths, QString* error) {
    const TreeSyncRecovery recovery = FinishTreeSyncRecord(paths);
    if (recovery.outcome != TreeSyncRecovery::Outcome::Failed)
        return true;
    SetError(error, QStringLiteral("the tree could not be brought in step with the archive: %1")
                        .arg(recovery.cause));
    return false;
}

QStringList TreeDifferences::described(int limit) const {
    QStringList out;
    for (const QString& name : missing)
        out << QStringLiteral("\"%1\" is missing").arg(name);
    for (const QString& name : differ)
        out << QStringLiteral("\"%1\" differs").arg(name);
    for (const QString& name : extra)
        out << QStringLiteral("\"%1\" is not in the package").arg(name);
    return out.mid(0, limit);
}

bool CompareTreeWithArchive(const QString& tree, const QString& archive, TreeDifferences* out,
                            QString* error) {
    QList<ArchiveMember> all;
    if (!ReadArchiveMembers(archive, &all, error))
        return false;
    *out = TreeDifferences();
    const QHash<QString, quint64> members = fileMembers(all);
    QSet<QByteArray> known; // native member names
    QStringList names = members.keys();
    std::sort(names.begin(), names.end());
    for (const QString& name : names) {
        const QString path = MemberPathInTree(tree, name);
        if (path.isEmpty())
            continue; // never in a tree: the open refuses such a package
        const quint64 index = members.value(name);
        known.insert(QFile::encodeName(name));
        struct stat info;
        if (!lstatNative(QFile::encodeName(path), &info)) {
            out->missing << name;
            out->toExtract.append({index, path});
            continue;
        }
        // 7-Zip makes a link of a member that stands for one.
        const bool fileLike = S_ISREG(info.st_mode) || S_ISLNK(info.st_mode);
        const bool sameSize =
            static_cast<quint64>(info.st_size) == all[qsizetype(index)].uncompressedSize;
        if (!fileLike || (!sameSize && !isConfigMember(name))) {
            out->differ << name;
            out->toExtract.append({index, path});
        }
    }

    // Files of the tree that the archive lacks, whatever bytes their names hold.
    namespace fs = std::filesystem;
    const fs::path root(QFile::encodeName(tree).toStdString());
    std::error_code ec;
    QList<QByteArray> extra;
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
        const fs::file_status status = it->symlink_status(ec);
        if (ec || fs::is_directory(status))
            continue;
        const std::string relative = it->path().lexically_relative(root).native();
        const QByteArray name(relative.data(), qsizetype(relative.size()));
        const QString fileName = QFile::decodeName(it->path().filename().native().c_str());
        if (known.contains(name) || FileHelpers::IsTemporaryName(fileName) ||
            isConfigMember(QFile::decodeName(name)))
            continue;
        extra << name;
    }
    if (ec) {
        SetError(error, QStringLiteral("cannot list \"%1\": %2")
                            .arg(tree, QString::fromStdString(ec.message())));
        return false;
    }
    std::sort(extra.begin(), extra.end());
    for (const QByteArray& name : extra) {
        out->extra << QFile::decodeName(name);
        out->toRemove << QFile::encodeName(tree) + '/' + name;
    }
    return true;
}

bool RebuildTreeFromArchive(const QString& tree, const QString& archive,
                            const TreeDifferences& differences, QString* error) {
    for (const QByteArray& native : differences.toRemove) {
        if (::unlink(native.constData()) != 0 && errno != ENOENT) {
            SetError(error, QStringLiteral("cannot remove \"%1\": %2")
                                .arg(QFile::decodeName(native),
                                     QString::fromLocal8Bit(std::strerror(errno))));
            return false;
        }
    }
    for (const auto& [index, path] : differences.toExtract) {
        Q_UNUSED(index);
        if (!staysInTree(tree, path)) {
            SetError(error,
                     QStringLiteral("\"%1\" does not lie inside the extracted files").arg(path));
            return false;
        }
        // Whatever stands where the member's file belongs goes first.
        struct stat info;
        if (lstatNative(QFile::encodeName(path), &info) && S_ISDIR(info.st_mode) &&
            !FileHelpers::DeleteDirectoryTree(path)) {
            SetError(error, QStringLiteral("cannot remove \"%1\"").arg(path));
            return false;
        }
    }
    return ExtractMembers(archive, differences.toExtract, error);
}
