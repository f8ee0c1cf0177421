#pragma once

#include "core/format/ZipFormat.h"

#include <QIODevice>
#include <QString>

#include <memory>

// A member of an archive read as a device, without unpacking the archive.

// A read-only, random-access window onto bytes [offset, offset + size) of an
// open file. The descriptor is not owned: it must stay open while the device
// is read. Reads past the window's end give end of file; a read error of the
// file is the device's error (errorString).
class FileRangeDevice : public QIODevice {
public:
    FileRangeDevice(int fd, quint64 offset, qint64 size);

    bool open(OpenMode mode) override; // ReadOnly only
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_size; }
    bool seek(qint64 position) override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    int m_fd;
    quint64 m_offset;
    qint64 m_size;
    qint64 m_position = 0;
};

// The uncompressed bytes of an entry of the open archive as an open,
// read-only, random-access device:
// - a stored entry: a FileRangeDevice onto its data (nothing is read now, so
//   its CRC-32 is not checked);
// - a deflated one: inflated and checked (size, CRC-32) by the shared member
//   reader, into memory when it holds at most memoryLimit bytes, else into an
//   unnamed temporary file in the system's temporary directory (gone with the
//   device).
// The descriptor must stay open while the device is read. Null with the
// cause when the local header disagrees, the method cannot be read or the
// data is damaged.
std::unique_ptr<QIODevice> OpenZipMemberDevice(int fd, const ZipCentralEntry& entry,
                                               qint64 memoryLimit, QString* error);
