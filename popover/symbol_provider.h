#pragma once

// The system symbols the popover draws (eye, power, speaker…), as small SVGs
// rendered at the size the view asks for, so they stay crisp at any scale,
// and tinted with one colour.

#include <QColor>
#include <QImage>
#include <QQuickImageProvider>
#include <QSize>
#include <QString>
#include <QUrl>

// A null image when name is not a symbol the popover ships.
QImage renderSymbol(const QString& name, const QColor& color, const QSize& size);

// Serves "image://symbol/<name>/<AARRGGBB>".
class SymbolProvider : public QQuickImageProvider {
public:
    static constexpr auto kId = "symbol";

    SymbolProvider();

    static QUrl source(const QString& name, const QColor& color);

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;
};
