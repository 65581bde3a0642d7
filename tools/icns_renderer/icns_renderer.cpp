#include "icns_renderer.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QtEndian>

namespace {

// The PNG-holding entry types of the format and their pixel sizes; the
// "@2x" ones (ic11 to ic14, ic10) serve Retina screens.
struct Entry {
    const char type[5];
    int pixels;
};
constexpr Entry kEntries[] = {
    {"icp4", 16}, {"icp5", 32}, {"ic11", 32}, {"ic12", 64}, {"ic07", 128}, {"ic13", 256},
    {"ic08", 256}, {"ic14", 512}, {"ic09", 512}, {"ic10", 1024},
};

void appendHeader(QByteArray& out, const char* type, quint32 length)
{
    out.append(type, 4);
    const quint32 bigEndian = qToBigEndian(length);
    out.append(reinterpret_cast<const char*>(&bigEndian), 4);
}

} // namespace

std::optional<QByteArray> renderIcns(const QByteArray& svg, QString* error)
{
    QSvgRenderer renderer(svg);
    if (!renderer.isValid()) {
        if (error)
            *error = QStringLiteral("not a readable SVG image");
        return std::nullopt;
    }
    QByteArray body;
    for (const Entry& entry : kEntries) {
        QImage image(entry.pixels, entry.pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter);
        painter.end();
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        appendHeader(body, entry.type, quint32(8 + png.size()));
        body.append(png);
    }
    QByteArray icns;
    appendHeader(icns, "icns", quint32(8 + body.size()));
    return icns + body;
}
