#include "symbol_provider.h"

#include <QFile>
#include <QPainter>
#include <QRegularExpression>
#include <QSvgRenderer>

namespace {

constexpr int kNaturalSize = 24;

QString symbolFile(const QString& name)
{
    // The name becomes part of a resource path: nothing but symbol names.
    static const QRegularExpression symbolName(QStringLiteral("^[a-z0-9]+(\\.[a-z0-9]+)*$"));
    if (!symbolName.match(name).hasMatch())
        return {};
    const QString file = QStringLiteral(":/qt/qml/Ravlet/Popover/symbols/%1.svg").arg(name);
    return QFile::exists(file) ? file : QString();
}

} // namespace

QImage renderSymbol(const QString& name, const QColor& color, const QSize& size)
{
    const QString file = symbolFile(name);
    if (file.isEmpty())
        return {};
    QSvgRenderer renderer(file);
    if (!renderer.isValid())
        return {};
    renderer.setAspectRatioMode(Qt::KeepAspectRatio);

    const QSize target(size.width() > 0 ? size.width() : kNaturalSize, size.height() > 0 ? size.height() : kNaturalSize);
    QImage image(target, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    // The drawings are black; keep their coverage, take the colour.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    return image;
}

SymbolProvider::SymbolProvider()
    : QQuickImageProvider(QQuickImageProvider::Image)
{
}

QUrl SymbolProvider::source(const QString& name, const QColor& color)
{
    return QUrl(QStringLiteral("image://%1/%2/%3")
                    .arg(QLatin1String(kId), name, color.name(QColor::HexArgb).mid(1)));
}

QImage SymbolProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize)
{
    const qsizetype slash = id.lastIndexOf(QLatin1Char('/'));
    QImage image;
    if (slash > 0) {
        const QColor color = QColor::fromString(QLatin1Char('#') + id.mid(slash + 1));
        if (color.isValid())
            image = renderSymbol(id.left(slash), color, requestedSize);
    }
    if (size)
        *size = image.size();
    return image;
}
