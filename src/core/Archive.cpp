#include "core/Archive.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <zip.h>

#include <cstdio>
#include <sys/stat.h>
#include <vector>

namespace {

// One operation, ready to apply: the member name and, for an addition, the
// file on disk already opened (so that a missing or unreadable file is found
// before the archive is touched).
struct PreparedOperation {
    bool remove = false;
    QByteArray name;
    FILE* file = nullptr;
    time_t mtime = 0;
    mode_t mode = 0;
};

void closeFiles(std::vector<PreparedOperation>& operations) {
    for (PreparedOperation& operation : operations) {
        if (operation.file) {
            std::fclose(operation.file);
            operation.file = nullptr;
        }
    }
}

// The segments of an in-archive path joined with '/': either separator is
// accepted, and empty segments (leading, trailing or doubled separators) and
// "." are dropped.
QString normalisedArchivePath(const QString& path) {
    QString copy = path;
    copy.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QStringList segments;
    for (const QString& segment : copy.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (segment != QLatin1String("."))
            segments << segment;
    }
    return segments.join(QLatin1Char('/'));
}

bool isKnownLetter(QChar letter) {
    return letter == QLatin1Char('a') || letter == QLatin1Char('u') || letter == QLatin1Char('d');
}

bool prepare(const ArchiveOperation& operation, PreparedOperation* prepared) {
    if (!isKnownLetter(operation.letter))
        return false;
    const QString name =
        ArchiveMemberName(operation.letter, operation.file, operation.pathInArchive);
    if (name.isEmpty())
        return false;
    prepared->name = name.toUtf8();
    if (operation.letter == QLatin1Char('d')) {
        prepared->remove = true;
        return true;
    }
    FILE* file = std::fopen(QFile::encodeName(operation.file).constData(), "rb");
    if (!file)
        return false;
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
        std::fclose(file);
        return false;
    }
    prepared->file = file;
    prepared->mtime = info.st_mtime;
    prepared->mode = info.st_mode;
    return true;
}

// Adds (or replaces) one member from its opened file. The file passes to
// libzip, which reads it when the archive is closed.
bool addMember(zip_t* archive, PreparedOperation& operation) {
    zip_source_t* source = zip_source_filep(archive, operation.file, 0, -1);
    if (!source)
        return false;
    operation.file = nullptr;
    const zip_int64_t index = zip_file_add(archive, operation.name.constData(), source,
                                           ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        return false;
    }
    const auto entry = static_cast<zip_uint64_t>(index);
    const zip_uint32_t attributes = static_cast<zip_uint32_t>(S_IFREG | (operation.mode & 07777))
                                    << 16;
    return zip_set_file_compression(archive, entry, ZIP_CM_DEFLATE, 0) == 0 &&
           zip_file_set_mtime(archive, entry, operation.mtime, 0) == 0 &&
           zip_file_set_external_attributes(archive, entry, 0, ZIP_OPSYS_UNIX, attributes) == 0;
}

// A member that is not there leaves the archive as it is.
bool removeMember(zip_t* archive, const PreparedOperation& operation, bool* removed) {
    const zip_int64_t index = zip_name_locate(archive, operation.name.constData(), 0);
    if (index < 0)
        return true;
    *removed = true;
    return zip_delete(archive, static_cast<zip_uint64_t>(index)) == 0;
}

// Counted by name: zip_stat_index must not be used here, as libzip 1.7 crashes
// on an entry whose only change is its data (a replacement with the same
// method, time and attributes as the old member).
zip_uint64_t survivingEntries(zip_t* archive) {
    zip_uint64_t count = 0;
    const zip_int64_t total = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < total; ++i) {
        if (zip_get_name(archive, static_cast<zip_uint64_t>(i), 0))
            ++count;
    }
    return count;
}

// libzip removes an archive whose last member was deleted; the working archive
// must stay a ZIP, so an empty one (the end record alone, comment kept) is
// written in its place, again through a file renamed over the old one.
bool writeEmptyArchive(const QString& path, const QByteArray& comment) {
    QByteArray record("PK\x05\x06", 4);
    record.append(16, '\0');
    const auto length = static_cast<quint16>(qMin<qsizetype>(comment.size(), 0xFFFF));
    record.append(static_cast<char>(length & 0xFF));
    record.append(static_cast<char>(length >> 8));
    record.append(comment.left(length));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(record) != record.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool isNonEmptyFile(const QString& path) {
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.isFile() && info.size() > 0;
}

} // namespace

QString ArchiveMemberName(QChar letter, const QString& file, const QString& pathInArchive) {
    if (letter == QLatin1Char('d'))
        return normalisedArchivePath(file);
    const QString name = file.mid(file.lastIndexOf(QLatin1Char('/')) + 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return {};
    const QString directory = normalisedArchivePath(pathInArchive);
    return directory.isEmpty() ? name : directory + QLatin1Char('/') + name;
}

bool RunArchiver(QChar letter, const QString& file, const QString& archive,
                 const QString& pathInArchive) {
    return RunArchiverBatch(archive, {ArchiveOperation{letter, file, pathInArchive}});
}

bool RunArchiverBatch(const QString& archive, const QList<ArchiveOperation>& operations) {
    if (!isNonEmptyFile(archive))
        return false;
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(archive).constData(), 0, &error);
    if (!zip)
        return false;

    std::vector<PreparedOperation> prepared(static_cast<size_t>(operations.size()));
    for (qsizetype i = 0; i < operations.size(); ++i) {
        if (!prepare(operations[i], &prepared[static_cast<size_t>(i)])) {
            closeFiles(prepared);
            zip_discard(zip);
            return false;
        }
    }

    // In order, so that a later operation on a member wins.
    bool changed = false;
    for (PreparedOperation& operation : prepared) {
        bool applied = false;
        if (operation.remove) {
            applied = removeMember(zip, operation, &changed);
        } else {
            applied = addMember(zip, operation);
            changed = true;
        }
        if (!applied) {
            closeFiles(prepared);
            zip_discard(zip);
            return false;
        }
    }

    if (changed && survivingEntries(zip) == 0) {
        int length = 0;
        const char* comment = zip_get_archive_comment(zip, &length, ZIP_FL_ENC_RAW);
        const QByteArray kept = comment ? QByteArray(comment, length) : QByteArray();
        zip_discard(zip);
        return writeEmptyArchive(archive, kept);
    }

    // zip_close writes a temporary file beside the archive and renames it over
    // the archive; on failure it removes the temporary file and the archive
    // stays as it was.
    if (zip_close(zip) != 0) {
        zip_discard(zip);
        return false;
    }
    return true;
}

bool IsReadableZipArchive(const QString& path) {
    ZipSummary summary;
    return SummariseZipArchive(path, &summary);
}

bool SummariseZipArchive(const QString& path, ZipSummary* summary) {
    *summary = ZipSummary{};
    if (!isNonEmptyFile(path))
        return false;
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!zip)
        return false;
    bool readable = true;
    const zip_int64_t total = zip_get_num_entries(zip, 0);
    if (total < 0)
        readable = false;
    for (zip_int64_t i = 0; readable && i < total; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        readable = zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &stat) == 0 &&
                   (stat.valid & ZIP_STAT_NAME);
        if (readable && (stat.valid & ZIP_STAT_SIZE))
            summary->uncompressedBytes += static_cast<qint64>(stat.size);
    }
    zip_discard(zip);
    summary->entries = readable ? total : 0;
    return readable;
}
