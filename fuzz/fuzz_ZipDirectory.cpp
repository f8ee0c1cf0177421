// The ZIP reader over any bytes (a package nobody here wrote): no crash, no
// read out of bounds, and a directory it accepts keeps the reader's promises;
// the device check then runs over it.

#include "core/format/ZipFormat.h"

#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

// The promises of an accepted directory: every entry's bytes lie before the
// directory, after its stub, and apart from every other entry's.
void checkDirectory(const ZipDirectory& directory, size_t size) {
    require(directory.fileSize == size);
    require(directory.directoryOffset <= directory.fileSize);
    require(directory.prefixBias <= directory.directoryOffset);
    std::vector<std::pair<quint64, quint64>> extents;
    for (const ZipCentralEntry& entry : directory.entries) {
        require(entry.localHeaderOffset >= directory.prefixBias);
        require(entry.localHeaderOffset + 30 + static_cast<quint64>(entry.rawName.size()) <=
                entry.extentEnd);
        require(entry.extentEnd <= directory.directoryOffset);
        require(entry.extentEnd - entry.localHeaderOffset >= entry.compressedSize);
        extents.emplace_back(entry.localHeaderOffset, entry.extentEnd);
    }
    std::sort(extents.begin(), extents.end());
    for (size_t i = 1; i < extents.size(); ++i)
        require(extents[i].first >= extents[i - 1].second);
    require(ZipPartStart(directory) <= directory.directoryOffset);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = memfd_create("fuzz_ZipDirectory", MFD_CLOEXEC);
    require(fd >= 0);
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        require(n > 0);
        done += static_cast<size_t>(n);
    }
    ZipDirectory directory;
    QString error;
    if (ReadZipDirectory(fd, &directory, &error)) {
        checkDirectory(directory, size);
        QString cause;
        const bool readable = CheckDeviceReadable(directory, &cause);
        require(readable == cause.isEmpty());
        QString strictCause;
        if (CheckDeviceReadable(directory, &strictCause, true))
            require(readable);
        for (const ZipCentralEntry& entry : directory.entries)
            require(!PrintableZipName(entry.rawName).contains(QChar(0)));
    } else {
        require(!error.isEmpty());
    }
    ::close(fd);
    return 0;
}
