#include "gui/Icons.h"

#include <QImage>
#include <QPixmap>
#include <QTest>

namespace {

struct PixelCounts {
    int opaque = 0;
    int green = 0; // green clearly above red and blue
};

PixelCounts Count(const QImage& image) {
    PixelCounts counts;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() < 128)
                continue;
            ++counts.opaque;
            if (c.green() > c.red() + 40 && c.green() > c.blue() + 40)
                ++counts.green;
        }
    }
    return counts;
}

} // namespace

class TestIcons : public QObject {
    Q_OBJECT
private slots:
    void sizes_data();
    void sizes();
    void apkIconIsGreenAndCrispAt32();
    void iconsDiffer();
};

void TestIcons::sizes_data() {
    QTest::addColumn<bool>("apk");
    QTest::addColumn<int>("size");
    for (int size : {16, 24, 32, 48, 64, 72})
        QTest::addRow("apk %d", size) << true << size;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        QTest::addRow("application %d", size) << false << size;
}

// Every size is drawn on its own (not scaled from another) and is neither
// empty nor a filled square.
void TestIcons::sizes() {
    QFETCH(bool, apk);
    QFETCH(int, size);
    const QIcon icon = apk ? ApkIcon() : ApplicationIcon();
    QVERIFY(icon.availableSizes().contains(QSize(size, size)));
    const QImage image = icon.pixmap(QSize(size, size)).toImage();
    QCOMPARE(image.size(), QSize(size, size));
    const PixelCounts counts = Count(image);
    QVERIFY2(counts.opaque > size * size / 5, "too little is drawn");
    QVERIFY2(counts.opaque < size * size * 9 / 10, "no transparent surround");
}

// The list shows icon 135 at 32 x 32: mostly green, and drawn on whole pixels
// (few half-transparent edge pixels).
void TestIcons::apkIconIsGreenAndCrispAt32() {
    const QImage image = ApkIcon().pixmap(QSize(32, 32)).toImage();
    const PixelCounts counts = Count(image);
    QVERIFY(counts.green * 2 > counts.opaque);
    int partial = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            const int alpha = image.pixelColor(x, y).alpha();
            if (alpha > 0 && alpha < 255)
                ++partial;
        }
    QVERIFY2(partial * 4 < counts.opaque, "blurred edges");
}

void TestIcons::iconsDiffer() {
    const QImage apk = ApkIcon().pixmap(QSize(32, 32)).toImage();
    const QImage application = ApplicationIcon().pixmap(QSize(32, 32)).toImage();
    QVERIFY(apk != application);
    QVERIFY(Count(application).green * 2 < Count(application).opaque);
}

QTEST_MAIN(TestIcons)
#include "tst_Icons.moc"
