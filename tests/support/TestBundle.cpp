#include "support/TestBundle.h"

#include <cerrno>
#include <csignal>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

QString TestBundle::buildBundle() {
    return QStringLiteral(CORVANE_BUNDLE_DIR);
}

QString TestBundle::samplePackage() {
    return buildBundle() + QStringLiteral("/samples/update.zip");
}

TestBundle::TestBundle() {
    const QString config = m_dir.filePath(QStringLiteral("Config"));
    QDir().mkpath(config);
    const QString source = buildBundle() + QStringLiteral("/Config/");
    // The program runs no 7-Zip; the tests' runs of an external tool do.
    QFile::link(QStandardPaths::findExecutable(QStringLiteral("7za")),
                config + QStringLiteral("/7za"));
    for (const char* name :
         {"platform.x509.pem", "platform.pk8", "testkey.x509.pem", "testkey.pk8"})
        QFile::copy(source + QLatin1String(name), config + QLatin1Char('/') + QLatin1String(name));
}

TestBundle::~TestBundle() = default;

void TestBundle::replaceToolWithScript(const QString& relativeToolPath, const QString& script) {
    const QString tool = m_dir.filePath(relativeToolPath);
    QDir().mkpath(QFileInfo(tool).absolutePath());
    QFile::remove(tool);
    WriteFile(tool, ("#!/bin/sh\n" + script + "\n").toUtf8());
    QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                    QFileDevice::ExeOther);
}

void TestBundle::removeTool(const QString& relativeToolPath) {
    const QString tool = m_dir.filePath(relativeToolPath);
    QFile::remove(tool);
}

bool WriteFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(data) == data.size();
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool ProcessGone(qint64 pid) {
    errno = 0;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return true;
    const QByteArray stat = ReadFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype end = stat.lastIndexOf(')');
    return end >= 0 && (stat.mid(end + 2, 1) == "Z" || stat.mid(end + 2, 1) == "X");
}

Run RunProgram(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    Run run;
    if (!process.waitForStarted(-1) || !process.waitForFinished(600000)) {
        process.kill();
        process.waitForFinished(-1);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QProcessEnvironment CliTestEnvironment(const QString& tmp) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), tmp);
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    return environment;
}
