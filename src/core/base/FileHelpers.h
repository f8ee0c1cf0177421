#pragma once

#include "core/base/TestHooks.h"

#include <QString>
#include <QStringList>

#include <functional>

class QFileDevice;

namespace FileHelpers {

// File operations of the workspace. Each answers with a boolean and reports
// nothing to the user; callers word the messages.

// A file or a directory (or a link, even a dangling one) is at path.
// A path that ends in a separator counts as absent.
bool PathExists(const QString& path);

// Removes the directory with everything below it, whatever bytes the names
// below it hold (a QString cannot spell a name that is not UTF-8). Links are
// removed, never followed. True when it is gone or was never there. A file
// that cannot be deleted ends the pass of its directory.
bool DeleteDirectoryTree(const QString& path);
// The same for a directory named by its native (byte) path.
bool DeleteNativeDirectoryTree(const QByteArray& path);

// The longest file name, in bytes, that the file system holding directory
// takes (NAME_MAX); 255 when it cannot be told.
qint64 MaxFileNameBytes(const QString& directory);
// The longest name, in bytes, of a file written into directory through a
// TemporaryFile (whose own name is short when the target's is long).
qint64 MaxTargetNameBytes(const QString& directory);

// The names in a directory ("." and ".." left out), in case-insensitive name
// order folded to upper case (so '_' sorts after the letters): the order
// every enumeration of the system uses.
QStringList ListDirectory(const QString& directory);
// That order: true when name a comes before name b.
bool NameLess(const QString& a, const QString& b);

bool IsDirectory(const QString& path);

// False for a path that exists (links followed) and is not a regular file: a
// FIFO blocks whoever opens it for reading, a device may never end. A path
// that does not exist passes, for its open to name the cause.
bool IsRegularOrMissing(const QString& path);

// Both paths name the same file: the same path, symbolic links to one file,
// or hard links (one inode).
bool IsSameFile(const QString& first, const QString& second);

// Deletes one file (not a directory). Attributes and permissions are left alone.
bool RemoveFile(const QString& path);
// Removes one empty directory.
bool RemoveEmptyDirectory(const QString& path);
// Creates one directory; false when it exists already or cannot be made.
bool CreateDirectory(const QString& path);
// Makes path (and its missing parents) a directory only its owner may enter
// (0700), tightening one that exists. False when it cannot be made so.
bool MakePrivateDirectory(const QString& path);
// Copies a file in one kernel-side copy. With failIfExists an existing target
// fails the copy; otherwise it is replaced.
bool CopyFileTo(const QString& from, const QString& to, bool failIfExists);

// Moves a file to a path that does not exist yet, without copying its data
// (same file system only).
bool MoveFileTo(const QString& from, const QString& to);

// Renames a file over another in one step (same file system), so that the
// target holds either its old or its new content, never a mixture; the
// target's directory is flushed so the rename survives a power loss.
bool ReplaceFile(const QString& from, const QString& to);

// Copies a file over path through a TemporaryFile beside it, renamed into
// place once complete: path holds its old or its new bytes, never a part.
// The temporary file is removed on failure. The cause, when asked for, names
// what failed.
bool CopyFileReplacing(const QString& from, const QString& to, QString* error = nullptr);

// Flushes a directory's entries (creations, renames) to the disk. False with
// the cause when the file system refuses.
bool SyncDirectory(const QString& directory, QString* error = nullptr);

// The suffix every temporary file of the program ends with; nothing else
// carries it.
QString TemporarySuffix();
// True for a file name made by TemporaryFile (any target).
bool IsTemporaryName(const QString& fileName);

// A new file beside its target under a unique hidden name
// (".NAME.XXXXXXXX.corvane-part", or ".HHHHHHHH.XXXXXXXX.corvane-part", H a
// hash of NAME, when the long form would not fit), created exclusively
// without following a link, so a name planted in a shared folder is never written
// through. The file stays locked (flock) while this object lives, which tells a live writer from an
// abandoned file (RemoveAbandonedTemporaries). commit() flushes it and renames it over the target;
// otherwise it is removed when the object goes.
class TemporaryFile {
public:
    explicit TemporaryFile(QString target);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates the file: with the permissions of the file it will replace, or
    // for a new target mode 0666 less the umask. False with the cause.
    bool open(QString* error = nullptr);
    int handle() const { return m_fd; }
    const QString& path() const { return m_path; }
    const QString& target() const { return m_target; }
    // Writes all of data; false with the cause (a full disk names itself).
    bool write(const char* data, qint64 size, QString* error = nullptr);
    bool write(const QByteArray& data, QString* error = nullptr) {
        return write(data.constData(), data.size(), error);
    }
    // Flushes the data, closes the file and renames it over the target, then
    // flushes the directory. False with the cause; the temporary is gone then.
    bool commit(QString* error = nullptr);
    // Flushes the data to the disk (before a caller checks what it wrote).
    bool sync(QString* error = nullptr);
    // Renames the file over the target without flushing it or its directory:
    // for scratch files that nothing durable depends on (whoever keeps their
    // bytes flushes its own copy). False with the cause; the temporary is
    // gone then.
    bool commitScratch(QString* error = nullptr);
    // Removes the file now (nothing once committed).
    void discard();

private:
    QString m_target;
    QString m_path;
    int m_fd = -1;
};

// Removes the temporary files beside target (of any earlier TemporaryFile for
// it) whose writer is gone: those whose lock can be taken. A live writer's
// file is left alone.
void RemoveAbandonedTemporaries(const QString& target);
// The same for every temporary file directly in directory.
void RemoveAbandonedTemporariesIn(const QString& directory);

// Flushes a file's data to the disk.
bool SyncFile(const QString& path);

// Writes all of data to an open file and flushes it; false when any of it
// did not reach the file (a full disk).
bool WriteAll(QFileDevice& file, const QByteArray& data);

// Bytes a user may still write on the file system holding path; -1 when
// that cannot be told.
qint64 AvailableBytes(const QString& path);
// (Its test seams, and every other, are in core/base/TestHooks.h.)

} // namespace FileHelpers
