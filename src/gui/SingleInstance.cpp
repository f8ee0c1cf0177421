#include "gui/SingleInstance.h"

#include "core/base/InstanceMessage.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Later starts that may wait at once, and how long one may take to speak.
constexpr int kMaxConnections = 8;
constexpr int kRequestTimeoutMs = 3000;

bool ownedPrivateFolder(const QByteArray& path) {
    struct stat info;
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

// A folder only this user can enter, for the socket: the user's runtime
// folder, else one of the user's own in /tmp (made 0700, refused when someone
// else made it or opened it up). Not $TMPDIR: starts that see different
// temporary folders find the same socket.
QString privateSocketFolder() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && runtime.startsWith('/') && ownedPrivateFolder(runtime))
        return QFile::decodeName(runtime);
    const QByteArray own = "/tmp/corvane-" + QByteArray::number(::getuid());
    if (::mkdir(own.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    return ownedPrivateFolder(own) ? QFile::decodeName(own) : QString();
}

// The user of the process at the other end of a local socket; -1 when it
// cannot be told.
qint64 peerUser(QLocalSocket* socket) {
    struct ucred credentials {};
    socklen_t size = sizeof credentials;
    const auto fd = static_cast<int>(socket->socketDescriptor());
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return -1;
    return credentials.uid;
}

// Whether the lock file names its holder. A start that has just made its lock
// file writes the holder right after, so an empty one is looked at again;
// anything else at the path (a directory, a file that cannot be read) is no
// lock of a running instance.
bool lockNamesHolder(const QLockFile& lock, const QString& path, qint64* pid, QString* host) {
    QString application;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (lock.getLockInfo(pid, host, &application))
            return true;
        if (QFileInfo(path).isDir())
            return false;
        QThread::msleep(50);
    }
    return false;
}

// Whether the process a lock names still runs. A holder on another machine
// (a shared folder) cannot be asked: it counts as alive.
bool holderAlive(qint64 pid, const QString& host) {
    if (!host.isEmpty() && host != QSysInfo::machineHostName())
        return true;
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// Why nothing can be written beside the lock: a probe as large as a lock is
// written and removed. A full disk names itself.
QString whyCannotWrite(const QString& directory) {
    const QByteArray probe =
        QFile::encodeName(directory + QStringLiteral("/.corvane.lock.probe-%1").arg(::getpid()));
    const int fd =
        ::open(probe.constData(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
    int cause = fd < 0 ? errno : 0;
    if (fd >= 0) {
        const char block[128] = {};
        if (::write(fd, block, sizeof block) != static_cast<ssize_t>(sizeof block) ||
            ::fsync(fd) != 0)
            cause = errno != 0 ? errno : ENOSPC;
        ::close(fd);
        ::unlink(probe.constData());
    }
    if (cause == ENOSPC || cause == EDQUOT)
        return QStringLiteral("the disk is full");
    if (cause != 0)
        return QString::fromLocal8Bit(std::strerror(cause));
    return QStringLiteral("the lock file could not be written");
}

} // namespace

SingleInstance::SingleInstance(const QString& appDirectory, QObject* parent) : QObject(parent) {
    const QString directory = QDir(appDirectory).absolutePath();
    const QByteArray hash =
        QCryptographicHash::hash(directory.toUtf8(), QCryptographicHash::Sha256).toHex();
    m_key = QStringLiteral("corvane-") + QString::fromLatin1(hash.left(24));
    m_lockPath = directory + QStringLiteral("/.corvane.lock");
    const QString folder = privateSocketFolder();
    if (!folder.isEmpty())
        m_socketPath = folder + QLatin1Char('/') + m_key;
}

SingleInstance::~SingleInstance() {
    if (m_server)
        m_server->close();
}

SingleInstance::Result SingleInstance::acquire() {
    m_lock = std::make_unique<QLockFile>(m_lockPath);
    // A lock is stale only when its holder is gone.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        switch (m_lock->error()) {
        case QLockFile::LockFailedError: {
            qint64 pid = 0;
            QString host;
            if (!lockNamesHolder(*m_lock, m_lockPath, &pid, &host)) {
                // Gone or left empty: the lock could not be written.
                const QFileInfo info(m_lockPath);
                if (!info.exists() || (info.isFile() && info.size() == 0))
                    m_error = QStringLiteral("cannot write the lock \"%1\": %2")
                                  .arg(m_lockPath, whyCannotWrite(info.absolutePath()));
                else
                    m_error = QStringLiteral("\"%1\" is not a lock file").arg(m_lockPath);
                return Result::Failed;
            }
            if (holderAlive(pid, host))
                return Result::HeldByOther;
            // The holder is gone, yet its lock could not be replaced.
            m_error = QStringLiteral("cannot write the lock \"%1\" in place of the one of the "
                                     "ended process %2: %3")
                          .arg(m_lockPath)
                          .arg(pid)
                          .arg(whyCannotWrite(QFileInfo(m_lockPath).absolutePath()));
            return Result::Failed;
        }
        case QLockFile::PermissionError:
            m_error = QStringLiteral("no permission to create \"%1\"").arg(m_lockPath);
            return Result::Failed;
        default:
            m_error = QStringLiteral("cannot write the lock \"%1\": %2")
                          .arg(m_lockPath, whyCannotWrite(QFileInfo(m_lockPath).absolutePath()));
            return Result::Failed;
        }
    }

    // The socket is a file in a folder only this user can enter, and each
    // caller's user is checked as well. Only the holder of the lock listens,
    // so a socket left by an ended holder is replaced.
    if (m_socketPath.isEmpty())
        return Result::Acquired;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->setMaxPendingConnections(kMaxConnections);
    QLocalServer::removeServer(m_socketPath);
    if (m_server->listen(m_socketPath)) {
        connect(m_server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* socket = m_server->nextPendingConnection())
                acceptRequest(socket);
        });
    }
    return Result::Acquired;
}

