// Opens a ZIP archive with Android's libziparchive and inflates every entry,
// checking its CRC-32 here (the library itself does not): an independent
// strict reader for the archive editor's tests.
// Exit status 0 when every entry reads back; the failure is on stderr.

#include <ziparchive/zip_archive.h>

#include <zlib.h>

#include <cstdio>
#include <string>

namespace {

struct Check {
    uLong crc = crc32(0, nullptr, 0);
    uint64_t size = 0;
};

bool accumulate(const uint8_t* data, size_t size, void* cookie) {
    auto* check = static_cast<Check*>(cookie);
    check->crc = crc32(check->crc, data, static_cast<uInt>(size));
    check->size += size;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
        return 2;
    }
    ZipArchiveHandle handle = nullptr;
    int32_t result = OpenArchive(argv[1], &handle);
    if (result != 0) {
        std::fprintf(stderr, "open: %s\n", ErrorCodeString(result));
        CloseArchive(handle);
        return 1;
    }
    void* cookie = nullptr;
    result = StartIteration(handle, &cookie);
    if (result != 0) {
        std::fprintf(stderr, "iterate: %s\n", ErrorCodeString(result));
        CloseArchive(handle);
        return 1;
    }
    ZipEntry entry;
    std::string name;
    size_t count = 0;
    while ((result = Next(cookie, &entry, &name)) == 0) {
        Check check;
        const int32_t read = ProcessZipEntryContents(handle, &entry, accumulate, &check);
        const char* failure = read != 0                                 ? ErrorCodeString(read)
                              : check.crc != entry.crc32                ? "CRC-32 mismatch"
                              : check.size != entry.uncompressed_length ? "size mismatch"
                                                                        : nullptr;
        if (failure) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), failure);
            EndIteration(cookie);
            CloseArchive(handle);
            return 1;
        }
        ++count;
    }
    EndIteration(cookie);
    CloseArchive(handle);
    if (result != -1) { // -1: iteration ended
        std::fprintf(stderr, "iterate: %s\n", ErrorCodeString(result));
        return 1;
    }
    std::printf("%zu entries\n", count);
    return 0;
}
