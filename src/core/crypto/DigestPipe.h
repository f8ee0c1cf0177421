#pragma once

#include "core/crypto/WholeFileSignature.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// Feeds a signer on a thread of its own: the writer hands over copies of what
// it writes, at most a few MiB ahead of the digest.
class DigestPipe {
public:
    explicit DigestPipe(WholeFileSigner& signer)
        : m_thread([this, &signer] {
              std::unique_lock<std::mutex> lock(m_mutex);
              for (;;) {
                  m_ready.wait(lock, [this] { return !m_chunks.empty() || m_closed; });
                  if (m_chunks.empty())
                      return;
                  const QByteArray chunk = m_chunks.front();
                  m_chunks.pop_front();
                  m_room.notify_one();
                  lock.unlock();
                  signer.update(chunk.constData(), chunk.size());
                  lock.lock();
              }
          }) {}
    ~DigestPipe() { finish(); }

    void push(const char* data, qint64 size) {
        QByteArray chunk(data, size);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_room.wait(lock, [this] { return m_chunks.size() < 8; });
        m_chunks.push_back(std::move(chunk));
        m_ready.notify_one();
    }
    // Waits until every byte handed over is in the digest.
    void finish() {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
        }
        m_ready.notify_one();
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::condition_variable m_room;
    std::deque<QByteArray> m_chunks;
    bool m_closed = false;
    std::thread m_thread;
};
