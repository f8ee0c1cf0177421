// Writes the synthetic firmware packages the benchmark works on: realistic in
// layout and sizes (an Android 5.1.1 package, every APK in a directory of its
// own, nine images, libraries, frameworks), with mostly incompressible data,
// and the same bytes for the same seed. Every APK has a compiled manifest of
// its own (package name, versions, SDK levels), so its facts can be read. Members are generated one
// at a time and streamed into the archive, so memory stays at the largest member.
//
// Usage:
//   bench_MakePackages package OUT.zip MEGABYTES [SEED]
//   bench_MakePackages listpackage OUT.zip APKS [SEED]
//   bench_MakePackages addapk OUT.apk BASE.apk LIBRARIES [SEED]
//   bench_MakePackages image OUT.img MEGABYTES [SEED]
//
// BASE.apk gives the compiled AndroidManifest.xml of the APK to add (signapk
// needs one). Each output is written under a temporary name and renamed into
// place when it is complete.

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QString>

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// splitmix64: small, fast and the same everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    qint64 between(qint64 low, qint64 high) {
        return low + static_cast<qint64>(next() % static_cast<std::uint64_t>(high - low + 1));
    }
    void fill(char* data, qint64 size) {
        qint64 i = 0;
        for (; i + 8 <= size; i += 8) {
            const std::uint64_t v = next();
            std::memcpy(data + i, &v, 8);
        }
        const std::uint64_t v = next();
        std::memcpy(data + i, &v, static_cast<size_t>(size - i));
    }

private:
    std::uint64_t m_state;
};

constexpr qint64 kMiB = 1024 * 1024;

// Bytes that deflate barely shrinks: random, with a share of text-like
// repetition (headers, string tables) and, for images, zero padding at the end.
QByteArray MakeData(Random& random, qint64 size, double compressibleShare, double zeroTail = 0) {
    QByteArray data(size, Qt::Uninitialized);
    const qint64 zeros = static_cast<qint64>(static_cast<double>(size) * zeroTail);
    const qint64 body = size - zeros;
    random.fill(data.data(), body);
    const qint64 text = static_cast<qint64>(static_cast<double>(body) * compressibleShare);
    static const char kText[] = "ro.product.name=stb android.intent.action.MAIN resource ";
    for (qint64 i = 0; i < text; ++i)
        data[body - text + i] = kText[i % (sizeof kText - 1)];
    std::memset(data.data() + body, 0, static_cast<size_t>(zeros));
    return data;
}

// A streaming ZIP writer: local header, data, and at the end the central
// directory. Fixed time stamps keep the output the same for the same seed.
// No ZIP64: the packages stay below 4 GiB and 65,535 members.
class ZipWriter {
public:
    explicit ZipWriter(QIODevice* out) : m_out(out) {}

