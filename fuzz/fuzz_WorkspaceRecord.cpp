// The record of what the workspace's tree belongs to, read over any bytes: no
// crash, a record is either sound (a known stage) or marked damaged, and a
// sound record survives being written and read again.

#include "core/package/WorkspaceRecord.h"

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
        const QString made = base + QStringLiteral("/fuzz_WorkspaceRecord-%1").arg(::getpid());
        QDir().mkpath(made);
        return made;
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString file = directory() + QStringLiteral("/workspace.state");
    {
        QFile out(file);
        require(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        require(out.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }
    const WorkspaceRecord record = WorkspaceRecord::read(file);
    require(record.damaged == (record.stage == WorkspaceRecord::Stage::None));
    if (!record.damaged) {
        require(record.write(file));
        const WorkspaceRecord again = WorkspaceRecord::read(file);
        require(!again.damaged && again.stage == record.stage && again.package == record.package);
    }
    QFile::remove(file);
    return 0;
}
