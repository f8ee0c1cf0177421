#pragma once

#include <QString>

#include <memory>

class QLockFile;
class QTemporaryDir;

// The private workspace of one run: a temporary directory (below TMPDIR)
// holding the links Config -> <bundle>/Config and jre -> <bundle>/jre, used as
// the run's AppDirectory so that a running window's workspace is never
// touched. Removed, links first, when the object goes. A lock file inside
// tells a live run's workspace from one a killed run left behind; the next
// run removes those.
class PrivateWorkspace {
public:
    PrivateWorkspace();
    ~PrivateWorkspace();
    PrivateWorkspace(const PrivateWorkspace&) = delete;
    PrivateWorkspace& operator=(const PrivateWorkspace&) = delete;

    // Makes the directory and its links to the bundle's tools. False with the
    // cause when the bundle lacks them or the directory cannot be made.
    bool create(const QString& bundleDirectory, QString* error);
    // Removes the workspace now; true when it is gone.
    bool remove();
    QString path() const;

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QLockFile> m_lock;
};
