// The tree's edit record read over any bytes: no crash; a record is refused
// whole or every entry it yields names a member whose path lies inside the
// tree.

#include "core/format/MemberNames.h"
#include "core/workspace/TreeSync.h"

#include "FuzzSupport.h"

#include <QByteArray>
#include <QFile>
#include <QString>

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString file =
        fuzz::scratchDirectory("fuzz_TreeJournal") + QStringLiteral("/tree.pending");
    fuzz::writeInput(file, data, size);
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
