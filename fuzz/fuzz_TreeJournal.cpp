// The tree's edit record read over any bytes: no crash; a record is refused
// whole or every entry it yields names a member whose path lies inside the
// tree.

#include "core/package/TreeSync.h"
#include "core/zip/MemberNames.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

QString directory() {
    static const QString path = [] {
        const QString base =
            QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        const QString made = base + QStringLiteral("/fuzz_TreeJournal-%1").arg(::getpid());
        QDir().mkpath(made);
        return made;
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString file = directory() + QStringLiteral("/tree.pending");
    {
        QFile out(file);
        require(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        require(out.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }
    const TreeJournal journal = ReadTreeJournal(file);
    require(!journal.unreadable);
    if (!journal.valid) {
        require(!journal.cause.isEmpty() && journal.entries.isEmpty());
    } else {
        const QString tree = QStringLiteral("/w/srctemp");
        for (const TreeJournal::Entry& entry : journal.entries) {
            const QString path = MemberPathInTree(tree, entry.member);
            require(path.startsWith(tree + QLatin1Char('/')));
            require(!path.split(QLatin1Char('/')).contains(QStringLiteral("..")));
        }
    }
    QFile::remove(file);
    return 0;
}
