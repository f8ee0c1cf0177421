// The compiled-manifest reader's string pool over documents far larger than
// the input: the input is a raw deflate stream, inflated (up to 16 MB) into
// the document that is read, as an APK's deflated AndroidManifest.xml would
// be. A document naming long strings many times must cost no more than its
// size: no string is decoded at every mention.

#include "FuzzSupport.h"

#include "core/crypto/ApkSigner.h"
#include "core/format/BinaryXml.h"

#include <QByteArray>
#include <QString>

#include <zlib.h>

namespace {

constexpr qsizetype kMaxDocument = 16 << 20;

QByteArray inflateRaw(const uint8_t* data, size_t size) {
    QByteArray out;
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return out;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = uInt(size);
    char buffer[1 << 16];
    int rc = Z_OK;
    while (rc == Z_OK && out.size() < kMaxDocument) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, qsizetype(sizeof buffer - z.avail_out));
        if (z.avail_out == sizeof buffer)
            break;
    }
    inflateEnd(&z);
    return out.left(kMaxDocument);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray xml = inflateRaw(data, size);
    QString error;
    ManifestFacts facts;
    fuzz::require(ReadBinaryManifest(xml, &facts, &error) || !error.isEmpty());
    int minSdk = 0;
    fuzz::require(ApkMinSdkVersion(xml, &minSdk, &error) || !error.isEmpty());
    return 0;
}
