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
// into hundreds of megabytes.
bool isModestEmbeddedImage(QStringView href)
{
    href = href.trimmed();
    const qsizetype comma = href.indexOf(QLatin1Char(','));
    if (comma < 0 || !href.left(comma).endsWith(QLatin1String(";base64"), Qt::CaseInsensitive))
        return false;
    QByteArray bytes = QByteArray::fromBase64(href.mid(comma + 1).toLatin1());
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    const QSize size = QImageReader(&buffer).size();
    return size.isValid() && size.width() <= kMaxEmbeddedImageSide && size.height() <= kMaxEmbeddedImageSide;
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
                const QLatin1String xlink("http://www.w3.org/1999/xlink");
                const QStringView href = attributes.hasAttribute(xlink, QLatin1String("href"))
                    ? attributes.value(xlink, QLatin1String("href"))
                    : attributes.value(QLatin1String("href"));
                if (!isModestEmbeddedImage(href))
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