    bool add(const QByteArray& name, const QByteArray& data, bool deflate) {
        const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(data.constData()),
                                static_cast<uInt>(data.size()));
        QByteArray stored;
        const QByteArray* payload = &data;
        quint16 method = 0;
        if (deflate) {
            stored = Deflate(data);
            // Like zip: keep it stored when deflate does not help.
            if (!stored.isNull() && stored.size() < data.size()) {
                payload = &stored;
                method = 8;
            }
        }
        Entry entry{name,
                    static_cast<quint32>(crc),
                    static_cast<quint32>(payload->size()),
                    static_cast<quint32>(data.size()),
                    method,
                    static_cast<quint32>(m_offset)};
        if (m_offset > 0xFFFFFFF0LL || data.size() > 0xFFFFFFF0LL)
            return false;
        QByteArray header;
        put32(header, 0x04034b50);
        put16(header, 20);
        put16(header, 0x0800); // UTF-8 names
        put16(header, method);
        put16(header, kDosTime);
        put16(header, kDosDate);
        put32(header, entry.crc);
        put32(header, entry.compressed);
        put32(header, entry.size);
        put16(header, static_cast<quint16>(name.size()));
        put16(header, 0);
        header += name;
        if (!write(header) || !write(*payload))
            return false;
        m_entries.append(entry);
        return true;
    }

    bool finish() {
        const qint64 start = m_offset;
        QByteArray central;
        for (const Entry& e : m_entries) {
            put32(central, 0x02014b50);
            put16(central, 0x031E); // made by Unix, 3.0
            put16(central, 20);
            put16(central, 0x0800);
            put16(central, e.method);
            put16(central, kDosTime);
            put16(central, kDosDate);
            put32(central, e.crc);
            put32(central, e.compressed);
            put32(central, e.size);
            put16(central, static_cast<quint16>(e.name.size()));
            put16(central, 0);
            put16(central, 0);
            put16(central, 0);
            put16(central, 0);
            put32(central, 0644u << 16 | 0x8000u << 16); // regular file, rw-r--r--
            put32(central, e.offset);
            central += e.name;
        }
        if (!write(central) || m_entries.size() > 0xFFFF)
            return false;
        QByteArray end;
        put32(end, 0x06054b50);
        put16(end, 0);
        put16(end, 0);
        put16(end, static_cast<quint16>(m_entries.size()));
        put16(end, static_cast<quint16>(m_entries.size()));
        put32(end, static_cast<quint32>(m_offset - start));
        put32(end, static_cast<quint32>(start));
        put16(end, 0);
        return write(end);
    }

private:
    struct Entry {
        QByteArray name;
        quint32 crc;
        quint32 compressed;
        quint32 size;
        quint16 method;
        quint32 offset;
    };
    static constexpr quint16 kDosTime = (12 << 11) | (0 << 5);               // 12:00:00
    static constexpr quint16 kDosDate = ((2016 - 1980) << 9) | (3 << 5) | 1; // 2016-03-01

    static void put16(QByteArray& b, quint16 v) {
        b.append(static_cast<char>(v & 0xFF));
        b.append(static_cast<char>(v >> 8));
    }
    static void put32(QByteArray& b, quint32 v) {
        put16(b, static_cast<quint16>(v & 0xFFFF));
        put16(b, static_cast<quint16>(v >> 16));
    }
    static QByteArray Deflate(const QByteArray& data) {
        z_stream stream{};
        if (deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            return {};
        QByteArray out(
            static_cast<qsizetype>(deflateBound(&stream, static_cast<uLong>(data.size()))),
            Qt::Uninitialized);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
        stream.avail_in = static_cast<uInt>(data.size());
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = static_cast<uInt>(out.size());
        const int result = deflate(&stream, Z_FINISH);
        const qint64 written = static_cast<qint64>(stream.total_out);
        deflateEnd(&stream);
        if (result != Z_STREAM_END)
            return {};
        out.truncate(written);
        return out;
    }
    bool write(const QByteArray& bytes) {
        if (m_out->write(bytes) != bytes.size())
            return false;
        m_offset += bytes.size();
        return true;
    }

    QIODevice* m_out;
    qint64 m_offset = 0;
    QList<Entry> m_entries;
};

// A ZIP in memory (an APK, a JAR, the boot animation).
class MemoryZip {
public:
    MemoryZip() : m_buffer(&m_bytes), m_zip(&m_buffer) { m_buffer.open(QIODevice::WriteOnly); }
    bool add(const QByteArray& name, const QByteArray& data, bool deflate) {
        return m_zip.add(name, data, deflate);
    }
    QByteArray finish() {
        if (!m_zip.finish())
            return {};
        m_buffer.close();
        return m_bytes;
    }

private:
    QByteArray m_bytes;
    QBuffer m_buffer;
    ZipWriter m_zip;
};

