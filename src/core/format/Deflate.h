#pragma once

#include <QString>

#include <functional>
#include <memory>

#include <zlib.h>

// Raw deflate streams (no zlib header), as ZIP stores its members.

// Compresses one stream at a time. The same input gives the same bytes
// however it is split between calls to feed().
class Deflater {
public:
    explicit Deflater(int level);
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Starts the next stream; the same bytes come out as from a new deflater.
    bool reset();
    // Compresses data (finish: the stream's last input) and hands each piece
    // made to out, which answers false (its cause the caller's) to stop.
    bool feed(const char* data, qint64 size, bool finish,
              const std::function<bool(const char*, qint64)>& out, QString* error);
    // Bytes made since the stream started.
    quint64 written() const { return m_written; }

private:
    z_stream m_stream{};
    bool m_ready = false;
    quint64 m_written = 0;
    std::unique_ptr<char[]> m_buffer;
};

// zlib's inflate state for a raw stream, ended when it goes.
class Inflater {
public:
    Inflater() = default;
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Starts (or restarts) a stream; false when zlib cannot.
    bool start();
    z_stream& stream() { return m_stream; }

private:
    z_stream m_stream{};
    bool m_ready = false;
};
