#include "core/base/DriveType.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

std::function<bool(const QString&)>& classifier() {
    static std::function<bool(const QString&)> c;
    return c;
}

// Octal escapes of mountinfo ("\040" for a blank).
QString unescapeMountField(const QString& field) {
    QString out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field.at(i) == QLatin1Char('\\') && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out += QChar(code);
                i += 3;
                continue;
            }
        }
        out += field.at(i);
    }
    return out;
}

bool isUnder(const QString& path, const QString& mountPoint) {
    if (mountPoint == QLatin1String("/"))
        return true;
    return path == mountPoint || path.startsWith(mountPoint + QLatin1Char('/'));
}

// Reads the removable flag of a block device from sysfs; a partition takes
// its disk's flag. -1 when unknown.
int removableFlag(unsigned major, unsigned minor) {
    const QString base = QStringLiteral("/sys/dev/block/%1:%2").arg(major).arg(minor);
    const QString device = QFileInfo(base).canonicalFilePath();
    if (device.isEmpty())
        return -1;
    for (const QString& dir : {device, QFileInfo(device).absolutePath()}) {
        QFile flag(dir + QStringLiteral("/removable"));
        if (flag.open(QIODevice::ReadOnly))
            return flag.readAll().trimmed() == "1" ? 1 : 0;
    }
    return -1;
}

} // namespace

void SetDriveClassifierForTesting(std::function<bool(const QString&)> c) {
    classifier() = std::move(c);
}

bool IsNetworkFileSystemType(const QString& type) {
    static const QStringList network{
        QStringLiteral("nfs"),   QStringLiteral("nfs4"),      QStringLiteral("cifs"),
        QStringLiteral("smb"),   QStringLiteral("smb3"),      QStringLiteral("smbfs"),
        QStringLiteral("9p"),    QStringLiteral("afs"),       QStringLiteral("ncpfs"),
        QStringLiteral("ceph"),  QStringLiteral("glusterfs"), QStringLiteral("davfs"),
        QStringLiteral("sshfs"), QStringLiteral("lustre"),    QStringLiteral("gfs2"),
        QStringLiteral("ocfs2"), QStringLiteral("coda"),
    };
    const QString t = type.toLower();
    // FUSE mounts carry the real kind after the dot ("fuse.sshfs").
    const QString base = t.startsWith(QLatin1String("fuse.")) ? t.mid(5) : t;
    return network.contains(base);
}

bool FindMountEntry(const QString& mountInfo, const QString& canonicalPath, MountEntry* entry) {
    bool found = false;
    qsizetype bestLength = -1;
    const QStringList lines = mountInfo.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        // id parent major:minor root mountpoint options [optional...] - type source super
        const QStringList fields = line.split(QLatin1Char(' '));
        const qsizetype dash = fields.indexOf(QStringLiteral("-"));
        if (fields.size() < 5 || dash < 0 || dash + 2 >= fields.size())
            continue;
        const QString mountPoint = unescapeMountField(fields.at(4));
        if (!isUnder(canonicalPath, mountPoint) || mountPoint.size() < bestLength)
            continue;
        bestLength = mountPoint.size();
        found = true;
        if (entry) {
            entry->mountPoint = mountPoint;
            entry->device = fields.at(2);
            entry->type = fields.at(dash + 1);
            entry->source = unescapeMountField(fields.at(dash + 2));
        }
    }
    return found;
}

bool IsOnNonFixedDrive(const QString& path) {
    if (classifier())
        return classifier()(path);
    if (path.startsWith(QLatin1String("//")) || path.startsWith(QLatin1String("\\\\")))
        return true;

    const QString directory = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
    if (directory.isEmpty())
        return true;

    QFile mountInfoFile(QStringLiteral("/proc/self/mountinfo"));
    if (!mountInfoFile.open(QIODevice::ReadOnly))
        return true;
    MountEntry mount;
    if (!FindMountEntry(QString::fromUtf8(mountInfoFile.readAll()), directory, &mount))
        return true;
    if (IsNetworkFileSystemType(mount.type))
        return true;

    struct stat info {};
    if (::stat(QFile::encodeName(directory).constData(), &info) != 0)
        return true;
    int removable = removableFlag(major(info.st_dev), minor(info.st_dev));
    // btrfs and ZFS report an anonymous device (major 0): the mount's source
    // names the block device, when there is one.
    struct stat source {};
    if (removable < 0 && ::stat(QFile::encodeName(mount.source).constData(), &source) == 0 &&
        S_ISBLK(source.st_mode))
        removable = removableFlag(major(source.st_rdev), minor(source.st_rdev));
    return IsNonFixedMount(mount.type, removable);
}

bool IsNonFixedMount(const QString& type, int removable) {
    if (IsNetworkFileSystemType(type))
        return true;
    // A disk file system whose device is not known to be removable is a fixed
    // disk (a ZFS pool has no single device to ask).
    if (IsLocalDiskFileSystemType(type))
        return removable == 1;
    // Elsewhere (vfat on a stick, tmpfs, overlay) only a device known to be
    // fixed counts as fixed.
    return removable != 0;
}

bool IsLocalDiskFileSystemType(const QString& type) {
    static const QStringList disk{
        QStringLiteral("ext2"),     QStringLiteral("ext3"),   QStringLiteral("ext4"),
        QStringLiteral("xfs"),      QStringLiteral("btrfs"),  QStringLiteral("zfs"),
        QStringLiteral("f2fs"),     QStringLiteral("jfs"),    QStringLiteral("reiserfs"),
        QStringLiteral("bcachefs"), QStringLiteral("nilfs2"),
    };
    return disk.contains(type.toLower());
}