// A compiled AndroidManifest.xml (Android's binary XML) declaring the package,
// its versions and SDK levels, so that readers of APKs really parse it.
QByteArray CompiledManifest(const QByteArray& packageName, quint32 versionCode,
                            const QByteArray& versionName) {
    const auto put16 = [](QByteArray& b, quint32 v) {
        b.append(static_cast<char>(v & 0xFF));
        b.append(static_cast<char>((v >> 8) & 0xFF));
    };
    const auto put32 = [&](QByteArray& b, quint32 v) {
        put16(b, v & 0xFFFF);
        put16(b, v >> 16);
    };
    // The attributes matched by resource id come first: the resource map
    // gives their ids in the same order.
    const QList<QByteArray> strings = {
        "versionCode",      "versionName", "minSdkVersion",
        "targetSdkVersion", "android",     "http://schemas.android.com/apk/res/android",
        "package",          "manifest",    "uses-sdk",
        "application",      packageName,   versionName};
    const quint32 kAndroid = 4, kUri = 5, kPackage = 6, kManifest = 7, kUsesSdk = 8,
                  kApplication = 9, kPackageName = 10, kVersionName = 11;
    const quint32 kNone = 0xFFFFFFFFu;
    QByteArray pool;
    QByteArray offsets;
    QByteArray text;
    for (const QByteArray& s : strings) {
        put32(offsets, static_cast<quint32>(text.size()));
        put16(text, static_cast<quint32>(s.size()));
        for (const char c : s)
            put16(text, static_cast<quint8>(c));
        put16(text, 0);
    }
    while (text.size() % 4)
        text.append('\0');
    put16(pool, 0x0001);
    put16(pool, 28);
    put32(pool, static_cast<quint32>(28 + offsets.size() + text.size()));
    put32(pool, static_cast<quint32>(strings.size()));
    put32(pool, 0);                                         // styles
    put32(pool, 0);                                         // UTF-16
    put32(pool, static_cast<quint32>(28 + offsets.size())); // strings start
    put32(pool, 0);
    pool += offsets + text;

    QByteArray map;
    put16(map, 0x0180);
    put16(map, 8);
    put32(map, 8 + 4 * 4);
    for (const quint32 id : {0x0101021bu, 0x0101021cu, 0x0101020cu, 0x01010270u})
        put32(map, id);

    struct Attribute {
        quint32 ns, name, raw;
        quint8 type;
        quint32 data;
    };
    const auto node = [&](QByteArray& b, quint16 type, quint32 size) {
        put16(b, type);
        put16(b, 16);
        put32(b, size);
        put32(b, 1);     // line
        put32(b, kNone); // comment
    };
    const auto start = [&](quint32 name, const QList<Attribute>& attributes) {
        QByteArray b;
        node(b, 0x0102, static_cast<quint32>(16 + 20 + 20 * attributes.size()));
        put32(b, kNone);
        put32(b, name);
        put16(b, 20);
        put16(b, 20);
        put16(b, static_cast<quint32>(attributes.size()));
        put16(b, 0);
        put16(b, 0);
        put16(b, 0);
        for (const Attribute& a : attributes) {
            put32(b, a.ns);
            put32(b, a.name);
            put32(b, a.raw);
            put16(b, 8);
            b.append('\0');
            b.append(static_cast<char>(a.type));
            put32(b, a.data);
        }
        return b;
    };
    const auto end = [&](quint32 name) {
        QByteArray b;
        node(b, 0x0103, 24);
        put32(b, kNone);
        put32(b, name);
        return b;
    };
    const auto nameSpace = [&](quint16 type) {
        QByteArray b;
        node(b, type, 24);
        put32(b, kAndroid);
        put32(b, kUri);
        return b;
    };
    const quint8 kString = 0x03, kInt = 0x10;
    QByteArray body = pool + map + nameSpace(0x0100);
    body += start(kManifest, {{kUri, 0, kNone, kInt, versionCode},
                              {kUri, 1, kVersionName, kString, kVersionName},
                              {kNone, kPackage, kPackageName, kString, kPackageName}});
    body += start(kUsesSdk, {{kUri, 2, kNone, kInt, 21}, {kUri, 3, kNone, kInt, 22}});
    body += end(kUsesSdk);
    body += start(kApplication, {});
    body += end(kApplication);
    body += end(kManifest);
    body += nameSpace(0x0101);
    QByteArray xml;
    put16(xml, 0x0003);
    put16(xml, 8);
    put32(xml, static_cast<quint32>(8 + body.size()));
    return xml + body;
}

