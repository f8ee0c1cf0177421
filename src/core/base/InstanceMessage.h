#pragma once

#include <QByteArray>
#include <QString>

// What a later start of the window tells the running one: come forward, and
// open a package. The bytes come from another process, so they are read
// strictly and in bounded size:
//
//   "corvane-instance 1\n" LENGTH "\n" PATH
//
// LENGTH is the decimal byte count of PATH (no leading zeros), PATH an
// absolute path in UTF-8 (any character but NUL, line breaks included), or
// nothing when the start named no package.
namespace InstanceMessage {

// No message is longer: a path of the longest length Linux takes and the
// header.
constexpr qsizetype kMaxBytes = 4096 + 64;

QByteArray encode(const QString& package);

enum class State {
    Incomplete, // a prefix of a message: more bytes may complete it
    Complete,   // a whole message, nothing after it
    Invalid,    // no message, whatever follows
};

struct Parsed {
    State state = State::Incomplete;
    QString package; // when Complete: the absolute path, or empty
};

Parsed parse(const QByteArray& bytes);

// Whether the path names a regular file (through links) that may be opened:
// a FIFO, a device or a folder is never opened on another's word.
bool NamesRegularFile(const QString& path);

} // namespace InstanceMessage
