#pragma once

#include "core/format/BlockImageCodec.h"

#include <QByteArray>
#include <QList>
#include <QString>

// A block image's transfer list (versions 1 to 4): the header (version, the
// blocks the list writes, and from version 2 the stash entries and stash
// blocks it needs at once), then one command a line over range sets
// ("N,a,b,..." : N numbers, pairs of half-open ranges [a, b) of 4 KiB blocks).
// A full image is written by new (the next blocks of the new data), zero and
// erase; move, bsdiff, imgdiff, stash and free are the commands of an
// incremental update, which patches a partition already on the device.

inline constexpr quint32 kTransferBlockSize = 4096;
// Block numbers stay below this: 1 TiB of 4 KiB blocks.
inline constexpr quint64 kMaxTransferBlocks = quint64(1) << 28;

struct TransferCommand {
    enum class Kind { New, Zero, Erase };
    Kind kind = Kind::New;
    QList<BlockRange> ranges; // as listed, each non-empty, disjoint
    quint64 blocks = 0;       // the sum of the ranges' lengths
};

struct TransferList {
    int version = 0;
    quint64 totalBlocks = 0;                   // the header's count: new and zero blocks
    quint64 stashEntries = 0, stashBlocks = 0; // version 2 and later
    QList<TransferCommand> commands;
    quint64 newBlocks = 0;   // the blocks the new data holds
    quint64 imageBlocks = 0; // one past the highest block a command names
};

// Reads a transfer list. False with the cause for a list that does not hold
// together: an unknown version, a header count the commands disagree with, a
// malformed range set (odd or wrong count, an empty or reversed range, a
// block beyond kMaxTransferBlocks, ranges that overlap, a block named by two
// commands), an unknown command,
// or an incremental command (the cause then begins with "incremental").
bool ParseTransferList(const QByteArray& text, TransferList* list, QString* error);

// Whether a cause from ParseTransferList is the refusal of an incremental list.
bool IsIncrementalTransferCause(const QString& cause);

// A range set's text: "N,a,b,...".
QByteArray TransferRangeSetText(const QList<BlockRange>& ranges);

// The list that writes an image of imageBlocks blocks whose used blocks are
// newRanges (non-zero, their bytes the new data in ascending order) and
// zeroRanges (zero); every other block is free and is erased (freeErased) or
// zeroed. Ranges ascending and disjoint. Commands of at most 1024 blocks for
// new and zero; the header's count is the new and zero blocks.
QByteArray WriteTransferList(int version, quint64 imageBlocks, const QList<BlockRange>& newRanges,
                             const QList<BlockRange>& zeroRanges, bool freeErased);