// An APK of about `size` bytes: manifest, classes.dex, resources.arsc (stored,
// as Android wants it) and assets; inside, like release builds, mostly stored
// media and deflated code.
QByteArray MakeApk(Random& random, qint64 size, const QByteArray& manifest = QByteArray()) {
    MemoryZip apk;
    const qint64 dex = std::max<qint64>(size * 35 / 100, 4096);
    const qint64 arsc = std::max<qint64>(size * 15 / 100, 2048);
    const qint64 assets = std::max<qint64>(size - dex - arsc, 1024);
    apk.add("AndroidManifest.xml",
            manifest.isEmpty() ? MakeData(random, random.between(1500, 6000), 0.6) : manifest,
            true);
    apk.add("classes.dex", MakeData(random, dex, 0.08), true);
    apk.add("resources.arsc", MakeData(random, arsc, 0.10), false);
    apk.add("assets/media.bin", MakeData(random, assets, 0.0), false);
    apk.add("META-INF/MANIFEST.MF",
            QByteArray("Manifest-Version: 1.0\r\nCreated-By: bench\r\n\r\n"), true);
    return apk.finish();
}

QByteArray MakeNativeLibrary(Random& random, qint64 size, int index) {
    QByteArray data = MakeData(random, size, 0.05);
    // An ELF header for 32-bit ARM, as a stand-in library has.
    static const unsigned char kElf[] = {0x7F, 'E', 'L', 'F', 1, 1, 1,  0, 0, 0, 0, 0,
                                         0,    0,   0,   0,   3, 0, 40, 0, 1, 0, 0, 0};
    std::memcpy(data.data(), kElf, sizeof kElf);
    const QByteArray tag = QByteArray("libbench") + QByteArray::number(index);
    std::memcpy(data.data() + sizeof kElf, tag.constData(), static_cast<size_t>(tag.size()));
    return data;
}

// Names of pre-installed applications: word pairs, numbered past the pairs.
QByteArray AppName(int index) {
    static const char* const kFirst[] = {
        "Live",  "Tv",  "Media", "Home", "Net",  "Play", "Smart", "Cloud", "Music", "Photo",
        "Video", "Key", "Ota",   "Dlna", "Mira", "Air",  "Boot",  "Game",  "Shop",  "Epg"};
    static const char* const kSecond[] = {"Player", "Center",  "Launcher", "Service", "Store",
                                          "Guide",  "Box",     "Manager",  "Cast",    "Sync",
                                          "Update", "Browser", "Settings", "Input",   "Provider"};
    constexpr int kPairs = 20 * 15;
    QByteArray name = QByteArray(kFirst[index % 20]) + kSecond[(index / 20) % 15];
    if (index >= kPairs)
        name += QByteArray::number(index / kPairs + 1);
    return name;
}

// The output goes to a temporary name and is renamed when complete.
class Output {
public:
    explicit Output(QString path)
        : m_path(std::move(path)), m_file(m_path + QStringLiteral(".part")) {}
    ~Output() {
        if (m_file.isOpen())
            m_file.close();
        if (!m_done)
            QFile::remove(m_file.fileName());
    }
    bool open() {
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        return m_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    }
    QIODevice* device() { return &m_file; }
    bool commit() {
        if (!m_file.flush())
            return false;
        m_file.close();
        if (m_file.error() != QFileDevice::NoError)
            return false;
        QFile::remove(m_path);
        m_done = QFile::rename(m_file.fileName(), m_path);
        return m_done;
    }

private:
    QString m_path;
    QFile m_file;
    bool m_done = false;
};

