#include "core/base/DriveType.h"

#include <QTemporaryDir>
#include <QTest>

class TestDriveType : public QObject {
    Q_OBJECT
private slots:
    void networkPaths();
    void fileSystemTypes_data();
    void fileSystemTypes();
    void mountEntryOfPath_data();
    void mountEntryOfPath();
    void undeterminablePlaceIsNotFixed();
    void mountKinds_data();
    void mountKinds();
};

void TestDriveType::networkPaths() {
    QVERIFY(IsOnNonFixedDrive("//server/share/update.zip"));
    QVERIFY(IsOnNonFixedDrive("\\\\server\\share\\update.zip"));
}

void TestDriveType::fileSystemTypes_data() {
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("network");
    QTest::newRow("nfs") << "nfs" << true;
    QTest::newRow("nfs4") << "nfs4" << true;
    QTest::newRow("cifs") << "cifs" << true;
    QTest::newRow("smb3") << "smb3" << true;
    QTest::newRow("sshfs") << "fuse.sshfs" << true;
    QTest::newRow("9p") << "9p" << true;
    QTest::newRow("ext4") << "ext4" << false;
    QTest::newRow("vfat") << "vfat" << false;
    QTest::newRow("fuse local") << "fuse.ntfs-3g" << false;
}

void TestDriveType::fileSystemTypes() {
    QFETCH(QString, type);
    QFETCH(bool, network);
    QCOMPARE(IsNetworkFileSystemType(type), network);
}

void TestDriveType::mountEntryOfPath_data() {
    const QString mountInfo = "22 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw\n"
                              "30 22 0:26 / /mnt/nas rw,relatime shared:5 - nfs4 nas:/export rw\n"
                              "31 22 8:17 / /media/usb\\040stick rw,nosuid - vfat /dev/sdb1 rw\n"
                              "32 22 0:27 / /mnt/nasty rw - tmpfs tmpfs rw\n";
    QTest::addColumn<QString>("info");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("mountPoint");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("device");
    QTest::newRow("root") << mountInfo << "/home/user"
                          << "/"
                          << "ext4"
                          << "254:1";
    QTest::newRow("nfs") << mountInfo << "/mnt/nas/out"
                         << "/mnt/nas"
                         << "nfs4"
                         << "0:26";
    QTest::newRow("prefix is not a parent") << mountInfo << "/mnt/nasty"
                                            << "/mnt/nasty"
                                            << "tmpfs"
                                            << "0:27";
    QTest::newRow("escaped blank") << mountInfo << "/media/usb stick/x"
                                   << "/media/usb stick"
                                   << "vfat"
                                   << "8:17";
}

void TestDriveType::mountEntryOfPath() {
    QFETCH(QString, info);
    QFETCH(QString, path);
    QFETCH(QString, mountPoint);
    QFETCH(QString, type);
    QFETCH(QString, device);
    MountEntry entry;
    QVERIFY(FindMountEntry(info, path, &entry));
    QCOMPARE(entry.mountPoint, mountPoint);
    QCOMPARE(entry.type, type);
    QCOMPARE(entry.device, device);
}

void TestDriveType::undeterminablePlaceIsNotFixed() {
    QTemporaryDir dir;
    QVERIFY(IsOnNonFixedDrive(dir.filePath("no/such/directory/update.zip")));
}

void TestDriveType::mountKinds_data() {
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("removable"); // the device's flag: 1, 0, or -1 unknown
    QTest::addColumn<bool>("nonFixed");
    // btrfs and ZFS report an anonymous device whose flag is unknown: still a
    // fixed disk, so a save there is not staged.
    QTest::newRow("btrfs, device unknown") << "btrfs" << -1 << false;
    QTest::newRow("zfs, no single device") << "zfs" << -1 << false;
    QTest::newRow("ext4 on a fixed disk") << "ext4" << 0 << false;
    QTest::newRow("ext4 on a stick") << "ext4" << 1 << true;
    QTest::newRow("vfat on a stick") << "vfat" << 1 << true;
    QTest::newRow("vfat on a fixed disk") << "vfat" << 0 << false;
    QTest::newRow("tmpfs") << "tmpfs" << -1 << true;
    QTest::newRow("nfs") << "nfs4" << 0 << true;
}

void TestDriveType::mountKinds() {
    QFETCH(QString, type);
    QFETCH(int, removable);
    QFETCH(bool, nonFixed);
    QCOMPARE(IsNonFixedMount(type, removable), nonFixed);
}

QTEST_GUILESS_MAIN(TestDriveType)
#include "tst_DriveType.moc"
