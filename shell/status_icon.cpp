#include "status_icon.h"

#include <QFile>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace {
const QString kSymbol = QStringLiteral(":/qt/qml/Ravlet/Popover/symbols/slider.horizontal.3.svg");
}

QIcon statusIcon()
{
    QIcon icon;
    QSvgRenderer renderer(kSymbol);
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter, QRectF(0, 0, size, size));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