const char kBuildProp[] = "# begin build properties\n"
                          "ro.build.id=LMY47V\n"
                          "ro.build.display.id=SampleBox-bench\n"
                          "ro.build.version.incremental=eng.bench\n"
                          "ro.build.version.sdk=22\n"
                          "ro.build.version.release=5.1.1\n"
                          "ro.product.model=SampleBox\n"
                          "ro.product.brand=SampleBox\n"
                          "ro.product.cpu.abi=armeabi-v7a\n"
                          "# end build properties\n";

const char kKeyLayout[] = "key 116   POWER\nkey 139   MENU\nkey 158   BACK\nkey 102   HOME\n"
                          "key 103   DPAD_UP\nkey 108   DPAD_DOWN\nkey 105   DPAD_LEFT\n"
                          "key 106   DPAD_RIGHT\nkey 28    DPAD_CENTER\nkey 115   VOLUME_UP\n"
                          "key 114   VOLUME_DOWN\n";

const char kKeyXml[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<keymap>\n"
    "  <key code=\"0x10\" name=\"POWER\"/>\n  <key code=\"0x11\" name=\"HOME\"/>\n"
    "  <key code=\"0x12\" name=\"BACK\"/>\n</keymap>\n";

const char kUpdaterScript[] =
    "ui_print(\"Installing SampleBox update\");\n"
    "show_progress(0.500000, 0);\n"
    "format(\"ext4\", \"EMMC\", \"/dev/block/system\", \"0\", \"/system\");\n"
    "mount(\"ext4\", \"EMMC\", \"/dev/block/system\", \"/system\");\n"
    "package_extract_dir(\"system\", \"/system\");\n"
    "package_extract_file(\"boot.img\", \"/dev/block/boot\");\n"
    "package_extract_file(\"logo.img\", \"/dev/block/logo\");\n"
    "unmount(\"/system\");\n";

bool AddCommonFiles(ZipWriter& zip) {
    return zip.add("META-INF/com/google/android/updater-script", kUpdaterScript, true) &&
           zip.add("system/build.prop", kBuildProp, true) &&
           zip.add("system/usr/keylayout/Vendor_0001_Product_0001.kl", kKeyLayout, true) &&
           zip.add("system/etc/key.xml", kKeyXml, true);
}

// A package of about `megabytes` MB: 26% images (sizes scaled from a 600 MB
// package, each at most 60 MB), 8% libraries and frameworks, the rest APKs.
bool WritePackage(const QString& path, qint64 megabytes, std::uint64_t seed) {
    Output output(path);
    if (!output.open())
        return false;
    ZipWriter zip(output.device());
    Random random(seed);
    const double scale = static_cast<double>(megabytes) / 600.0;
    if (!AddCommonFiles(zip))
        return false;

    // The images, at the root and the boot animation below system/media.
    struct Image {
        const char* name;
        double megabytes; // in a 600 MB package
    };
    const Image images[] = {{"logo.img", 12},      {"fastplay.img", 40}, {"bootargs.img", 10},
                            {"baseparam.img", 10}, {"boot.img", 18},     {"fastboot.img", 10},
                            {"recovery.img", 20},  {"pq_param.img", 10}};
    for (const Image& image : images) {
        const qint64 size = std::min<qint64>(
            static_cast<qint64>(image.megabytes * scale * static_cast<double>(kMiB)), 60 * kMiB);
        if (!zip.add(image.name, MakeData(random, std::max<qint64>(size, 4096), 0.02, 0.15), true))
            return false;
    }
    {
        MemoryZip animation;
        animation.add("desc.txt", "1920 1080 25\np 0 0 part0\n", false);
        const qint64 total = std::min<qint64>(static_cast<qint64>(25 * scale * kMiB), 60 * kMiB);
        const int frames = 100;
        for (int i = 0; i < frames; ++i)
            animation.add(QByteArray("part0/") + QByteArray::number(i).rightJustified(4, '0') +
                              ".png",
                          MakeData(random, std::max<qint64>(total / frames, 1024), 0.0), false);
        if (!zip.add("system/media/bootanimation.zip", animation.finish(), true))
            return false;
    }

    // Libraries and frameworks.
    const qint64 libraryBudget = static_cast<qint64>(static_cast<double>(megabytes) * 0.05) * kMiB;
    qint64 spent = 0;
    for (int i = 0; spent < libraryBudget; ++i) {
        const qint64 size = random.between(16 * 1024, 2 * kMiB);
        if (!zip.add(QByteArray("system/lib/lib") + AppName(i).toLower() + ".so",
                     MakeNativeLibrary(random, size, i), true))
            return false;
        spent += size;
    }
    const qint64 frameworkBudget =
        static_cast<qint64>(static_cast<double>(megabytes) * 0.03) * kMiB;
    spent = 0;
    static const char* const kJars[] = {
        "framework",      "services",    "core",        "ext",    "telephony-common",
        "android.policy", "voip-common", "ims-common",  "okhttp", "conscrypt",
        "bouncycastle",   "apache-xml",  "wifi-service"};
    for (int i = 0; spent < frameworkBudget; ++i) {
        const qint64 size = random.between(64 * 1024, 8 * kMiB);
        const QByteArray name =
            QByteArray(kJars[i % 13]) + (i >= 13 ? QByteArray::number(i / 13) : QByteArray());
        if (!zip.add("system/framework/" + name + ".jar", MakeApk(random, size), true))
            return false;
        spent += size;
    }

    // APKs of 0.1 to 30 MB, most of them small: system/app (with an odex for
    // every other one), system/priv-app and userdata/app.
    const qint64 apkBudget = static_cast<qint64>(static_cast<double>(megabytes) * 0.66) * kMiB;
    spent = 0;
    for (int i = 0; spent < apkBudget; ++i) {
        const double u = random.unit();
        const qint64 size = static_cast<qint64>(0.1 * kMiB * std::pow(300.0, u * u * u * u * u));
        const QByteArray name = AppName(i);
        const double where = random.unit();
        const QByteArray directory = where < 0.55   ? "system/app/"
                                     : where < 0.70 ? "system/priv-app/"
                                                    : "userdata/app/";
        // Two of three deflated in the package, the rest stored.
        const QByteArray manifest =
            CompiledManifest("com.corvane.bench." + name.toLower(), static_cast<quint32>(i + 1),
                             "1." + QByteArray::number(i));
        if (!zip.add(directory + name + '/' + name + ".apk", MakeApk(random, size, manifest),
                     i % 3 != 2))
            return false;
        spent += size;
        if (directory == "system/app/" && i % 2 == 0) {
            const qint64 odex = size / 3 + 4096;
            if (!zip.add(directory + name + "/oat/arm/" + name + ".odex",
                         MakeData(random, odex, 0.1), true))
                return false;
            spent += odex;
        }
    }
    return zip.finish() && output.commit();
}

// A small package whose system/app holds `count` small APKs, each in its
// directory (the page refresh of a crowded partition).
bool WriteListPackage(const QString& path, int count, std::uint64_t seed) {
    Output output(path);
    if (!output.open())
        return false;
    ZipWriter zip(output.device());
    Random random(seed);
    if (!AddCommonFiles(zip))
        return false;
    for (int i = 0; i < count; ++i) {
        const QByteArray name = AppName(i);
        const QByteArray manifest = CompiledManifest("com.corvane.bench." + name.toLower(),
                                                     static_cast<quint32>(i + 1), "1.0");
        if (!zip.add("system/app/" + name + '/' + name + ".apk",
                     MakeApk(random, random.between(8 * 1024, 24 * 1024), manifest), true))
            return false;
    }
    for (int i = 0; i < 20; ++i) {
        const QByteArray name = "Priv" + AppName(i);
        const QByteArray manifest = CompiledManifest("com.corvane.bench." + name.toLower(),
                                                     static_cast<quint32>(i + 1), "1.0");
        if (!zip.add("system/priv-app/" + name + '/' + name + ".apk",
                     MakeApk(random, random.between(8 * 1024, 24 * 1024), manifest), true))
            return false;
    }
    return zip.finish() && output.commit();
}

QByteArray ReadManifest(const QString& baseApk) {
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(baseApk).constData(), ZIP_RDONLY, &error);
    if (!zip)
        return {};
    QByteArray data;
    zip_stat_t stat;
    if (zip_stat(zip, "AndroidManifest.xml", 0, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE)) {
        zip_file_t* file = zip_fopen(zip, "AndroidManifest.xml", 0);
        if (file) {
            data.resize(static_cast<qsizetype>(stat.size));
            if (zip_fread(file, data.data(), stat.size) != static_cast<zip_int64_t>(stat.size))
                data.clear();
            zip_fclose(file);
        }
    }
    zip_discard(zip);
    return data;
}

