#include "core/ArchiveEdit.h"

#include "core/FileHelpers.h"
#include "core/WorkspacePaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <zip.h>

#include <memory>
#include <sys/stat.h>

namespace {

void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

struct ZipCloser {
    void operator()(zip_t* zip) const { zip_discard(zip); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipCloser>;

QString memberNameAt(zip_t* zip, zip_uint64_t index) {
    const char* name = zip_get_name(zip, index, ZIP_FL_ENC_GUESS);
    return name ? CanonicalName(QString::fromUtf8(name)) : QString();
}

bool isBelow(const QString& name, const QString& directory) {
    return name == directory || name.startsWith(directory + QLatin1Char('/'));
}

// Deletes every live entry whose canonical name matches; the count deleted.
int deleteMatching(zip_t* zip, const QString& member, bool tree) {
    int deleted = 0;
    const zip_int64_t total = zip_get_num_entries(zip, 0);
    for (zip_int64_t i = 0; i < total; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const char* raw = zip_get_name(zip, index, 0);
        if (!raw)
            continue; // deleted already
        const QString name = memberNameAt(zip, index);
        if ((tree && isBelow(name, member)) || (!tree && name == member)) {
            if (zip_delete(zip, index) == 0)
                ++deleted;
        }
    }
    return deleted;
}

bool putMember(zip_t* zip, const MemberChange& change, QString* error) {
    FILE* file = std::fopen(QFile::encodeName(change.sourceFile).constData(), "rb");
    if (!file) {
        setError(error, QStringLiteral("cannot read \"%1\"").arg(change.sourceFile));
        return false;
    }
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
        std::fclose(file);
        setError(error, QStringLiteral("\"%1\" is not a file").arg(change.sourceFile));
        return false;
    }
    zip_source_t* source = zip_source_filep(zip, file, 0, -1);
    if (!source) {
        std::fclose(file);
        setError(error, QString::fromUtf8(zip_strerror(zip)));
        return false;
    }
    deleteMatching(zip, change.member, false);
    const zip_int64_t index =
        zip_file_add(zip, change.member.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        setError(error, QString::fromUtf8(zip_strerror(zip)));
        return false;
    }
    const auto entry = static_cast<zip_uint64_t>(index);
    const zip_uint32_t attributes = static_cast<zip_uint32_t>(S_IFREG | 0644) << 16;
    if (zip_file_set_mtime(zip, entry, info.st_mtime, 0) != 0 ||
        zip_file_set_external_attributes(zip, entry, 0, ZIP_OPSYS_UNIX, attributes) != 0) {
        setError(error, QString::fromUtf8(zip_strerror(zip)));
        return false;
    }
    return true;
}

QString journalPath(const WorkspacePaths& paths) {
    return paths.zipTempDir() + QStringLiteral("/tree.pending");
}

} // namespace

QString CanonicalName(const QString& name) {
    QString copy = name;
    copy.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QStringList segments;
    for (const QString& segment : copy.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (segment != QLatin1String("."))
            segments << segment;
    }
    return segments.join(QLatin1Char('/'));
}

bool CommitMemberChanges(const QString& archive, const QList<MemberChange>& changes,
                         QString* error) {
    int code = 0;
    ZipHandle zip(zip_open(QFile::encodeName(archive).constData(), 0, &code));
    if (!zip) {
        setError(error, QStringLiteral("cannot open the working archive \"%1\"").arg(archive));
        return false;
    }
    for (const MemberChange& change : changes) {
        const QString member = CanonicalName(change.member);
        switch (change.kind) {
        case MemberChange::Kind::Put:
            if (!putMember(zip.get(), MemberChange{change.kind, member, change.sourceFile}, error))
                return false;
            break;
        case MemberChange::Kind::Remove:
        case MemberChange::Kind::RemoveTree:
            if (deleteMatching(zip.get(), member, change.kind == MemberChange::Kind::RemoveTree) ==
                0) {
                setError(error, QStringLiteral("the package has no member \"%1\"").arg(member));
                return false;
            }
            break;
        }
    }
    // libzip writes the new archive beside the old one and renames it over.
    zip_t* raw = zip.release();
    if (zip_close(raw) != 0) {
        setError(error, QString::fromUtf8(zip_strerror(raw)));
        zip_discard(raw);
        return false;
    }
    // libzip removes an archive left without members; the working archive
    // stays a ZIP.
    if (!QFileInfo::exists(archive)) {
        QSaveFile empty(archive);
        QByteArray record("PK\x05\x06", 4);
        record.append(18, '\0');
        if (!empty.open(QIODevice::WriteOnly) || !FileHelpers::WriteAll(empty, record) ||
            !empty.commit()) {
            setError(error, QStringLiteral("cannot write the empty working archive"));
            return false;
        }
    }
    return true;
}

bool ExtractMemberTo(const QString& archive, const QString& member, const QString& path,
                     QString* error) {
    int code = 0;
    ZipHandle zip(zip_open(QFile::encodeName(archive).constData(), ZIP_RDONLY, &code));
    if (!zip) {
        setError(error, QStringLiteral("cannot open \"%1\"").arg(archive));
        return false;
    }
    const QString wanted = CanonicalName(member);
    const zip_int64_t total = zip_get_num_entries(zip.get(), 0);
    for (zip_int64_t i = total - 1; i >= 0; --i) {
        const auto index = static_cast<zip_uint64_t>(i);
        if (memberNameAt(zip.get(), index) != wanted)
            continue;
        zip_file_t* in = zip_fopen_index(zip.get(), index, 0);
        if (!in)
            break;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QSaveFile out(path);
        bool ok = out.open(QIODevice::WriteOnly);
        QByteArray buffer(1 << 20, Qt::Uninitialized);
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
            setError(error, QStringLiteral("cannot write \"%1\"").arg(path));
            return false;
        }
        return true;
    }
    setError(error, QStringLiteral("the package has no member \"%1\"").arg(wanted));
    return false;
}

