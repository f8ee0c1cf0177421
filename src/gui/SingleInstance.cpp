#include "gui/SingleInstance.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSysInfo>
#include <QThread>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qint64 kMaxRequestSize = 64 * 1024;

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

    // The socket lives in the abstract namespace: no file, no temporary
    // directory, gone with the process.
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
    if (m_server->listen(m_key)) {
        connect(m_server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* socket = m_server->nextPendingConnection()) {
                connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QLocalSocket::readyRead, this,
                        [this, socket] { readRequest(socket); });
                readRequest(socket);
            }
        });
    }
    return Result::Acquired;
}

// A request is one string: the package to open, or empty to only come
// forward. It may arrive in pieces; the answer follows the whole of it.
void SingleInstance::readRequest(QLocalSocket* socket) {
    if (socket->property("answered").toBool())
        return;
    QDataStream in(socket);
    in.setVersion(QDataStream::Qt_6_0);
    in.startTransaction();
    QString package;
    in >> package;
    if (!in.commitTransaction()) {
        // A path is short: anything longer is no request of a later start.
        if (socket->bytesAvailable() > kMaxRequestSize)
            socket->abort();
        return;
    }
    socket->setProperty("answered", true);
    socket->write("ok");
    socket->flush();
    socket->disconnectFromServer();
    emit activationRequested(package);
}

bool SingleInstance::notifyFirstInstance(const QString& package) {
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(m_key);
    if (!socket.waitForConnected(3000))
        return false;
    QByteArray request;
    QDataStream out(&request, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << (package.isEmpty() ? QString() : QFileInfo(package).absoluteFilePath());
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
