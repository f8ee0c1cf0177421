#include "gui/Icons.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <cmath>

namespace {

// Draws on a 32-unit design grid scaled to the pixmap's size. Rectangle edges
// are snapped to whole pixels so that the small sizes stay crisp.
class GridPainter {
public:
    GridPainter(QPixmap& pixmap, int size) : m_painter(&pixmap), m_scale(size / 32.0) {
        // Below 24 pixels whole pixels read better than smoothed edges.
        m_painter.setRenderHint(QPainter::Antialiasing, size >= 24);
        m_painter.setPen(Qt::NoPen);
    }

    QRectF rect(double x, double y, double w, double h) const {
        const double left = snapX(x), top = snapY(y);
        return QRectF(left, top, std::max(1.0, snapX(x + w) - left),
                      std::max(1.0, snapY(y + h) - top));
    }

    void fillRounded(const QRectF& r, double radius, const QBrush& brush) {
        m_painter.setBrush(brush);
        const double px = radius * m_scale;
        if (px < 0.75 || m_scale < 0.7)
            m_painter.drawRect(r);
        else
            m_painter.drawRoundedRect(r, px, px);
    }

    // A rounded rectangle with an outline of about one pixel (none at the
    // smallest sizes, where it would swallow the fill).
    void outlined(double x, double y, double w, double h, double radius, const QBrush& fill,
                  const QColor& outline) {
        const QRectF outer = rect(x, y, w, h);
        if (m_scale < 0.7) {
            fillRounded(outer, radius, fill);
            return;
        }
        const double border = std::max(1.0, std::round(m_scale));
        fillRounded(outer, radius, outline);
        fillRounded(outer.adjusted(border, border, -border, -border), std::max(0.0, radius - 1.0),
                    fill);
    }

    void disc(double cx, double cy, double r, const QColor& color) {
        m_painter.setBrush(color);
        const double radius = std::max(0.6, r * m_scale);
        m_painter.drawEllipse(QPointF(cx * m_scale, cy * m_scale), radius, radius);
    }

private:
    // Across, halves round toward the middle so that mirrored shapes stay
    // mirrored; downward, halves round down the icon.
    double snapY(double v) const { return std::floor(v * m_scale + 0.5); }
    double snapX(double v) const {
        const double p = v * m_scale, middle = 16 * m_scale;
        return p < middle ? std::floor(p + 0.5) : std::ceil(p - 0.5);
    }

    QPainter m_painter;
    double m_scale;
};

QPixmap NewPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// A set-top box with a front display, carrying a firmware chip on its top.
QPixmap DrawApplicationIcon(int size) {
    QPixmap pixmap = NewPixmap(size);
    GridPainter g(pixmap, size);
    const bool tiny = size < 24;

    // Chip: dark body, silver pins on both sides, a golden die in the middle.
    const QColor pin(176, 190, 197);
    for (int i = 0; i < 3; ++i) {
        const double y = 4.5 + i * 3.0;
        g.fillRounded(g.rect(7.5, y, 3, 1.5), 0, pin);
        g.fillRounded(g.rect(21.5, y, 3, 1.5), 0, pin);
    }
    g.outlined(10, 2, 12, 12, 1.5, QColor(55, 71, 79), QColor(33, 43, 48));
    g.fillRounded(g.rect(13, 5, 6, 6), 0.8, QColor(255, 193, 7));
    if (!tiny)
        g.disc(12.3, 4.3, 0.7, QColor(120, 144, 156));

    // Box: a flat case shaded from top to bottom, with a lighter top edge.
    const QRectF body = g.rect(1, 14, 30, 12);
    QLinearGradient shade(body.topLeft(), body.bottomLeft());
    shade.setColorAt(0.0, QColor(84, 110, 122));
    shade.setColorAt(1.0, QColor(38, 50, 56));
    g.outlined(1, 14, 30, 12, 2.5, shade, QColor(26, 35, 39));
    if (!tiny)
        g.fillRounded(g.rect(3, 15, 26, 1), 0, QColor(120, 144, 156));

    // Front display with three glowing segments, and a power light.
    g.fillRounded(g.rect(4, 18, 13, 5), 1, QColor(16, 32, 39));
    const QColor segment(77, 208, 225);
    if (tiny) {
        g.fillRounded(g.rect(6, 20, 9, 1), 0, segment);
    } else {
        for (int i = 0; i < 3; ++i)
            g.fillRounded(g.rect(5.5 + i * 3.7, 19.5, 2.6, 2), 0.3, segment);
    }
    g.disc(26, 20.5, 1.4, QColor(102, 187, 106));
    if (!tiny)
        g.disc(21.5, 20.5, 1.0, QColor(144, 164, 174));

    // Feet.
    g.fillRounded(g.rect(4, 26, 4, 2), 0.5, QColor(33, 43, 48));
    g.fillRounded(g.rect(24, 26, 4, 2), 0.5, QColor(33, 43, 48));
    return pixmap;
}

// A boxy green robot: antenna, square head with two eyes, a body with a chest
// light, arms and legs.
QPixmap DrawApkIcon(int size) {
    QPixmap pixmap = NewPixmap(size);
    GridPainter g(pixmap, size);
    const bool tiny = size < 24;
    const QColor green(92, 184, 72);
    const QColor dark(46, 110, 40);
    const QColor light(182, 232, 160);

    // Antenna.
    g.fillRounded(g.rect(15, 3, 2, 5), 0, dark);
    g.disc(16, 3, tiny ? 1.6 : 2.0, QColor(255, 183, 77));

    // Arms and legs, behind the body.
    g.outlined(2, 17, 4, 9, 2, green, dark);
    g.outlined(26, 17, 4, 9, 2, green, dark);
    g.outlined(10, 25, 5, 5, 1, green, dark);
    g.outlined(17, 25, 5, 5, 1, green, dark);

    // Neck, head and eyes.
    g.fillRounded(g.rect(13, 15, 6, 3), 0, dark);
    g.outlined(7, 7, 18, 9, 2.5, green, dark);
    g.fillRounded(g.rect(10, 9, 4, 4), 1, Qt::white);
    g.fillRounded(g.rect(18, 9, 4, 4), 1, Qt::white);
    if (!tiny) {
        g.fillRounded(g.rect(11, 10, 2, 2), 0.5, QColor(33, 33, 33));
        g.fillRounded(g.rect(19, 10, 2, 2), 0.5, QColor(33, 33, 33));
    }

    // Body with its chest light.
    g.outlined(7, 17, 18, 9.5, 2, green, dark);
    g.fillRounded(g.rect(12, 19, 8, tiny ? 2 : 3), 1, light);
    return pixmap;
}

QIcon BuildIcon(QPixmap (*draw)(int), std::initializer_list<int> sizes) {
    QIcon icon;
    for (int size : sizes)
        icon.addPixmap(draw(size));
    return icon;
}

} // namespace

QIcon ApplicationIcon() {
    return BuildIcon(&DrawApplicationIcon, {16, 24, 32, 48, 64, 128, 256});
}

QIcon ApkIcon() {
    return BuildIcon(&DrawApkIcon, {16, 24, 32, 48, 64, 72});
}
