#include "core/package/TreeSync.h"

#include "core/zip/ArchiveEditor.h"
#include "core/io/ErrorText.h"
#include "core/io/FileHelpers.h"
#include "core/zip/MemberNames.h"
#include "core/io/ToolRunner.h"
#include "core/WorkspacePaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>

#include <zip.h>

#include <memory>

namespace {

struct ZipCloser {
    void operator()(zip_t* zip) const { zip_discard(zip); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipCloser>;

QString journalPath(const WorkspacePaths& paths) {
    return paths.zipTempDir() + QStringLiteral("/tree.pending");
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
    if (members.isEmpty())
        return true;
    int code = 0;
    ZipHandle zip(zip_open(QFile::encodeName(archive).constData(), ZIP_RDONLY, &code));
    if (!zip) {
        SetError(error, QStringLiteral("cannot open \"%1\"").arg(archive));
        return false;
    }
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (const auto& [index, path] : members) {
        zip_file_t* in = zip_fopen_index(zip.get(), index, 0);
        if (!in) {
            SetError(error, QString::fromUtf8(zip_strerror(zip.get())));
            return false;
        }
        QDir().mkpath(QFileInfo(path).absolutePath());
        QSaveFile out(path);
        bool ok = out.open(QIODevice::WriteOnly);
        while (ok) {
            const zip_int64_t n =
                zip_fread(in, buffer.data(), static_cast<zip_uint64_t>(buffer.size()));
            if (n < 0)
                ok = false;
            if (n <= 0)
                break;
            ok = out.write(buffer.constData(), n) == n;
        }
        zip_fclose(in);
        if (!ok || !out.commit()) {
            SetError(error, QStringLiteral("cannot write \"%1\"").arg(path));
            return false;
        }
    }
    return true;
}

bool BeginTreeSync(const WorkspacePaths& paths, const QList<TreeSyncEntry>& entries,
                   QString* error) {
    // An earlier edit whose tree was not finished (a failed copy) is finished
    // first: its record must not be lost to this one.
    if (FileHelpers::PathExists(journalPath(paths)) && !FinishInterruptedTreeSync(paths, error))
        return false;
    QSaveFile file(journalPath(paths));
    QByteArray text;
    for (const TreeSyncEntry& entry : entries) {
        text += (entry.directory ? "D\t" : "F\t") + entry.treePath.toUtf8() + '\t' +
                entry.member.toUtf8() + '\n';
    }
    if (!file.open(QIODevice::WriteOnly) || !FileHelpers::WriteAll(file, text) || !file.commit()) {
        SetError(error, QStringLiteral("cannot record the edit in the workspace"));
        return false;
    }
    return true;
}

bool EndTreeSync(const WorkspacePaths& paths) {
    const QString journal = journalPath(paths);
    return !FileHelpers::PathExists(journal) || FileHelpers::RemoveFile(journal);
}

bool FinishInterruptedTreeSync(const WorkspacePaths& paths, QString* error) {
    QFile file(journalPath(paths));
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        SetError(error, file.errorString());
        return false;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    const QString archive = paths.workingArchive();

    // Which file members the archive holds now (directory entries left out).
    QList<ArchiveMember> all;
    if (!ReadArchiveMembers(archive, &all, error))
        return false;
    // name -> index of the file members (the last of a name wins).
    QHash<QString, quint64> members;
    for (qsizetype i = 0; i < all.size(); ++i) {
        if (!all[i].isDirectory)
            members.insert(all[i].name, static_cast<quint64>(i));
    }

    bool ok = true;
    QList<QPair<quint64, QString>> extractions;
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 3)
            continue;
        const QString treePath = QString::fromUtf8(fields[1]);
        const QString member = CanonicalMemberName(QString::fromUtf8(fields[2]));
        // A copy into the tree cut short leaves its temporary file.
        FileHelpers::RemoveFile(treePath + QStringLiteral(".corvane-part"));
        if (fields[0] == "D") {
            // The directory's files as the archive has them: remove what is no
            // longer there, write what is.
            const QString treeRoot = treePath.left(treePath.size() - member.size() - 1);
            if (!FileHelpers::DeleteDirectoryTree(treePath))
                ok = false;
            for (auto it = members.cbegin(); it != members.cend(); ++it) {
                if (it.key().startsWith(member + QLatin1Char('/')))
                    extractions.append({it.value(), treeRoot + QLatin1Char('/') + it.key()});
            }
        } else if (members.contains(member)) {
            extractions.append({members.value(member), treePath});
        } else if (FileHelpers::PathExists(treePath) && !FileHelpers::RemoveFile(treePath)) {
            ok = false;
        }
    }
    // One opening of the archive for every file written.
    ok = ExtractMembers(archive, extractions, error) && ok;
    if (!ok) {
        SetError(error, QStringLiteral("the tree could not be brought in step with the archive"));
        return false;
    }
    return EndTreeSync(paths);
}
