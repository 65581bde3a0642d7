#include "svg_references.h"

#include <QBuffer>
#include <QImageReader>
#include <QXmlStreamReader>

namespace popover {

namespace {

bool isLocalReference(QStringView value)
{
    value = value.trimmed();
    if (value.startsWith(QLatin1Char('"')) || value.startsWith(QLatin1Char('\'')))
        value = value.mid(1).trimmed();
    return value.startsWith(QLatin1Char('#')) || value.startsWith(QLatin1String("data:"), Qt::CaseInsensitive);
}

// CSS, in a style attribute or element, or a presentation attribute such as
// fill="url(#gradient)". Escapes are refused rather than decoded: "u\rl(" is
// url( to a CSS parser.
bool isLocalCss(QStringView text)
{
    if (text.contains(QLatin1Char('\\')) || text.contains(QLatin1String("@import"), Qt::CaseInsensitive))
        return false;
    for (qsizetype at = text.indexOf(QLatin1String("url("), 0, Qt::CaseInsensitive); at >= 0;
         at = text.indexOf(QLatin1String("url("), at + 4, Qt::CaseInsensitive)) {
        if (!isLocalReference(text.mid(at + 4)))
            return false;
    }
    return true;
}

// An image written into the document as base64, measured from its header
// before QtSvg decodes all of it: a small file can hold a PNG that unpacks
// into hundreds of megabytes. QtSvg decodes, leniently, whatever follows the
// last "base64," of a URL that starts with "data" (both in lower case only).
// So only a URL of the one shape is measured: "data:", a media type without
// a comma, ";base64," and then nothing but base64 (line breaks aside); its
// payload is the one QtSvg decodes.
bool isModestEmbeddedImage(QStringView href)
{
    href = href.trimmed();
    const QLatin1String marker(";base64,");
    const qsizetype payload = href.lastIndexOf(marker);
    if (!href.startsWith(QLatin1String("data:")) || payload < 0
        || href.indexOf(QLatin1Char(',')) != payload + marker.size() - 1)
        return false;
    QByteArray text = href.mid(payload + marker.size()).toLatin1();
    text.removeIf([](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
    QByteArray::FromBase64Result decoded
        = QByteArray::fromBase64Encoding(std::move(text), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    QBuffer buffer(&*decoded);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // An SVG inside would be drawn with whatever it refers to, unchecked; and
    // its size is only known once all of it is loaded, here as well. Its
    // format is told from its first bytes.
    if (reader.format().startsWith("svg"))
        return false;
    const QSize size = reader.size();
    return size.isValid() && size.width() <= kMaxEmbeddedImageSide && size.height() <= kMaxEmbeddedImageSide;
}

// The one href an <image> names its picture by. QtSvg reads attributes by
// their written names, "xlink:href" (then, from 6.8, a plain "href"),
// whatever namespace the prefix is bound to; the check reads them by
// namespace. An image with a second href, or whose only one is not xlink's
// or plain, could be read differently by the two, so it has none here.
QStringView imageHref(const QXmlStreamAttributes& attributes)
{
    const QXmlStreamAttribute* href = nullptr;
    for (const QXmlStreamAttribute& attribute : attributes) {
        if (attribute.name() != QLatin1String("href"))
            continue;
        if (href)
            return {};
        href = &attribute;
    }
    if (!href)
        return {};
    const QStringView space = href->namespaceUri();
    const bool xlink = space == QLatin1String("http://www.w3.org/1999/xlink");
    return xlink || (space.isEmpty() && href->qualifiedName() == QLatin1String("href")) ? href->value()
                                                                                          : QStringView();
}

} // namespace

bool isSelfContainedSvg(const QByteArray& document)
{
    QXmlStreamReader reader(document);
    // Entities are never expanded past what XML itself defines; a DOCTYPE,
    // where they would be declared, is refused outright below.
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::EntityReference:
        case QXmlStreamReader::ProcessingInstruction:
            return false;
        case QXmlStreamReader::StartElement:
            for (const QXmlStreamAttribute& attribute : reader.attributes()) {
                const QStringView name = attribute.name();
                if ((name == QLatin1String("href") || name == QLatin1String("src"))
                    && !isLocalReference(attribute.value()))
                    return false;
                if (!isLocalCss(attribute.value()))
                    return false;
            }
            // Only one kind of image an icon may hold: one written into it.
            if (reader.name() == QLatin1String("image")) {
                const QXmlStreamAttributes attributes = reader.attributes();
                if (!isModestEmbeddedImage(imageHref(attributes)))
                    return false;
            }
            break;
        case QXmlStreamReader::Characters:
            if (!isLocalCss(reader.text()))
                return false;
            break;
        default:
            break;
        }
    }
    return !reader.hasError();
}

} // namespace popover
