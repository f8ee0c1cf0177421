#include "core/package/ApkLibraries.h"

#include "support/RawZip.h"

#include <QDir>
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

    void extractsTheLastEntryOfTheName() {
        const QString apk = writeApk(BuildRawZip({{"lib/x86/liba.so", "first"},
                                                  {"lib/x86/libb.so", "bee"},
                                                  {"lib/x86/liba.so", "second"}}));
        QList<ApkLibrary> libraries;
        QString error;
        QVERIFY2(ListApkLibraries(apk, &libraries, &error), qPrintable(error));
        QCOMPARE(libraries.size(), 2);
        const QString out = m_dir.path() + QStringLiteral("/out/x86/liba.so");
        const ApkLibrary a =
            libraries[0].fileName == QLatin1String("liba.so") ? libraries[0] : libraries[1];
        QVERIFY2(ExtractApkLibrary(apk, a, out, &error), qPrintable(error));
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("second"));
    }

    void refusesDataNotMatchingItsCrc() {
        QByteArray bytes = BuildRawZip({{"lib/x86/liba.so", "GOODDATA"}});
        const qsizetype at = bytes.indexOf("GOODDATA");
        QVERIFY(at > 0);
        bytes[at] = 'B';
        const QString apk = writeApk(bytes);
        QList<ApkLibrary> libraries;
        QString error;
        QVERIFY2(ListApkLibraries(apk, &libraries, &error), qPrintable(error));
        QCOMPARE(libraries.size(), 1);
        const QString out = m_dir.path() + QStringLiteral("/crc/liba.so");
        QVERIFY(!ExtractApkLibrary(apk, libraries[0], out, &error));
        QVERIFY2(error.contains(QLatin1String("liba.so")), qPrintable(error));
        QVERIFY(!QFile::exists(out));
        QCOMPARE(QDir(m_dir.path() + QStringLiteral("/crc")).entryList(QDir::Files | QDir::Hidden),
                 QStringList{});
    }
};

QTEST_GUILESS_MAIN(ApkLibrariesTest)
#include "tst_ApkLibraries.moc"
