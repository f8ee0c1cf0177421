#include "res/Icons.h"

#include <QPainter>
#include <QPixmap>

QIcon ApplicationIcon() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(40, 90, 160));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(6, 10, 52, 36, 6, 6);
    return QIcon(pixmap);
}

QIcon ApkIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(120, 190, 40));
    p.setPen(Qt::NoPen);
    p.drawEllipse(6, 4, 20, 16);
    p.drawRect(6, 13, 20, 13);
    return QIcon(pixmap);
}
