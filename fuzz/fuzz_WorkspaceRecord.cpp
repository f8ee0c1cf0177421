// The record of what the workspace's tree belongs to, read over any bytes: no
// crash, a record is either sound (a known stage) or marked damaged, and a
// sound record survives being written and read again.

#include "core/workspace/WorkspaceRecord.h"

#include "FuzzSupport.h"

#include <QByteArray>
#include <QFile>
#include <QString>

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString file =
        fuzz::scratchDirectory("fuzz_WorkspaceRecord") + QStringLiteral("/workspace.state");
    fuzz::writeInput(file, data, size);
    const WorkspaceRecord record = WorkspaceRecord::read(file);
    require(record.damaged == (record.stage == WorkspaceRecord::Stage::None));
    if (!record.damaged) {
        require(record.write(file));
        const WorkspaceRecord again = WorkspaceRecord::read(file);
        require(!again.damaged && again.stage == record.stage && again.package == record.package &&
                again.opened == record.opened);
    }
    QFile::remove(file);
    return 0;
}
