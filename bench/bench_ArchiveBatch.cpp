// Times a batch of archive updates on a large archive: the operations one by
// one (one rewrite each) against one batch (one rewrite).
//
// Usage: bench_ArchiveBatch [members] [member KiB] [operations]

#include "core/Archive.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <zip.h>

#include <cstdio>
#include <vector>

namespace {

bool writeLargeArchive(const QString& path, int members, int memberBytes) {
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!zip)
        return false;
    // Incompressible data, stored: like the APKs and images of a package.
    std::vector<QByteArray> data;
    data.reserve(static_cast<size_t>(members));
    for (int i = 0; i < members; ++i) {
        QByteArray bytes(memberBytes, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()),
                                              static_cast<qsizetype>(bytes.size() / 4));
        data.push_back(bytes);
        const QByteArray name = QStringLiteral("system/app/App%1.apk").arg(i).toUtf8();
        zip_source_t* source = zip_source_buffer(zip, data.back().constData(),
                                                 static_cast<zip_uint64_t>(bytes.size()), 0);
        const zip_int64_t index = zip_file_add(zip, name.constData(), source, 0);
        if (index < 0 ||
            zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) != 0) {
            zip_discard(zip);
            return false;
        }
    }
    return zip_close(zip) == 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int members = args.size() > 1 ? args[1].toInt() : 2000;
    const int memberKiB = args.size() > 2 ? args[2].toInt() : 64;
    const int operations = args.size() > 3 ? args[3].toInt() : 16;

    QTemporaryDir dir;
    const QString original = dir.filePath("original.zip");
    if (!writeLargeArchive(original, members, memberKiB * 1024)) {
        std::fprintf(stderr, "cannot write the archive\n");
        return 1;
    }

    QList<ArchiveOperation> batch;
    for (int i = 0; i < operations; ++i) {
        const QString file = dir.filePath(QStringLiteral("lib%1.so").arg(i));
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly) ||
            out.write(QByteArray(256 * 1024, char('a' + i % 26))) < 0)
            return 1;
        batch.append({QLatin1Char('a'), file, QStringLiteral("system\\lib")});
    }

    const QString single = dir.filePath("single.zip");
    const QString batched = dir.filePath("batched.zip");
    if (!QFile::copy(original, single) || !QFile::copy(original, batched))
        return 1;

    QElapsedTimer timer;
    timer.start();
    for (const ArchiveOperation& operation : batch) {
        if (!RunArchiver(operation.letter, operation.file, single, operation.pathInArchive))
            return 1;
    }
    const qint64 oneByOne = timer.elapsed();

    timer.restart();
    if (!RunArchiverBatch(batched, batch))
        return 1;
    const qint64 together = timer.elapsed();

    std::printf("archive: %d members, %lld MiB; %d additions\n", members,
                static_cast<long long>(QFileInfo(original).size() >> 20), operations);
    std::printf("one by one: %lld ms\nbatch:      %lld ms\n", static_cast<long long>(oneByOne),
                static_cast<long long>(together));
    return 0;
}