// Another user's process is cut off at once; so is one past the bound of
// callers, and one that has not spoken in time.
void SingleInstance::acceptRequest(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (peerUser(socket) != static_cast<qint64>(::getuid()) || m_connections >= kMaxConnections) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++m_connections;
    connect(socket, &QObject::destroyed, this, [this] { --m_connections; });
    QTimer::singleShot(kRequestTimeoutMs, socket, [socket] {
        if (!socket->property("answered").toBool()) {
            socket->abort();
            socket->deleteLater();
        }
    });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(socket); });
    readRequest(socket);
}

// A request may arrive in pieces; the answer follows the whole of it. A
// package that is no regular file only brings the window forward.
void SingleInstance::readRequest(QLocalSocket* socket) {
    if (socket->property("answered").toBool())
        return;
    QByteArray received = socket->property("received").toByteArray();
    received += socket->read(InstanceMessage::kMaxBytes + 1 - received.size());
    socket->setProperty("received", received);
    const InstanceMessage::Parsed request = InstanceMessage::parse(received);
    if (request.state == InstanceMessage::State::Invalid) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (request.state == InstanceMessage::State::Incomplete)
        return;
    socket->setProperty("answered", true);
    socket->write("ok");
    socket->flush();
    socket->disconnectFromServer();
    emit activationRequested(InstanceMessage::NamesRegularFile(request.package) ? request.package
                                                                                : QString());
}

bool SingleInstance::notifyFirstInstance(const QString& package) {
    if (m_socketPath.isEmpty())
        return false;
    const QByteArray request = InstanceMessage::encode(
        package.isEmpty() ? QString() : QFileInfo(package).absoluteFilePath());
    if (request.size() > InstanceMessage::kMaxBytes)
        return false;
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(3000))
        return false;
    if (socket.write(request) != request.size())
        return false;
    socket.flush();
    const bool answered = socket.waitForReadyRead(3000);
    socket.disconnectFromServer();
    return answered;
}

void BringInstanceForward(QWidget* mainWindow) {
    // An open question is modal above the main window; the hidden busy
    // dialog is never brought forward.
    QWidget* target = QApplication::activeModalWidget();
    if (!target)
        target = mainWindow;
    if (!target)
        return;
    if (target->isMinimized())
        target->showNormal();
    target->raise();
    target->activateWindow();
}
