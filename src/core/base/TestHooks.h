#pragma once

#include <QString>

#include <functional>

// Every seam a test may install, in one place and of one shape: a
// Set...ForTesting(hook) installs a std::function, nullptr removes it, and
// without a hook a seam costs one test of an empty function.

// Named fault points at the boundaries of the commands' steps
// ("open:extracted", "add:archive-committed", "save:verified", ...) and of
// every archive commit ("archive:journal-written", "archive:entries-written",
// "archive:directory-written", "archive:truncated", "archive:synced" (the last
// before the journal is removed), "archive:committed" (just after)).
// The hook may block at a point, so that another process kills the test's
// worker exactly there, or answer:
//   None  go on;
//   Kill  (archive points) stop there as if the process had been killed:
//         nothing is cleaned up;
//   Fail  (archive points but "archive:committed") the step fails as an I/O
//         error would.
// The commands' own points only wait for the hook; they ignore its answer.
// The open's points for a partition image are listed in WorkingImage.h.
// "apk:signed" is reached when an APK has been signed, before its signature
// is checked: a hook may damage the signed copy there.
enum class FaultAction { None, Kill, Fail };
FaultAction FaultPoint(const char* name);
void SetFaultPointHookForTesting(std::function<FaultAction(const char* name)> hook);

// Sees each piece of a signed package on its way out, after the signature's
// digest took it and before it is written: a hook may change its bytes (a
// writer that puts out other bytes than those it signed), which the check
// after writing must catch. position: the piece's offset in the package.
using OutgoingBytesHook = std::function<void(qint64 position, char* data, qint64 size)>;
void SetOutgoingBytesHookForTesting(OutgoingBytesHook hook);
const OutgoingBytesHook& OutgoingBytesHookForTesting();

// Replaces the answer of IsOnNonFixedDrive (a test's output on a "USB stick").
void SetDriveClassifierForTesting(std::function<bool(const QString& path)> classifier);

namespace FileHelpers {

// Replaces AvailableBytes, to make a disk look full.
void SetAvailableBytesForTesting(std::function<qint64(const QString& path)> available);

// Makes chosen file operations fail, as a read-only or locked file would on a
// desktop (tests run as root, where permissions stop nothing). The predicate
// answers true to make the operation on path fail. TemporaryFile asks with
// its target's path, not the temporary name.
enum class FileOp { RemoveFile, RemoveDirectory, CreateDirectory, CopyFile, WriteFile, MoveFile };
using FileFaultPredicate = std::function<bool(FileOp op, const QString& path)>;
void SetFileFaultsForTesting(FileFaultPredicate predicate);

} // namespace FileHelpers
