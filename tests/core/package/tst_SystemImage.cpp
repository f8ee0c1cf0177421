#include "core/package/SystemImage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

// The form of a package's system partition, from its member names and from
// an extracted tree's root.
class TestSystemImage : public QObject {
    Q_OBJECT
private slots:
    void form_data();
    void formFromMembers();
    void formFromMembers_data() { form_data(); }
    void formFromTree();
    void formFromTree_data() { form_data(); }
};

void TestSystemImage::form_data() {
    QTest::addColumn<QStringList>("members");
    QTest::addColumn<int>("form");
    QTest::addColumn<QString>("name");
    const QStringList files{"system/build.prop", "system/app/Music.apk"};
    QTest::newRow("files") << files << int(SystemImageForm::Files) << QString();
    QTest::newRow("new.dat") << QStringList{"system.new.dat", "system.transfer.list",
                                            "system.patch.dat"}
                             << int(SystemImageForm::NewDat)
                             << "system.new.dat with system.transfer.list";
    QTest::newRow("new.dat.br") << QStringList{"system.new.dat.br", "system.transfer.list",
                                               "system.patch.dat"}
                                << int(SystemImageForm::NewDatBrotli)
                                << "system.new.dat.br with system.transfer.list";
    QTest::newRow("img") << QStringList{"system.img", "boot.img"} << int(SystemImageForm::Img)
                         << "system.img";
    QTest::newRow("img beside system files")
        << files + QStringList{"system.img"} << int(SystemImageForm::Img) << "system.img";
    // Without its transfer list a .new.dat is not an image the device writes.
    QTest::newRow("new.dat alone")
        << files + QStringList{"system.new.dat"} << int(SystemImageForm::Files) << QString();
    QTest::newRow("another partition's image")
        << files + QStringList{"vendor.new.dat.br", "vendor.transfer.list"}
        << int(SystemImageForm::Files) << QString();
    QTest::newRow("below a folder")
        << files + QStringList{"images/system.img"} << int(SystemImageForm::Files) << QString();
}

void TestSystemImage::formFromMembers() {
    QFETCH(QStringList, members);
    QFETCH(int, form);
    QFETCH(QString, name);
    QCOMPARE(int(SystemImageFormOf(members)), form);
    QCOMPARE(SystemImageFormName(SystemImageForm(form)), name);
}

void TestSystemImage::formFromTree() {
    QFETCH(QStringList, members);
    QFETCH(int, form);
    QTemporaryDir dir;
    for (const QString& member : members) {
        const QString path = dir.filePath(member);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QCOMPARE(int(SystemImageFormOfTree(dir.path())), form);
}

QTEST_GUILESS_MAIN(TestSystemImage)
#include "tst_SystemImage.moc"
