#include "core/base/WorkspacePaths.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

// Where a bundle and an installed program work, and where an installed one
// finds its keys and 7-Zip.
class TestWorkspacePaths : public QObject {
    Q_OBJECT
private slots:
    void init();
    void bundleWorksBesideItsExecutable();
    void installedProgramWorksInTheUsersDataFolder();
    void bundleKeysStayInConfig();
    void installedWorkspaceIsPrivateToTheUser();
    void installedKeysComePairByPairFromTheFirstFolderHoldingThem_data();
    void installedKeysComePairByPairFromTheFirstFolderHoldingThem();
    void installedExtractorIsFoundOnPath_data();
    void installedExtractorIsFoundOnPath();

private:
    void makeFile(const QString& path);
    QString m_root;
    QTemporaryDir m_temp;
};

void TestWorkspacePaths::makeFile(const QString& path) {
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

void TestWorkspacePaths::init() {
    QVERIFY(m_temp.isValid());
    m_root =
        m_temp.path() + QStringLiteral("/") + QString::fromLatin1(QTest::currentTestFunction());
    if (QTest::currentDataTag())
        m_root += QStringLiteral("-") + QString::fromLatin1(QTest::currentDataTag());
    QVERIFY(QDir().mkpath(m_root));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_root + QStringLiteral("/data")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_root + QStringLiteral("/config")));
}

void TestWorkspacePaths::bundleWorksBesideItsExecutable() {
    const QString bundle = m_root + QStringLiteral("/bundle");
    QVERIFY(QDir().mkpath(bundle + QStringLiteral("/Config")));
    // Installed data beside it changes nothing.
    QVERIFY(QDir().mkpath(m_root + QStringLiteral("/share/corvane")));
    QVERIFY(WorkspacePaths::isBundle(bundle));
    QVERIFY(!WorkspacePaths::isInstalled(bundle));
    QCOMPARE(WorkspacePaths::workspaceForProgram(bundle), bundle);
}

void TestWorkspacePaths::installedProgramWorksInTheUsersDataFolder() {
    const QString bin = m_root + QStringLiteral("/usr/bin");
    QVERIFY(QDir().mkpath(bin));
    // An executable alone, without its installed data, still works beside
    // itself.
    QCOMPARE(WorkspacePaths::workspaceForProgram(bin), bin);
    QVERIFY(QDir().mkpath(m_root + QStringLiteral("/usr/share/corvane")));
    QVERIFY(WorkspacePaths::isInstalled(bin));
    QCOMPARE(WorkspacePaths::workspaceForProgram(bin), m_root + QStringLiteral("/data/corvane"));
}

void TestWorkspacePaths::installedWorkspaceIsPrivateToTheUser() {
    const auto modeOf = [](const QString& path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    };
    const QString bin = m_root + QStringLiteral("/usr/bin");
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QDir().mkpath(m_root + QStringLiteral("/usr/share/corvane")));
    QString workspace;
    QVERIFY(WorkspacePaths::makeWorkspaceForProgram(bin, &workspace));
    QCOMPARE(workspace, m_root + QStringLiteral("/data/corvane"));
    QCOMPARE(modeOf(workspace), 0700);
    // One made open by an earlier version is tightened.
    QCOMPARE(::chmod(QFile::encodeName(workspace).constData(), 0755), 0);
    QVERIFY(WorkspacePaths::makeWorkspaceForProgram(bin, &workspace));
    QCOMPARE(modeOf(workspace), 0700);
    // A bundle's folder is the user's own choice: left as it is.
    const QString bundle = m_root + QStringLiteral("/bundle");
    QVERIFY(QDir().mkpath(bundle + QStringLiteral("/Config")));
    QCOMPARE(::chmod(QFile::encodeName(bundle).constData(), 0755), 0);
    QVERIFY(WorkspacePaths::makeWorkspaceForProgram(bundle, &workspace));
    QCOMPARE(workspace, bundle);
    QCOMPARE(modeOf(bundle), 0755);
}

void TestWorkspacePaths::bundleKeysStayInConfig() {
    const QString bundle = m_root + QStringLiteral("/bundle");
    QVERIFY(QDir().mkpath(bundle + QStringLiteral("/Config")));
    // A user's key does not replace the bundle's.
    makeFile(m_root + QStringLiteral("/config/corvane/keys/testkey.x509.pem"));
    QCOMPARE(WorkspacePaths(bundle).keyFile(QStringLiteral("testkey.pk8")),
             bundle + QStringLiteral("/Config/testkey.pk8"));
}

void TestWorkspacePaths::installedKeysComePairByPairFromTheFirstFolderHoldingThem_data() {
    QTest::addColumn<QStringList>("userFiles");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("fromUser");
    const QStringList platform{QStringLiteral("platform.x509.pem"), QStringLiteral("platform.pk8")};
    QTest::newRow("user's certificate") << platform << "platform.x509.pem" << true;
    QTest::newRow("user's private key") << platform << "platform.pk8" << true;
    QTest::newRow("other pair shipped") << platform << "testkey.pk8" << false;
    // A private key without its certificate is not a pair: both come from
    // the next folder.
    QTest::newRow("key alone") << QStringList{QStringLiteral("testkey.pk8")} << "testkey.pk8"
                               << false;
    QTest::newRow("no user keys") << QStringList{} << "testkey.x509.pem" << false;
}

void TestWorkspacePaths::installedKeysComePairByPairFromTheFirstFolderHoldingThem() {
    QFETCH(QStringList, userFiles);
    QFETCH(QString, name);
    QFETCH(bool, fromUser);
    const QString userKeys = m_root + QStringLiteral("/config/corvane/keys");
    for (const QString& file : userFiles)
        makeFile(userKeys + QLatin1Char('/') + file);
    const QString workspace = m_root + QStringLiteral("/data/corvane");
    QVERIFY(QDir().mkpath(workspace));

    const QString found = WorkspacePaths(workspace).keyFile(name);
    if (fromUser) {
        QCOMPARE(found, userKeys + QLatin1Char('/') + name);
    } else {
        QVERIFY2(!found.startsWith(userKeys), qPrintable(found));
        QVERIFY2(found.endsWith(QLatin1Char('/') + name), qPrintable(found));
    }
}

void TestWorkspacePaths::installedExtractorIsFoundOnPath_data() {
    QTest::addColumn<QString>("tool");
    QTest::newRow("7za") << "7za";
    QTest::newRow("7z") << "7z";
    QTest::newRow("7zz") << "7zz";
}

void TestWorkspacePaths::installedExtractorIsFoundOnPath() {
    QFETCH(QString, tool);
    const QString bin = m_root + QStringLiteral("/bin");
    const QString path = bin + QLatin1Char('/') + tool;
    makeFile(path);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin));
    const QString workspace = m_root + QStringLiteral("/data/corvane");
    const QString installed = WorkspacePaths(workspace).extractorTool();
    const QString bundle = m_root + QStringLiteral("/bundle");
    QDir().mkpath(bundle + QStringLiteral("/Config"));
    const QString bundled = WorkspacePaths(bundle).extractorTool();
    qputenv("PATH", oldPath);
    QCOMPARE(installed, path);
    QCOMPARE(bundled, bundle + QStringLiteral("/Config/7za"));
}

QTEST_GUILESS_MAIN(TestWorkspacePaths)
#include "tst_WorkspacePaths.moc"
