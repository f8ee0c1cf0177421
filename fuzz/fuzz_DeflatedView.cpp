// The in-place view of a deflated member over any bytes as its deflate
// stream: it opens exactly when zlib inflates the whole stream to the size
// asked for, ending where the data ends, and then gives the same bytes,
// whether read whole or from any offset; never a crash or a read out of
// bounds.

#include "core/format/DeflatedView.h"

#include "FuzzSupport.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qint64 kMaxOutput = 1024 * 1024;

// zlib's raw inflate of the whole input: false unless the stream ends at the
// input's end within kMaxOutput bytes.
bool inflateWhole(const QByteArray& input, QByteArray* output) {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return false;
    output->resize(kMaxOutput + 1);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = reinterpret_cast<Bytef*>(output->data());
    z.avail_out = static_cast<uInt>(output->size());
    const int rc = inflate(&z, Z_FINISH);
    const bool whole = rc == Z_STREAM_END && z.avail_in == 0 && z.total_out <= kMaxOutput;
    output->truncate(static_cast<qsizetype>(z.total_out));
    inflateEnd(&z);
    return whole;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    // The first two bytes: where the stream lies in the file.
    const quint64 offset = data[0];
    const QByteArray stream(reinterpret_cast<const char*>(data + 2),
                            static_cast<qsizetype>(size - 2));
    const QString path = fuzz::scratchDirectory("fuzz_DeflatedView") + "/member";
    QByteArray file(static_cast<qsizetype>(offset), 'L');
    file += stream;
    file += QByteArray(data[1] % 16, 'T');
    fuzz::writeInput(path, reinterpret_cast<const uint8_t*>(file.constData()),
                     static_cast<size_t>(file.size()));
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    fuzz::require(fd >= 0);

    QByteArray expected;
    const bool inflates = inflateWhole(stream, &expected);
    const quint64 claimed = inflates ? quint64(expected.size()) : quint64(data[1]) * 997;
    bool overLimit = true;
    QString error;
    const std::unique_ptr<QIODevice> view = OpenDeflatedView(
        fd, offset, quint64(stream.size()), claimed, kMaxOutput, &overLimit, &error);
    fuzz::require(!overLimit);
    fuzz::require(bool(view) == inflates);
    if (view) {
        fuzz::require(view->size() == expected.size());
        fuzz::require(view->readAll() == expected);
        const qint64 at = expected.isEmpty() ? 0 : qint64(data[1]) % expected.size();
        fuzz::require(view->seek(at) && view->read(300) == expected.mid(at, 300));
        // One byte more than the stream gives is refused.
        fuzz::require(!OpenDeflatedView(fd, offset, quint64(stream.size()), claimed + 1, kMaxOutput,
                                        &overLimit, &error));
    } else {
        fuzz::require(!error.isEmpty());
    }
    ::close(fd);
    return 0;
}