bool BeginTreeSync(const WorkspacePaths& paths, const QList<TreeSyncEntry>& entries,
                   QString* error) {
    QSaveFile file(journalPath(paths));
    QByteArray text;
    for (const TreeSyncEntry& entry : entries) {
        text += (entry.directory ? "D\t" : "F\t") + entry.treePath.toUtf8() + '\t' +
                entry.member.toUtf8() + '\n';
    }
    if (!file.open(QIODevice::WriteOnly) || !FileHelpers::WriteAll(file, text) || !file.commit()) {
        setError(error, QStringLiteral("cannot record the edit in the workspace"));
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
        setError(error, file.errorString());
        return false;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    const QString archive = paths.workingArchive();

    // Which file members the archive holds now (directory entries left out).
    QStringList members;
    {
        int code = 0;
        ZipHandle zip(zip_open(QFile::encodeName(archive).constData(), ZIP_RDONLY, &code));
        if (!zip) {
            setError(error, QStringLiteral("cannot open the working archive"));
            return false;
        }
        const zip_int64_t total = zip_get_num_entries(zip.get(), 0);
        for (zip_int64_t i = 0; i < total; ++i) {
            const auto index = static_cast<zip_uint64_t>(i);
            const char* raw = zip_get_name(zip.get(), index, 0);
            if (raw && !QByteArray(raw).endsWith('/'))
                members << memberNameAt(zip.get(), index);
        }
    }

    bool ok = true;
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 3)
            continue;
        const QString treePath = QString::fromUtf8(fields[1]);
        const QString member = CanonicalName(QString::fromUtf8(fields[2]));
        // A copy into the tree cut short leaves its temporary file.
        FileHelpers::RemoveFile(treePath + QStringLiteral(".corvane-part"));
        if (fields[0] == "D") {
            // The directory's files as the archive has them: remove what is no
            // longer there, write what is.
            const QString treeRoot = treePath.left(treePath.size() - member.size() - 1);
            if (!FileHelpers::DeleteDirectoryTree(treePath))
                ok = false;
            for (const QString& name : members) {
                if (name.startsWith(member + QLatin1Char('/')))
                    ok = ExtractMemberTo(archive, name, treeRoot + QLatin1Char('/') + name) && ok;
            }
        } else if (members.contains(member)) {
            ok = ExtractMemberTo(archive, member, treePath) && ok;
        } else if (FileHelpers::PathExists(treePath) && !FileHelpers::RemoveFile(treePath)) {
            ok = false;
        }
    }
    if (!ok) {
        setError(error, QStringLiteral("the tree could not be brought in step with the archive"));
        return false;
    }
    return EndTreeSync(paths);
}
