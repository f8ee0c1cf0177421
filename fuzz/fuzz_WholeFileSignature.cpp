// The whole-file signature verifier over any bytes (a package nobody here
// signed): the footer, the end record, the CMS block and the signature are
// read without a crash or a read out of bounds, and what it accepts really
// ends with a signature block in a comment the end record counts.

#include "core/crypto/WholeFileSignature.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// A certificate of a key made for this program only (EC P-256, SHA-256): the
// seeds are packages signed with it, so that inputs near them reach the
// signature check itself.
const char kCertificate[] = R"(-----BEGIN CERTIFICATE-----
MIIBdjCCARugAwIBAgIUS8lSoUeKfrAtqjzfChoeX1hJVcswCgYIKoZIzj0EAwIw
DzENMAsGA1UEAwwEZnV6ejAgFw0yNjEyMTAxNTI5NTJaGA8yMTI2MTExNjE1Mjk1
MlowDzENMAsGA1UEAwwEZnV6ejBZMBMGByqGSM49AgEGCCqGSM49AwEHA0IABHnb
ysh1k2baF+lTnsUeENVheNn41cK1pIWS3r4d709jYyjLqinwINYKlnCSmQfD204/
JXsyI93Y2GEnm0D7DqWjUzBRMB0GA1UdDgQWBBQTzMiKIMsGfYHM/SnTex93Pn0N
PjAfBgNVHSMEGDAWgBQTzMiKIMsGfYHM/SnTex93Pn0NPjAPBgNVHRMBAf8EBTAD
AQH/MAoGCCqGSM49BAMCA0kAMEYCIQDLLTbJVfSCLSCE1Q67WBNkA6nL1ULZlXMT
1xb1yMK1wQIhALPnW/iATvwjEAcl+HOQdUOcQaI6OMr6X/iKqQ9m8xcn
-----END CERTIFICATE-----
)";

void require(bool condition) {
    if (!condition)
        std::abort();
}

int memoryFile(const char* name, const void* data, size_t size) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    require(fd >= 0);
    const auto* bytes = static_cast<const char*>(data);
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        require(n > 0);
        done += static_cast<size_t>(n);
    }
    return fd;
}

QString pathOf(int fd) {
    return QStringLiteral("/proc/self/fd/%1").arg(fd);
}

int g_certificate = -1;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_certificate = memoryFile("certificate", kCertificate, sizeof(kCertificate) - 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = memoryFile("package", data, size);
    QString error;
    const bool verified = VerifyWholeFileSignature(pathOf(fd), pathOf(g_certificate), &error);
    ::close(fd);
    // Every refusal says why; an accepted package ends with the footer's
    // marker and its comment length, and holds its end record.
    require(verified || !error.isEmpty());
    if (verified) {
        require(size >= 22 + 6);
        require(data[size - 4] == 0xff && data[size - 3] == 0xff);
        const size_t comment =
            static_cast<size_t>(data[size - 2]) | (static_cast<size_t>(data[size - 1]) << 8);
        require(comment + 22 <= size);
        const uint8_t* record = data + size - comment - 22;
        require(record[0] == 'P' && record[1] == 'K' && record[2] == 5 && record[3] == 6);
    }
    return 0;
}
