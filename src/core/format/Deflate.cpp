#include "core/format/Deflate.h"

#include "core/base/ErrorText.h"

namespace {

constexpr qint64 kOutputBlock = 64 * 1024;

} // namespace

Deflater::Deflater(int level) : m_buffer(new char[kOutputBlock]) {
    m_ready = deflateInit2(&m_stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

Deflater::~Deflater() {
    if (m_ready)
        deflateEnd(&m_stream);
}

bool Deflater::reset() {
    m_written = 0;
    return m_ready && deflateReset(&m_stream) == Z_OK;
}

bool Deflater::feed(const char* data, qint64 size, bool finish,
                    const std::function<bool(const char*, qint64)>& out, QString* error) {
    if (!m_ready)
        return Fail(error, QStringLiteral("the compressor cannot start"));
    m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    m_stream.avail_in = static_cast<uInt>(size);
    for (;;) {
        m_stream.next_out = reinterpret_cast<Bytef*>(m_buffer.get());
        m_stream.avail_out = static_cast<uInt>(kOutputBlock);
        const int result = deflate(&m_stream, finish ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_ERROR)
            return Fail(error, QStringLiteral("the compressor failed"));
        const qint64 produced = kOutputBlock - static_cast<qint64>(m_stream.avail_out);
        if (produced > 0 && !out(m_buffer.get(), produced))
            return false;
        m_written += static_cast<quint64>(produced);
        if (finish ? result == Z_STREAM_END : (m_stream.avail_in == 0 && m_stream.avail_out != 0))
            return true;
    }
}

Inflater::~Inflater() {
    if (m_ready)
        inflateEnd(&m_stream);
}

bool Inflater::start() {
    if (m_ready)
        return inflateReset(&m_stream) == Z_OK;
    m_ready = inflateInit2(&m_stream, -MAX_WBITS) == Z_OK;
    return m_ready;
}
