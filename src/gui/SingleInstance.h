#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

// One running instance per executable path, machine-wide. The first start
// holds a lock that dies with its process (crashes included) and listens for
// later starts; a later start asks it to come forward and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const QString& executablePath, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True for the first instance (which now holds the lock and listens).
    bool acquire();
    // Later start: tells the first instance to come forward. True when it answered.
    bool notifyFirstInstance();

    QString key() const { return m_key; }

signals:
    // A later start asked this instance to come forward.
    void activationRequested();

private:
    QString m_key;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};

// Brings this instance's open question box forward, or else its main window.
void BringInstanceForward();
