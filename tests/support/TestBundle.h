#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A temporary AppDirectory laid out like the bundle: Config/ with the real
// 7-Zip and the development keys of the build's bundle.
// Its path is the AppDirectory of a test's AppState or CCorvaneApp.
class TestBundle {
public:
    TestBundle();
    ~TestBundle();

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString file(const QString& relative) const { return m_dir.filePath(relative); }

    // Replaces a tool of the bundle ("Config/7za") with a
    // shell script; used to make a tool fail, hang or exit with an error.
    void replaceToolWithScript(const QString& relativeToolPath, const QString& script);
    // Removes a tool so that starting it fails.
    void removeTool(const QString& relativeToolPath);

    // The build's bundle (real tools, keys, sample package).
    static QString buildBundle();
    static QString samplePackage();

private:
    QTemporaryDir m_dir;
};

// Writes a file (creating its directories); false on failure.
bool WriteFile(const QString& path, const QByteArray& data);
QByteArray ReadFile(const QString& path);

// Dead: no such process, or a zombie (dead, waiting for a parent that does
// not reap it, as an orphan's may not be).
bool ProcessGone(qint64 pid);

// What a program run to its end gave: exit code -1 when it did not start,
// crashed or ran past ten minutes (then it is killed).
struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
Run RunProgram(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
// The environment of a corvane-cli run under test: this system's, with tmp as
// TMPDIR (checked empty after each run) and a UTF-8 locale.
QProcessEnvironment CliTestEnvironment(const QString& tmp);
