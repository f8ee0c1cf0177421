#include "gui/SingleInstance.h"

#include "gui/CCorvaneApp.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QWidget>

SingleInstance::SingleInstance(const QString& executablePath, QObject* parent) : QObject(parent) {
    const QByteArray hash =
        QCryptographicHash::hash(executablePath.toUtf8(), QCryptographicHash::Sha256).toHex();
    m_key = QStringLiteral("corvane-") + QString::fromLatin1(hash.left(24));
}

SingleInstance::~SingleInstance() {
    if (m_server)
        m_server->close();
}

bool SingleInstance::acquire() {
    m_lock = std::make_unique<QLockFile>(QDir::temp().filePath(m_key + QStringLiteral(".lock")));
    // A lock is stale only when its holder is gone.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0))
        return false;

    m_server = new QLocalServer(this);
    QLocalServer::removeServer(m_key); // a socket left by a crashed holder
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
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
    return true;
}

bool SingleInstance::notifyFirstInstance() {
    QLocalSocket socket;
    socket.connectToServer(m_key);
    if (!socket.waitForConnected(3000))
        return false;
    const bool answered = socket.waitForReadyRead(3000);
    socket.disconnectFromServer();
    return answered;
}

void BringInstanceForward() {
    // An open question is modal above the main window; the hidden busy
    // dialog is never brought forward.
    QWidget* target = QApplication::activeModalWidget();
    if (!target)
        target = theApp().MainWindow;
    if (!target)
        return;
    if (target->isMinimized())
        target->showNormal();
    target->raise();
    target->activateWindow();
}
