#include "core/package/ApkLibraries.h"

#include "support/RawZip.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Entries = QList<RawZipEntry>;

class ApkLibrariesTest : public QObject {
    Q_OBJECT

private:
    QString writeApk(const QByteArray& bytes) {
        const QString path = m_dir.path() + QStringLiteral("/app.apk");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size())
            return QString();
        return path;
    }
    QTemporaryDir m_dir;

    // One library at a time, or all of them from one reading of the archive.
    static void addExtractionColumns() {
        QTest::addColumn<bool>("allAtOnce");
        QTest::newRow("one library") << false;
        QTest::newRow("all libraries") << true;
    }
    static bool extract(bool allAtOnce, const QString& apk, const QList<ApkLibrary>& libraries,
                        const QString& outputDirectory, QString* error) {
        if (allAtOnce)
            return ExtractApkLibraries(apk, libraries, outputDirectory, error);
        for (const ApkLibrary& library : libraries)
            if (!ExtractApkLibrary(apk, library,
                                   outputDirectory + QLatin1Char('/') + library.member, error))
                return false;
        return true;
    }
    static QStringList filesBelow(const QString& directory) {
        QStringList files;
        QDirIterator it(directory, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << it.next().mid(directory.size() + 1);
        files.sort();
        return files;
    }

private slots:
    void listsOneLevelLibrariesByAbi_data() {
        QTest::addColumn<Entries>("entries");
        QTest::addColumn<QStringList>("expected"); // "abi|name|size"
        const RawZipEntry manifest{"AndroidManifest.xml", "m"};
        QTest::newRow("none") << Entries{manifest} << QStringList{};
        QTest::newRow("two ABIs") << Entries{manifest,
                                             {"lib/armeabi-v7a/liba.so", "12345"},
                                             {"lib/arm64-v8a/liba.so", "1"}}
                                  << QStringList{"armeabi-v7a|liba.so|5", "arm64-v8a|liba.so|1"};
        QTest::newRow("nested folders and other files ignored")
            << Entries{manifest,
                       {"lib/x86/sub/libdeep.so", "d"},
                       {"lib/x86/readme.txt", "t"},
                       {"lib/libtop.so", "t"},
                       {"assets/lib/x86/libno.so", "n"},
                       {"lib/x86/", ""},
                       {"lib/x86/libok.so", "ok"}}
            << QStringList{"x86|libok.so|2"};
        QTest::newRow("a name met twice listed once, last wins")
            << Entries{{"lib/x86/liba.so", "first"}, {"lib/x86/liba.so", "second!"}}
            << QStringList{"x86|liba.so|7"};
        QTest::newRow("non-canonical spelling made canonical")
            << Entries{{"lib//x86/./liba.so", "abc"}} << QStringList{"x86|liba.so|3"};
    }
    void listsOneLevelLibrariesByAbi() {
        QFETCH(Entries, entries);
        QFETCH(QStringList, expected);
        const QString apk = writeApk(BuildRawZip(entries));
        QList<ApkLibrary> libraries;
        QString error;
        QVERIFY2(ListApkLibraries(apk, &libraries, &error), qPrintable(error));
        QStringList got;
        for (const ApkLibrary& library : libraries) {
            QCOMPARE(library.member,
                     QStringLiteral("lib/") + library.abi + QLatin1Char('/') + library.fileName);
            got << QStringLiteral("%1|%2|%3").arg(library.abi, library.fileName).arg(library.size);
        }
        QCOMPARE(got, expected);
    }

    void windowScopeTakesEveryFileBelowLib() {
        // The window's add flattens every file below lib/, at any depth and
        // of any name; folders and members elsewhere are not taken.
        const QString apk = writeApk(BuildRawZip({{"AndroidManifest.xml", "m"},
                                                  {"lib/x86/sub/libdeep.so", "d"},
                                                  {"lib/x86/readme.txt", "t"},
                                                  {"lib/libtop.so", "top"},
                                                  {"assets/lib/x86/libno.so", "n"},
                                                  {"lib/x86/", ""},
                                                  {"lib/x86/libok.so", "ok"}}));
        QList<ApkLibrary> libraries;
        QString error;
        QVERIFY2(ListApkLibraries(apk, &libraries, &error, ApkLibraryScope::EveryFileBelowLib),
                 qPrintable(error));
        QStringList got;
        for (const ApkLibrary& library : libraries)
            got << QStringLiteral("%1|%2|%3").arg(library.abi, library.fileName, library.member);
        QCOMPARE(got, (QStringList{"x86|libdeep.so|lib/x86/sub/libdeep.so",
                                   "x86|readme.txt|lib/x86/readme.txt", "|libtop.so|lib/libtop.so",
                                   "x86|libok.so|lib/x86/libok.so"}));
    }
    void refusesHostileArchives_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("causePart");
        QTest::newRow("not a ZIP") << QByteArray("just text, no archive") << "not a readable ZIP";
        QTest::newRow("name leaving the folder")
            << BuildRawZip({{"lib/x86/../../../evil.so", "x"}}) << "would leave its folder";
        QTest::newRow("backslash name leaving the folder")
            << BuildRawZip({{"lib\\..\\..\\evil.so", "x"}}) << "would leave its folder";
        QByteArray truncated = BuildRawZip({{"lib/x86/liba.so", "abc"}});
        truncated.chop(10);
        QTest::newRow("cut short") << truncated << "not a readable ZIP";
    }
    void refusesHostileArchives() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, causePart);
        const QString apk = writeApk(bytes);
        QList<ApkLibrary> libraries{{"old", "old.so", "lib/old/old.so", 1}};
        QString error;
        QVERIFY(!ListApkLibraries(apk, &libraries, &error));
        QVERIFY2(error.contains(causePart), qPrintable(error));
        QCOMPARE(libraries.size(), 1); // untouched on failure
    }

    void extractsTheLastEntryOfTheName_data() { addExtractionColumns(); }
    void extractsTheLastEntryOfTheName() {
        QFETCH(bool, allAtOnce);
        const QString apk = writeApk(BuildRawZip({{"lib/x86/liba.so", "first"},
                                                  {"lib/x86/libb.so", "bee"},
                                                  {"lib//arm64-v8a/./liba.so", "arm"},
                                                  {"lib/x86/liba.so", "second"}}));
        QList<ApkLibrary> libraries;
        QString error;
        QVERIFY2(ListApkLibraries(apk, &libraries, &error), qPrintable(error));
        QCOMPARE(libraries.size(), 3);
        const QString out = m_dir.path() + QStringLiteral("/out-%1").arg(allAtOnce);
        QVERIFY2(extract(allAtOnce, apk, libraries, out, &error), qPrintable(error));
        QCOMPARE(filesBelow(out), (QStringList{QStringLiteral("lib/arm64-v8a/liba.so"),
                                               QStringLiteral("lib/x86/liba.so"),
                                               QStringLiteral("lib/x86/libb.so")}));
        const QMap<QString, QByteArray> expected{{"lib/x86/liba.so", "second"},
                                                 {"lib/x86/libb.so", "bee"},
                                                 {"lib/arm64-v8a/liba.so", "arm"}};
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            QFile file(out + QLatin1Char('/') + it.key());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), it.value());
        }
    }

    void refusesDataNotMatchingItsCrc_data() { addExtractionColumns(); }
    void refusesDataNotMatchingItsCrc() {
        // The damaged library is named and nothing of it is left; the one
        // before it stays.
        QFETCH(bool, allAtOnce);
        QByteArray bytes =
            BuildRawZip({{"lib/x86/libgood.so", "FINE"}, {"lib/x86/liba.so", "GOODDATA"}});
        const qsizetype at = bytes.indexOf("GOODDATA");
        QVERIFY(at > 0);
        bytes[at] = 'B';
        const QString apk = writeApk(bytes);
        QList<ApkLibrary> libraries;
        QString error;
        QVERIFY2(ListApkLibraries(apk, &libraries, &error), qPrintable(error));
        QCOMPARE(libraries.size(), 2);
        const QString out = m_dir.path() + QStringLiteral("/crc-%1").arg(allAtOnce);
        QVERIFY(!extract(allAtOnce, apk, libraries, out, &error));
        QVERIFY2(error.contains(QLatin1String("liba.so")), qPrintable(error));
        QCOMPARE(filesBelow(out), QStringList{QStringLiteral("lib/x86/libgood.so")});
    }

    void refusesALibraryTheArchiveLacks() {
        const QString apk = writeApk(BuildRawZip({{"lib/x86/liba.so", "a"}}));
        QString error;
        const QString out = m_dir.path() + QStringLiteral("/lacks");
        QVERIFY(!ExtractApkLibraries(apk, {{"x86", "libz.so", "lib/x86/libz.so", 1}}, out, &error));
        QVERIFY2(error.contains(QLatin1String("lib/x86/libz.so")), qPrintable(error));
        QCOMPARE(filesBelow(out), QStringList{});
    }
};

QTEST_GUILESS_MAIN(ApkLibrariesTest)
#include "tst_ApkLibraries.moc"
