#pragma once

#include "core/base/UniqueFd.h"
#include "core/format/ArchiveOutput.h"

#include <QString>

// The journal of an edit in place: the bytes an edit will write over saved
// beside the archive first, with the identity of the archive they belong to,
// so that an interrupted edit is rolled back onto that archive only.
namespace archive_edit {

// Which file the journal was written for: its device and inode, its birth
// time where the file system keeps one (an inode number freed by a deleted
// file may come back), and the CRC-32 of the 64 KiB before the saved bytes,
// which an edit never writes. The file identity holds even when the edit
// empties the archive and there is nothing before the saved bytes.
struct ArchiveIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    quint64 birth = 0; // nanoseconds since the epoch; 0 where unknown
    quint64 fingerprint = 0;
    bool operator==(const ArchiveIdentity&) const = default;
};

// The journal's header: what was saved, from which archive.
struct JournalHeader {
    quint64 oldLength = 0;
    quint64 savedOffset = 0;
    quint64 savedLength = 0;
    ArchiveIdentity identity;
};

bool identityOf(int fd, quint64 savedOffset, ArchiveIdentity* identity, QString* error);
bool writeJournal(const QString& archive, int archiveFd, quint64 savedOffset, quint64 oldLength,
                  Progress& progress, QString* error);
bool readJournalHeader(int fd, JournalHeader* header, quint32* storedCrc);
bool journalChecksumHolds(int fd, const JournalHeader& header, quint32 stored, QString* error);
bool replayJournal(int journalFd, const JournalHeader& header, UniqueFd& target, QString* error);
bool setJournalAside(const QString& journal, const QString& kind, QString* setAside,
                     QString* error);

} // namespace archive_edit
