// A sparse image read over any bytes, fed in two pieces: no crash, cost
// linear in its length (a fill or don't-care chunk of any size costs one
// call), and every byte handed on lies inside the image its header declares,
// in ascending order.

#include "core/format/SparseImage.h"

#include "FuzzSupport.h"

#include <algorithm>

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const qint64 total = static_cast<qint64>(size);
    quint64 next = 0;
    SparseImageReader* self = nullptr;
    SparseImageReader reader({[&](quint64 offset, const char*, qint64 length) {
                                  require(self->headerRead());
                                  require(offset >= next && length >= 0);
                                  next = offset + static_cast<quint64>(length);
                                  require(next <= self->imageSize());
                                  return true;
                              },
                              [&](quint64 offset, quint64 length, quint32) {
                                  require(offset >= next);
                                  next = offset + length;
                                  require(next <= self->imageSize());
                                  return true;
                              }});
    self = &reader;
    // Split where the first byte says, so chunk headers also arrive in parts.
    const qint64 split = total == 0 ? 0 : std::min<qint64>(total, static_cast<quint8>(bytes[0]));
    QString error;
    if (reader.feed(bytes, split, &error) && reader.feed(bytes + split, total - split, &error) &&
        reader.finish(&error)) {
        require(reader.headerRead());
        require(reader.imageSize() <= kMaxSparseImageBytes);
    } else {
        require(!error.isEmpty());
    }
    return 0;
}
