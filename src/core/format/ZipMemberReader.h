#pragma once

#include "core/base/RandomAccessSource.h"
#include "core/base/UniqueFd.h"
#include "core/format/ZipFormat.h"

#include <QList>
#include <QPair>
#include <QString>

#include <functional>

// An archive opened for reading, its central directory read and checked.
class OpenedZip {
public:
    // False with the cause ("cannot open", "is not a readable ZIP: ...").
    bool open(const QString& archive, QString* error);
    int fd() const { return m_fd.get(); }
    const ZipDirectory& directory() const { return m_directory; }

private:
    UniqueFd m_fd;
    ZipDirectory m_directory;
};

// Reading members' bytes with the program's own reader, checked as the
// device's reader checks them.

// Streams the uncompressed bytes of an entry of the open archive to sink:
// the local header agrees with the central directory, a stored entry has one
// size, the data inflates to its size with its CRC-32. A sink answering false
// stops the reading (its cause is the caller's). False with the cause.
// Inflating stops at the entry's uncompressed size: a stream that would give
// more is damaged, and no more than that size reaches the sink.
// With a storedSink, every byte of the entry's data as it lies in the archive
// (its whole compressed size, also after a deflated stream has ended) goes
// there too, each piece before what it inflates to; a storedSink answering
// false stops the reading likewise. The pieces are not checked yet when they
// arrive: only a true answer says that they are sound.
using ZipDataSink = std::function<bool(const char* data, qint64 size)>;
bool ReadZipMemberData(const RandomAccessSource& archive, const ZipCentralEntry& entry,
                       const ZipDataSink& sink, QString* cause, const ZipDataSink& storedSink = {});
bool ReadZipMemberData(int fd, const ZipCentralEntry& entry, const ZipDataSink& sink,
                       QString* cause, const ZipDataSink& storedSink = {});

// Where an entry's data begins in the open archive, once its local header
// agrees with the central directory and its method is stored or deflated (a
// stored entry with one size). False with the cause.
bool ZipMemberDataOffset(const RandomAccessSource& archive, const ZipCentralEntry& entry,
                         quint64* offset, QString* cause);
bool ZipMemberDataOffset(int fd, const ZipCentralEntry& entry, quint64* offset, QString* cause);

// The bytes of the member of that canonical name (the last entry of it),
// when it holds at most limit bytes. False with the cause.
bool ReadZipMember(const QString& archive, const QString& member, qint64 limit, QByteArray* bytes,
                   QString* error);
// The same for the entry of exactly that raw name, as a device looks a file
// up ("system\\build.prop" is not "system/build.prop"). An archive without
// one gives empty bytes and true; *found says which.
bool ReadZipMemberNamedExactly(const QString& archive, const QByteArray& rawName, qint64 limit,
                               QByteArray* bytes, bool* found, QString* error);

// Writes members of the archive to files: each (index in the central
// directory, path) through a temporary file beside the path, renamed into
// place once whole and checked. Folders are made as needed. False with the
// cause at the first that fails; those written before stay.
bool ExtractZipEntries(const QString& archive, const QList<QPair<quint64, QString>>& entries,
                       QString* error);
