#include "support/ZipFixture.h"

#include <QFile>

#include <zip.h>

bool WriteZip(const QString& path, const QList<QPair<QString, QByteArray>>& members) {
    int error = 0;
    zip_t* archive =
        zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive)
        return false;
    for (const auto& member : members) {
        const QByteArray name = member.first.toUtf8();
        if (name.endsWith('/')) {
            if (zip_dir_add(archive, name.constData(), ZIP_FL_ENC_UTF_8) < 0) {
                zip_discard(archive);
                return false;
            }
            continue;
        }
        // The data must outlive zip_close: libzip frees the copy (freep = 1),
        // except an empty one, which it never reads: none is made for it.
        const auto size = static_cast<size_t>(member.second.size());
        void* copy = size > 0 ? malloc(size) : nullptr;
        if (copy)
            memcpy(copy, member.second.constData(), size);
        zip_source_t* source = zip_source_buffer(archive, copy, size, copy ? 1 : 0);
        if (!source || zip_file_add(archive, name.constData(), source,
                                    ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) < 0) {
            if (source)
                zip_source_free(source);
            zip_discard(archive);
            return false;
        }
    }
    return zip_close(archive) == 0;
}

QMap<QString, QByteArray> ReadZip(const QString& path) {
    QMap<QString, QByteArray> out;
    int error = 0;
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &error);
    if (!archive)
        return out;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat) != 0)
            continue;
        QByteArray data;
        if (stat.size > 0) {
            zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
            if (file) {
                data.resize(static_cast<qsizetype>(stat.size));
                const zip_int64_t read = zip_fread(file, data.data(), stat.size);
                data.resize(read < 0 ? 0 : static_cast<qsizetype>(read));
                zip_fclose(file);
            }
        }
        out.insert(QString::fromUtf8(stat.name), data);
    }
    zip_discard(archive);
    return out;
}

QStringList ZipMemberNames(const QString& path) {
    QStringList names;
    int error = 0;
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &error);
    if (!archive)
        return names;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i)
        names << QString::fromUtf8(zip_get_name(archive, static_cast<zip_uint64_t>(i), 0));
    zip_discard(archive);
    return names;
}
