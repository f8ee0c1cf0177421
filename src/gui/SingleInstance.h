#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;
class QWidget;

// One running instance per workspace (the application directory). The first
// start holds a lock file in the workspace that dies with its process
// (crashes included) and listens for later starts of the same user on a
// socket in a folder only that user may enter (the runtime folder, else a
// private one in the temporary folder); a later start asks it to come
// forward, handing it the package it was given, and ends. A few callers at a
// time, each given a few seconds and a message of bounded size; a package
// that is no regular file is not opened.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const QString& appDirectory, QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Result { Acquired, HeldByOther, Failed };
    // Acquired: this is the first instance (it holds the lock and listens).
    // HeldByOther: a live instance holds it. Failed: the lock cannot be taken
    // for another reason (a lock of an ended process that cannot be
    // replaced, a full disk); errorString() tells why.
    Result acquire();
    QString errorString() const { return m_error; }
    // Later start: tells the first instance to come forward and, with a
    // package (made absolute here: the first instance has another working
    // directory), to open it. True when it answered.
    bool notifyFirstInstance(const QString& package = QString());

    QString key() const { return m_key; }
    // The listening socket's path (empty when no private folder was found).
    QString socketPath() const { return m_socketPath; }
    QString lockPath() const { return m_lockPath; }

signals:
    // A later start asked this instance to come forward; package is the one
    // it was given (absolute), or empty.
    void activationRequested(const QString& package);

private:
    void acceptRequest(QLocalSocket* socket);
    void readRequest(QLocalSocket* socket);

    QString m_key;
    QString m_socketPath;
    int m_connections = 0;
    QString m_lockPath;
    QString m_error;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};

// Brings this instance's open question box forward, or else the main window.
void BringInstanceForward(QWidget* mainWindow);
