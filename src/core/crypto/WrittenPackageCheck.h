#pragma once

#include "core/format/ZipFormat.h"

#include <QString>

#include <memory>

// The one check of a signed package after it is written, for the window's
// save and the one pass alike: every member's local header agrees with its
// central record and its data inflates to its size with its CRC-32 (computed
// from the bytes as they are written, on a thread of its own, so that they
// are not read back); then, from the file, the central directory read back
// agrees with the entries written, the device reads every entry, and the
// whole-file signature verifies with the certificate.
//
// The package is written in one pass and read back only at its ends: when
// the writer gives the digest it signed (signedAs), the signature block read
// from the file is verified over that digest, and the file's end must put the
// signed bytes where they were written; only without one is the whole file
// hashed again. What this catches after writing: bytes that leave the writer
// other than those it signed (the check takes them after they are written,
// the signature's digest before), a directory, end record or signature block
// on disk other than the one written. What it leaves to the file system: a
// byte changed on disk after it was written, which only a full re-read would
// see (VerifySignedPackage does that, as the bench's check row and the
// tests use it).
class WrittenPackageCheck {
public:
    WrittenPackageCheck();
    ~WrittenPackageCheck();
    WrittenPackageCheck(const WrittenPackageCheck&) = delete;
    WrittenPackageCheck& operator=(const WrittenPackageCheck&) = delete;

    // An entry about to be written: its central record as it will be, its
    // local header at localHeaderOffset of the package. Entries come in the
    // order of their offsets, each before its bytes.
    void expect(const ZipCentralEntry& entry);
    // The package's next bytes, from its first, as they were written.
    void take(const char* data, qint64 size);
    // The digest the whole-file signature was made over and the number of
    // signed bytes, as the signer computed them from the outgoing bytes.
    void signedAs(const QByteArray& digest, qint64 signedBytes);
    // Once the file at path is complete: the checks of the file, after those
    // of the bytes taken. False with the cause, naming the member at fault.
    bool finish(const QString& path, const QString& certificate, QString* error);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
