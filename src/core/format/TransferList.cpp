#include "core/format/TransferList.h"

#include <algorithm>

namespace {

constexpr char kIncremental[] = "incremental";
constexpr quint64 kMaxBlocksPerCommand = 1024;

// A decimal number without sign, at most max.
bool parseNumber(QByteArrayView text, quint64 max, quint64* value) {
    if (text.isEmpty() || text.size() > 20)
        return false;
    quint64 v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const quint64 digit = static_cast<quint64>(c - '0');
        if (digit > max || v > (max - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

bool parseRangeSet(QByteArrayView text, QList<BlockRange>* ranges, quint64* blocks,
                   QString* cause) {
    const QList<QByteArrayView> parts = [&] {
        QList<QByteArrayView> out;
        qsizetype from = 0;
        for (qsizetype i = 0; i <= text.size(); ++i) {
            if (i == text.size() || text[i] == ',') {
                out.append(text.sliced(from, i - from));
                from = i + 1;
            }
        }
        return out;
    }();
    quint64 count = 0;
    if (!parseNumber(parts.first(), kMaxTransferBlocks * 2, &count)) {
        *cause = QStringLiteral("a range set's count is not a number");
        return false;
    }
    if (count == 0 || count % 2 != 0 || count != static_cast<quint64>(parts.size() - 1)) {
        *cause = QStringLiteral("a range set's count (%1) does not match its %2 numbers")
                     .arg(count)
                     .arg(parts.size() - 1);
        return false;
    }
    ranges->clear();
    ranges->reserve(static_cast<qsizetype>(count / 2));
    *blocks = 0;
    for (qsizetype i = 1; i + 1 < parts.size(); i += 2) {
        BlockRange range;
        if (!parseNumber(parts[i], kMaxTransferBlocks, &range.begin) ||
            !parseNumber(parts[i + 1], kMaxTransferBlocks, &range.end)) {
            *cause = QStringLiteral("a range names a block that is not a number below %1")
                         .arg(kMaxTransferBlocks);
            return false;
        }
        if (range.begin >= range.end) {
            *cause = QStringLiteral("the range %1-%2 is empty").arg(range.begin).arg(range.end);
            return false;
        }
        *blocks += range.end - range.begin;
        ranges->append(range);
    }
    QList<BlockRange> sorted = *ranges;
    std::sort(sorted.begin(), sorted.end(),
              [](const BlockRange& a, const BlockRange& b) { return a.begin < b.begin; });
    for (qsizetype i = 1; i < sorted.size(); ++i) {
        if (sorted[i].begin < sorted[i - 1].end) {
            *cause = QStringLiteral("the ranges %1-%2 and %3-%4 overlap")
                         .arg(sorted[i - 1].begin)
                         .arg(sorted[i - 1].end)
                         .arg(sorted[i].begin)
                         .arg(sorted[i].end);
            return false;
        }
    }
    return true;
}

QList<QByteArrayView> splitLines(const QByteArray& text) {
    QList<QByteArrayView> lines;
    const QByteArrayView all(text);
    qsizetype from = 0;
    for (qsizetype i = 0; i < all.size(); ++i) {
        if (all[i] == '\n') {
            lines.append(all.sliced(from, i - from));
            from = i + 1;
        }
    }
    if (from < all.size())
        lines.append(all.sliced(from));
    return lines;
}

} // namespace

bool ParseTransferList(const QByteArray& text, TransferList* list, QString* error) {
    *list = {};
    const QList<QByteArrayView> lines = splitLines(text);
    const auto fail = [&](qsizetype line, const QString& what) {
        *error =
            QStringLiteral("the transfer list is damaged: line %1: %2").arg(line + 1).arg(what);
        return false;
    };
    if (lines.size() < 2)
        return fail(lines.size(), QStringLiteral("the header ends early"));
    quint64 version = 0;
    if (!parseNumber(lines[0], 4, &version) || version < 1)
        return fail(0, QStringLiteral("not a known version (1 to 4)"));
    list->version = static_cast<int>(version);
    if (!parseNumber(lines[1], kMaxTransferBlocks * 2, &list->totalBlocks))
        return fail(1, QStringLiteral("the count of blocks is not a number"));
    qsizetype first = 2;
    if (version >= 2) {
        if (lines.size() < 4)
            return fail(lines.size(), QStringLiteral("the header ends early"));
        if (!parseNumber(lines[2], kMaxTransferBlocks, &list->stashEntries) ||
            !parseNumber(lines[3], kMaxTransferBlocks, &list->stashBlocks))
            return fail(2, QStringLiteral("the stash counts are not numbers"));
        first = 4;
    }
    quint64 written = 0;
    for (qsizetype i = first; i < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        if (line.isEmpty())
            continue;
        const qsizetype space = line.indexOf(' ');
        const QByteArrayView name = space < 0 ? line : line.first(space);
        TransferCommand command;
        if (name == "new")
            command.kind = TransferCommand::Kind::New;
        else if (name == "zero")
            command.kind = TransferCommand::Kind::Zero;
        else if (name == "erase")
            command.kind = TransferCommand::Kind::Erase;
        else if (name == "move" || name == "bsdiff" || name == "imgdiff" || name == "stash" ||
                 name == "free") {
            *error = QStringLiteral("%1 package: its transfer list patches the partition on the "
                                    "device (a %2 command at line %3)")
                         .arg(QLatin1String(kIncremental))
                         .arg(QString::fromLatin1(name.toByteArray()))
                         .arg(i + 1);
            return false;
        } else {
            return fail(i, QStringLiteral("an unknown command"));
        }
        if (space < 0)
            return fail(i, QStringLiteral("a command without its range set"));
        QString cause;
        if (!parseRangeSet(line.sliced(space + 1), &command.ranges, &command.blocks, &cause))
            return fail(i, cause);
        for (const BlockRange& range : command.ranges)
            list->imageBlocks = std::max(list->imageBlocks, range.end);
        if (command.kind == TransferCommand::Kind::New)
            list->newBlocks += command.blocks;
        if (command.kind != TransferCommand::Kind::Erase)
            written += command.blocks;
        list->commands.append(std::move(command));
    }
    // Every block is named by one command at most: the new data and the
    // zeros land where they are listed whatever the order.
    QList<BlockRange> all;
    for (const TransferCommand& command : list->commands)
        all += command.ranges;
    std::sort(all.begin(), all.end(),
              [](const BlockRange& a, const BlockRange& b) { return a.begin < b.begin; });
    for (qsizetype i = 1; i < all.size(); ++i) {
        if (all[i].begin < all[i - 1].end) {
            *error = QStringLiteral("the transfer list is damaged: block %1 is named by two "
                                    "commands")
                         .arg(all[i].begin);
            return false;
        }
    }
    if (written != list->totalBlocks) {
        *error = QStringLiteral("the transfer list is damaged: its header counts %1 blocks, its "
                                "commands write %2")
                     .arg(list->totalBlocks)
                     .arg(written);
        return false;
    }
    return true;
}

bool IsIncrementalTransferCause(const QString& cause) {
    return cause.startsWith(QLatin1String(kIncremental));
}

QByteArray TransferRangeSetText(const QList<BlockRange>& ranges) {
    QByteArray text = QByteArray::number(ranges.size() * 2);
    for (const BlockRange& range : ranges) {
        text += ',';
        text += QByteArray::number(range.begin);
        text += ',';
        text += QByteArray::number(range.end);
    }
    return text;
}

namespace {

// The ranges cut into pieces of at most kMaxBlocksPerCommand blocks.
QList<QList<BlockRange>> splitRanges(const QList<BlockRange>& ranges) {
    QList<QList<BlockRange>> pieces;
    QList<BlockRange> piece;
    quint64 inPiece = 0;
    for (BlockRange range : ranges) {
        while (range.begin < range.end) {
            const quint64 take = std::min(range.end - range.begin, kMaxBlocksPerCommand - inPiece);
            piece.append({range.begin, range.begin + take});
            range.begin += take;
            inPiece += take;
            if (inPiece == kMaxBlocksPerCommand) {
                pieces.append(piece);
                piece.clear();
                inPiece = 0;
            }
        }
    }
    if (!piece.isEmpty())
        pieces.append(piece);
    return pieces;
}

QList<BlockRange> freeRangesOf(quint64 imageBlocks, const QList<BlockRange>& a,
                               const QList<BlockRange>& b) {
    QList<BlockRange> used = a + b;
    std::sort(used.begin(), used.end(),
              [](const BlockRange& x, const BlockRange& y) { return x.begin < y.begin; });
    QList<BlockRange> free;
    quint64 at = 0;
    for (const BlockRange& range : used) {
        if (range.begin > at)
            free.append({at, range.begin});
        at = std::max(at, range.end);
    }
    if (at < imageBlocks)
        free.append({at, imageBlocks});
    return free;
}

} // namespace

QByteArray WriteTransferList(int version, quint64 imageBlocks, const QList<BlockRange>& newRanges,
                             const QList<BlockRange>& zeroRanges, bool freeErased) {
    const QList<BlockRange> freeRanges = freeRangesOf(imageBlocks, newRanges, zeroRanges);
    QByteArray commands;
    quint64 total = 0;
    const auto add = [&](const char* name, const QList<BlockRange>& ranges, bool split) {
        if (ranges.isEmpty())
            return;
        const QList<QList<BlockRange>> pieces =
            split ? splitRanges(ranges) : QList<QList<BlockRange>>{ranges};
        for (const QList<BlockRange>& piece : pieces) {
            commands += name;
            commands += ' ';
            commands += TransferRangeSetText(piece);
            commands += '\n';
        }
    };
    const auto blocksOf = [](const QList<BlockRange>& ranges) {
        quint64 n = 0;
        for (const BlockRange& r : ranges)
            n += r.end - r.begin;
        return n;
    };
    if (freeErased)
        add("erase", freeRanges, false);
    add("new", newRanges, true);
    total += blocksOf(newRanges);
    add("zero", zeroRanges, true);
    total += blocksOf(zeroRanges);
    if (!freeErased) {
        add("zero", freeRanges, true);
        total += blocksOf(freeRanges);
    }
    QByteArray text = QByteArray::number(version) + '\n' + QByteArray::number(total) + '\n';
    if (version >= 2)
        text += "0\n0\n";
    return text + commands;
}
