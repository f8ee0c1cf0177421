// A transfer list read over any bytes: no crash, cost linear in its length,
// and a list that reads names blocks inside its image only, counts that
// agree, and writes back (from its new and zero blocks) as a list that reads
// the same.

#include "core/format/TransferList.h"

#include "FuzzSupport.h"

#include <QByteArray>

#include <algorithm>

using fuzz::require;

namespace {

QList<BlockRange> sortedJoined(QList<BlockRange> ranges) {
    std::sort(ranges.begin(), ranges.end(),
              [](const BlockRange& a, const BlockRange& b) { return a.begin < b.begin; });
    QList<BlockRange> out;
    for (const BlockRange& r : ranges) {
        if (!out.isEmpty() && out.last().end == r.begin)
            out.last().end = r.end;
        else
            out.append(r);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    TransferList list;
    QString error;
    if (!ParseTransferList(bytes, &list, &error)) {
        require(!error.isEmpty());
        return 0;
    }
    require(list.version >= 1 && list.version <= 4);
    require(list.imageBlocks <= kMaxTransferBlocks);
    QList<BlockRange> newRanges, zeroRanges;
    quint64 written = 0, fresh = 0;
    for (const TransferCommand& command : list.commands) {
        quint64 blocks = 0;
        for (const BlockRange& range : command.ranges) {
            require(range.begin < range.end && range.end <= list.imageBlocks);
            blocks += range.end - range.begin;
        }
        require(blocks == command.blocks);
        if (command.kind == TransferCommand::Kind::New) {
            fresh += blocks;
            newRanges += command.ranges;
        } else if (command.kind == TransferCommand::Kind::Zero) {
            zeroRanges += command.ranges;
        }
        if (command.kind != TransferCommand::Kind::Erase)
            written += blocks;
    }
    require(written == list.totalBlocks);
    require(fresh == list.newBlocks);

    const QByteArray again = WriteTransferList(
        list.version, list.imageBlocks, sortedJoined(newRanges), sortedJoined(zeroRanges), true);
    TransferList reread;
    require(ParseTransferList(again, &reread, &error));
    require(reread.newBlocks == list.newBlocks);
    require(reread.imageBlocks == list.imageBlocks);
    require(reread.version == list.version);
    return 0;
}
