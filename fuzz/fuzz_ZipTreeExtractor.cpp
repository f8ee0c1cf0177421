// Unpacking an archive into a tree, over any bytes: no crash, and either
// every member is written or the unpacking fails with a cause. The members'
// extra fields (times), attributes (permissions) and data all come from the
// input; members claiming more than 1 MiB are left out, as the open checks
// the room for a package before it unpacks it.

#include "core/format/ZipFormat.h"
#include "core/format/ZipTreeExtractor.h"

#include "FuzzSupport.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <unistd.h>

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString scratch = fuzz::scratchDirectory("fuzz_ZipTreeExtractor");
    const QString archive = scratch + QStringLiteral("/package.zip");
    fuzz::writeInput(archive, data, size);
    const int fd = ::open(QFile::encodeName(archive).constData(), O_RDONLY | O_CLOEXEC);
    ZipDirectory directory;
    QString cause;
    const bool read = fd >= 0 && ReadZipDirectory(fd, &directory, &cause);
    if (fd >= 0)
        ::close(fd);
    if (read) {
        const QString tree = scratch + QStringLiteral("/tree");
        ZipTreeExtraction extraction;
        extraction.threads = 2;
        for (qsizetype i = 0; i < directory.entries.size() && i < 64; ++i) {
            const ZipCentralEntry& entry = directory.entries[i];
            if (entry.uncompressedSize > (1u << 20))
                continue;
            const ZipTreeFile file{static_cast<quint64>(i), tree + QStringLiteral("/m%1").arg(i)};
            (entry.rawName.endsWith('/') ? extraction.directories : extraction.files).append(file);
        }
        const bool extracted = ExtractZipTree(archive, extraction, &cause);
        require(extracted || !cause.isEmpty());
        QDir(tree).removeRecursively();
    }
    QFile::remove(archive);
    return 0;
}
