#include "icon_provider.h"

#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QPainter>
#include <QSvgRenderer>

namespace {

constexpr int kNaturalSize = 64;

QString bundledIconFile(const QString& path)
{
    const QString name = bundleName(path);
    if (name.isEmpty())
        return {};
    const QString file = QStringLiteral(":/qt/qml/Ravlet/Popover/appicons/%1.svg").arg(name);
    return QFile::exists(file) ? file : QString();
}

QString themeIconName(const QString& path)
{
    return bundleName(path).toLower().replace(QLatin1Char(' '), QLatin1Char('-'));
}

QSize sizeOrNatural(const QSize& size)
{
    return QSize(size.width() > 0 ? size.width() : kNaturalSize, size.height() > 0 ? size.height() : kNaturalSize);
}

QByteArray::Base64Options pathEncoding()
{
    return QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
}

} // namespace

QString bundleName(const QString& path)
{
    const QFileInfo info(path);
    if (info.suffix().compare(QLatin1String("app"), Qt::CaseInsensitive) != 0)
        return {};
    return info.completeBaseName();
}

bool BundledIconSource::hasIcon(const QString& path) const
{
    if (!bundledIconFile(path).isEmpty())
        return true;
    const QString name = themeIconName(path);
    return !name.isEmpty() && QIcon::hasThemeIcon(name);
}

QImage BundledIconSource::icon(const QString& path, const QSize& size) const
{
    const QSize target = sizeOrNatural(size);
    if (const QString file = bundledIconFile(path); !file.isEmpty()) {
        QSvgRenderer renderer(file);
        if (!renderer.isValid())
            return {};
        renderer.setAspectRatioMode(Qt::KeepAspectRatio);
        QImage image(target, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter);
        return image;
    }
    const QString name = themeIconName(path);
    if (name.isEmpty())
        return {};
    return QIcon::fromTheme(name).pixmap(target).toImage();
}

AppIconProvider::AppIconProvider(std::shared_ptr<const AppIconSource> source)
    : QQuickImageProvider(QQuickImageProvider::Image)
    , m_source(std::move(source))
{
}

// Base64 keeps any path, with its slashes, spaces and percent signs, one
// unambiguous URL segment.
QUrl AppIconProvider::source(const QString& path)
{
    return QUrl(QStringLiteral("image://%1/%2")
                    .arg(QLatin1String(kId), QString::fromLatin1(path.toUtf8().toBase64(pathEncoding()))));
}

QImage AppIconProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize)
{
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(id.toLatin1(), pathEncoding());
    QImage image;
    if (decoded)
        image = m_source->icon(QString::fromUtf8(*decoded), requestedSize);
    if (size)
        *size = image.size();
    return image;
}