// The APK to add: the compiled manifest of the base APK, classes.dex,
// resources, and `libraries` native libraries of 200 KB to 3 MB.
bool WriteAddApk(const QString& path, const QString& baseApk, int libraries, std::uint64_t seed) {
    const QByteArray manifest = ReadManifest(baseApk);
    if (manifest.isEmpty()) {
        std::fprintf(stderr, "no AndroidManifest.xml in %s\n", qPrintable(baseApk));
        return false;
    }
    Random random(seed);
    MemoryZip apk;
    apk.add("AndroidManifest.xml", manifest, true);
    apk.add("classes.dex", MakeData(random, 6 * kMiB, 0.08), true);
    apk.add("resources.arsc", MakeData(random, kMiB, 0.1), false);
    for (int i = 0; i < libraries; ++i)
        apk.add(QByteArray("lib/armeabi-v7a/libbench") + QByteArray::number(i) + ".so",
                MakeNativeLibrary(random, random.between(200 * 1024, 3 * kMiB), i), true);
    const QByteArray bytes = apk.finish();
    Output output(path);
    return !bytes.isEmpty() && output.open() && output.device()->write(bytes) == bytes.size() &&
           output.commit();
}

bool WriteImage(const QString& path, qint64 megabytes, std::uint64_t seed) {
    Random random(seed);
    const QByteArray bytes = MakeData(random, megabytes * kMiB, 0.0);
    Output output(path);
    return output.open() && output.device()->write(bytes) == bytes.size() && output.commit();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto usage = [] {
        std::fprintf(stderr, "usage: bench_MakePackages package OUT.zip MEGABYTES [SEED]\n"
                             "       bench_MakePackages listpackage OUT.zip APKS [SEED]\n"
                             "       bench_MakePackages addapk OUT.apk BASE.apk LIBRARIES [SEED]\n"
                             "       bench_MakePackages image OUT.img MEGABYTES [SEED]\n");
        return 2;
    };
    if (args.size() < 4)
        return usage();
    const QString kind = args[1];
    const QString out = args[2];
    bool ok = false;
    if (kind == QLatin1String("package")) {
        const std::uint64_t seed = args.size() > 4 ? args[4].toULongLong() : 600;
        ok = WritePackage(out, args[3].toLongLong(), seed);
    } else if (kind == QLatin1String("listpackage")) {
        const std::uint64_t seed = args.size() > 4 ? args[4].toULongLong() : 3000;
        ok = WriteListPackage(out, args[3].toInt(), seed);
    } else if (kind == QLatin1String("addapk") && args.size() >= 5) {
        const std::uint64_t seed = args.size() > 5 ? args[5].toULongLong() : 30;
        ok = WriteAddApk(out, args[3], args[4].toInt(), seed);
    } else if (kind == QLatin1String("image")) {
        const std::uint64_t seed = args.size() > 4 ? args[4].toULongLong() : 50;
        ok = WriteImage(out, args[3].toLongLong(), seed);
    } else {
        return usage();
    }
    if (!ok) {
        std::fprintf(stderr, "bench_MakePackages: cannot write %s\n", qPrintable(out));
        return 1;
    }
    std::printf("%s\n", qPrintable(out));
    return 0;
}
