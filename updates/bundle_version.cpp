#include "bundle_version.h"

#include <QFile>
#include <QXmlStreamReader>

namespace {

// Far more than any Info.plist; a bigger file is not one.
constexpr qint64 kMaxInfoPlistBytes = 4 * 1024 * 1024;

}

std::optional<QString> infoPlistShortVersion(const QByteArray& plist)
{
    QXmlStreamReader xml(plist);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("plist"))
        return std::nullopt;
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("dict"))
        return std::nullopt;

    // Keys and values alternate; a later duplicate of the key wins.
    std::optional<QString> version;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("key"))
            return std::nullopt;
        const QString key = xml.readElementText();
        if (!xml.readNextStartElement())
            return std::nullopt;
        if (key != QLatin1String("CFBundleShortVersionString")) {
            xml.skipCurrentElement();
        } else if (xml.name() == QLatin1String("string")) {
            version = xml.readElementText();
        } else {
            version.reset();
            xml.skipCurrentElement();
        }
    }
    // The rest must be well-formed too, or the file is no property list.
    while (!xml.atEnd())
        xml.readNext();
    if (xml.hasError())
        return std::nullopt;
    return version;
}

std::optional<QString> bundleShortVersion(const QString& bundlePath)
{
    QFile file(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray plist = file.read(kMaxInfoPlistBytes + 1);
    if (plist.size() > kMaxInfoPlistBytes)
        return std::nullopt;
    return infoPlistShortVersion(plist);
}
