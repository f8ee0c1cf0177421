#pragma once

#include <QFile>
#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

// An open file descriptor owned by one holder, closed when it goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { close(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            close();
            m_fd = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    // Gives the descriptor up without closing it.
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // False when closing failed: for a file that was written, a late write
    // error (errno says which).
    bool close() {
        if (m_fd < 0)
            return true;
        const int result = ::close(m_fd);
        m_fd = -1;
        return result == 0;
    }

private:
    int m_fd = -1;
};

// Opens path (close-on-exec, retried when a signal interrupts it); not open,
// with errno set, when it cannot be.
inline UniqueFd OpenUniqueFd(const QString& path, int flags, mode_t mode = 0644) {
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(native.constData(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return UniqueFd(fd);
}
