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
// whole-file signature verifies over the file with the certificate.
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
    // The package's next bytes, from its first.
    void take(const char* data, qint64 size);
    // Once the file at path is complete: the checks of the file, after those
    // of the bytes taken. False with the cause, naming the member at fault.
    bool finish(const QString& path, const QString& certificate, QString* error);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
