#include "gui/SingleInstance.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QWidget>

namespace {

// Whether the lock file names its holder. A start that has just made its lock
// file writes the holder right after, so an empty one is looked at again;
// anything else at the path (a directory, a file that cannot be read) is no
// lock of a running instance.
bool lockNamesHolder(const QLockFile& lock, const QString& path) {
    qint64 pid = 0;
    QString host;
    QString application;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (lock.getLockInfo(&pid, &host, &application))
            return true;
        if (QFileInfo(path).isDir())
            return false;
        QThread::msleep(50);
    }
    return false;
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
        case QLockFile::LockFailedError:
            if (lockNamesHolder(*m_lock, m_lockPath))
                return Result::HeldByOther;
            m_error = QStringLiteral("\"%1\" is not a lock file").arg(m_lockPath);
            return Result::Failed;
        case QLockFile::PermissionError:
            m_error = QStringLiteral("no permission to create \"%1\"").arg(m_lockPath);
            return Result::Failed;
        default:
            m_error = QStringLiteral("\"%1\" cannot be created").arg(m_lockPath);
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
                socket->write("ok");
                socket->flush();
                socket->disconnectFromServer();
                emit activationRequested();
            }
        });
    }
    return Result::Acquired;
}

bool SingleInstance::notifyFirstInstance() {
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(m_key);
    if (!socket.waitForConnected(3000))
        return false;
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
