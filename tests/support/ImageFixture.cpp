#include "support/ImageFixture.h"

#include "support/TestBundle.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace {

const QByteArray kFileLabel = QByteArrayLiteral("u:object_r:system_file:s0\0");
const QByteArray kLibLabel = QByteArrayLiteral("u:object_r:system_lib_file:s0\0");

} // namespace

QString FindTool(const QString& name) {
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin"});
    return found;
}

int RunTool(const QString& name, const QStringList& arguments, QByteArray* out) {
    const QString tool = FindTool(name);
    if (tool.isEmpty())
        return -1;
    QProcess process;
    process.start(tool, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (out)
        *out = process.readAllStandardOutput();
    if (process.exitCode() != 0)
        qWarning().noquote() << name << arguments.join(' ') << process.readAllStandardError();
    return process.exitCode();
}

QList<QPair<QString, QByteArray>> SmallSystemFiles() {
    return {
        {"app/Foo/Foo.apk", QByteArray(30000, 'f')},
        {"app/Bar/Bar.apk", QByteArray(70000, 'b')},
        {"app/Bar/lib/arm/libbar.so", QByteArray(5000, 'l')},
        {"priv-app/Priv/Priv.apk", QByteArray(9000, 'p')},
        {"lib/libfoo.so", QByteArray(4000, 'o')},
        {"build.prop", "ro.build.version.release=5.1.1\nro.build.date.utc=1600000000\n"
                       "ro.product.cpu.abilist=armeabi-v7a,armeabi\n"},
        {"etc/selinux/plat_file_contexts", "/system(/.*)?\tu:object_r:system_file:s0\n"
                                           "/system/lib(/.*)?\tu:object_r:system_lib_file:s0\n"},
    };
}

QString MakeSystemImage(const QString& imagePath, const QList<QPair<QString, QByteArray>>& files,
                        bool systemAsRoot, const QString& size) {
    const QString tree = imagePath + QStringLiteral(".tree");
    const QString root = systemAsRoot ? tree + "/system" : tree;
    QDir().mkpath(root);
    for (const auto& [path, bytes] : files)
        if (!WriteFile(root + "/" + path, bytes))
            return "cannot write " + path;
    if (RunTool("mke2fs", {"-q", "-F", "-t", "ext4", "-d", tree, imagePath, size}) != 0)
        return QStringLiteral("mke2fs failed");
    const QString labels = imagePath + QStringLiteral(".labels");
    WriteFile(labels + "/file", kFileLabel);
    WriteFile(labels + "/lib", kLibLabel);
    const QString prefix = systemAsRoot ? QStringLiteral("/system") : QString();
    QStringList paths{prefix.isEmpty() ? QStringLiteral("/") : prefix};
    for (const auto& [path, bytes] : files) {
        const QStringList parts = path.split('/');
        for (qsizetype i = 1; i <= parts.size(); ++i)
            paths << prefix + "/" + parts.mid(0, i).join('/');
    }
    paths.removeDuplicates();
    for (const QString& path : paths) {
        const QString label =
            path.contains("/lib/") ? QStringLiteral("lib") : QStringLiteral("file");
        if (RunTool("debugfs",
                    {"-w", "-R",
                     QString("ea_set -f %1/%2 %3 security.selinux").arg(labels, label, path),
                     imagePath}) != 0)
            return "debugfs ea_set failed for " + path;
    }
    return {};
}

QList<QPair<QString, QByteArray>> SystemImageMembers(const QString& rawImage, BlockImageForm form,
                                                     const QString& scratch) {
    QDir().mkpath(scratch);
    if (form == BlockImageForm::Raw)
        return {{"system.img", ReadFile(rawImage)}};
    if (form == BlockImageForm::Sparse) {
        const QString sparse = scratch + "/system.img";
        if (RunTool("img2simg", {rawImage, sparse}) != 0)
            return {};
        return {{"system.img", ReadFile(sparse)}};
    }
    BlockImageLayout layout;
    layout.partition.form = form;
    layout.imageSize = static_cast<quint64>(QFileInfo(rawImage).size());
    QStringList files;
    BlockImageEncoded encoded;
    QString error;
    if (!EncodeBlockImageToFolder(rawImage, layout, BlockImageEncodeOptions(), scratch, &files,
                                  &encoded, &error)) {
        qWarning().noquote() << "encode failed:" << error;
        return {};
    }
    QList<QPair<QString, QByteArray>> members;
    for (const QString& file : files)
        members.append({QFileInfo(file).fileName(), ReadFile(file)});
    return members;
}
