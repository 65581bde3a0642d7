#include "icon_provider.h"

#include "svg_references.h"

#include <QBuffer>
#include <QCache>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>

#include <zlib.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr int kNaturalSize = 64;
// Far beyond any icon on any screen; a larger request is drawn at this.
constexpr int kMaxRequestSide = 1024;
constexpr qsizetype kMaxRemembered = 4096;
constexpr qsizetype kImageCacheBytes = 32 * 1024 * 1024;

QString bundledIconFile(const QString& name)
{
    const QString file = QStringLiteral(":/qt/qml/Ravlet/Popover/appicons/%1.svg").arg(name);
    return QFile::exists(file) ? file : QString();
}

bool isVectorFile(const QString& file)
{
    const QString suffix = QFileInfo(file).suffix().toLower();
    return suffix == QLatin1String("svg") || suffix == QLatin1String("svgz");
}

bool isImageFile(const QString& file)
{
    const QString suffix = QFileInfo(file).suffix().toLower();
    return isVectorFile(file) || suffix == QLatin1String("png") || suffix == QLatin1String("xpm");
}

bool climbs(const QString& path)
{
    return path.split(QLatin1Char('/')).contains(QLatin1String(".."));
}

// Icon names in desktop entries sometimes keep the file's extension, which
// the icon theme rules say to ignore.
QString withoutImageExtension(const QString& name)
{
    for (const char* extension : {".png", ".svg", ".xpm"}) {
        if (name.endsWith(QLatin1String(extension), Qt::CaseInsensitive) && name.size() > 4)
            return name.chopped(4);
    }
    return name;
}

QSize targetSize(const QSize& requested)
{
    int width = requested.width() > 0 ? requested.width() : requested.height();
    int height = requested.height() > 0 ? requested.height() : requested.width();
    if (width <= 0 || height <= 0)
        width = height = kNaturalSize;
    return {std::min(width, kMaxRequestSide), std::min(height, kMaxRequestSide)};
}

QImage transparentImage(const QSize& size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QRectF centredFit(QSizeF natural, const QSize& target)
{
    const QSizeF fitted = natural.scaled(QSizeF(target), Qt::KeepAspectRatio);
    return {QPointF((target.width() - fitted.width()) / 2, (target.height() - fitted.height()) / 2), fitted};
}

// SVGZ, inflated here rather than by QSvgRenderer so that a small file
// cannot unpack into gigabytes.
QByteArray gunzip(const QByteArray& data, qint64 maxBytes)
{
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return {};
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    QByteArray inflated;
    char chunk[64 * 1024];
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        result = inflate(&stream, Z_NO_FLUSH);
        // Z_BUF_ERROR: the file ended before the stream did.
        if ((result != Z_OK && result != Z_STREAM_END)
            || inflated.size() + qint64(sizeof chunk - stream.avail_out) > maxBytes) {
            inflated.clear();
            break;
        }
        inflated.append(chunk, qsizetype(sizeof chunk - stream.avail_out));
    }
    inflateEnd(&stream);
    return inflated;
}

QImage renderVector(const QByteArray& data, const QSize& target)
{
    const QByteArray document =
        data.startsWith("\x1f\x8b") ? gunzip(data, DesktopIconSource::kMaxFileBytes) : data;
    // Checked here, after inflating, as QtSvg would read it.
    if (document.isEmpty() || !popover::isSelfContainedSvg(document))
        return {};
    QSvgRenderer renderer(document);
    if (!renderer.isValid())
        return {};
    QSizeF natural = renderer.viewBoxF().size();
    if (natural.isEmpty())
        natural = renderer.defaultSize();
    if (natural.isEmpty())
        natural = target;
    QImage image = transparentImage(target);
    QPainter painter(&image);
    renderer.render(&painter, centredFit(natural, target));
    return image;
}

QImage renderRaster(QByteArray data, const QSize& target)
{
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // The reader's own cap, in megabytes, for a header that lies about the
    // size it is checked by below: the largest image let through, with room.
    reader.setAllocationLimit(int(qint64(DesktopIconSource::kMaxImageSide) * DesktopIconSource::kMaxImageSide * 4
                                  / (1024 * 1024)) + 1);
    // Measured from the header, before anything is decoded.
    const QSize natural = reader.size();
    if (natural.isEmpty() || natural.width() > DesktopIconSource::kMaxImageSide
        || natural.height() > DesktopIconSource::kMaxImageSide)
        return {};
    const QImage decoded = reader.read();
    if (decoded.isNull())
        return {};
    // Whole pixels, so that the scaled image is not resampled again to land
    // between them.
    const QSize fitted = decoded.size().scaled(target, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    QImage image = transparentImage(target);
    QPainter painter(&image);
    painter.drawImage(QPoint((target.width() - fitted.width()) / 2, (target.height() - fitted.height()) / 2),
                      decoded.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    return image;
}

QImage renderFile(const QString& file, const QSize& target)
{
    QByteArray data;
    if (file.startsWith(QLatin1String(":/"))) {
        QFile resource(file);
        if (resource.open(QIODevice::ReadOnly))
            data = resource.readAll();
    } else {
        data = popover::readRegularFile(file, DesktopIconSource::kMaxFileBytes);
    }
    if (data.isEmpty())
        return {};
    return isVectorFile(file) ? renderVector(data, target) : renderRaster(std::move(data), target);
}

struct ImageKey {
    QString path;
    QSize size;
    bool operator==(const ImageKey&) const = default;
};

size_t qHash(const ImageKey& key, size_t seed = 0)
{
    return qHashMulti(seed, key.path, key.size.width(), key.size.height());
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

// Where a path's icon comes from: a file, or an icon name whose file depends
// on the size drawn.
struct DesktopIconSource::Resolved {
    enum class Kind { None, File, Named };
    Kind kind = Kind::None;
    QString location;
};

struct DesktopIconSource::Caches {
    std::mutex mutex;
    QHash<QString, Resolved> resolved;
    // Failures too, so that an unreadable file is not read again and again.
    QCache<ImageKey, QImage> images{kImageCacheBytes};
};

DesktopIconSource::DesktopIconSource(IconTheme theme)
    : m_theme(std::move(theme))
    , m_caches(std::make_unique<Caches>())
{
}

DesktopIconSource::~DesktopIconSource() = default;

DesktopIconSource::Resolved DesktopIconSource::resolve(const QString& path) const
{
    {
        const std::lock_guard lock(m_caches->mutex);
        if (const auto it = m_caches->resolved.constFind(path); it != m_caches->resolved.cend())
            return *it;
    }

    // Any size will do to learn whether a theme has the icon at all: the
    // lookup falls back to the closest size there is.
    const auto named = [this](const QString& name) {
        return m_theme.lookup(name, kNaturalSize).isEmpty() ? Resolved{} : Resolved{Resolved::Kind::Named, name};
    };
    Resolved resolved;
    if (path.startsWith(QLatin1Char('/'))) {
        if (const QString bundle = bundleName(path); !bundle.isEmpty()) {
            if (const QString file = bundledIconFile(bundle); !file.isEmpty())
                resolved = {Resolved::Kind::File, file};
            else
                resolved = named(bundle.toLower().replace(QLatin1Char(' '), QLatin1Char('-')));
        } else if (isImageFile(path) && !climbs(path) && popover::isRegularFile(path)
                   && QFileInfo(path).size() <= kMaxFileBytes) {
            resolved = {Resolved::Kind::File, path};
        }
    } else if (!path.contains(QLatin1Char('/'))) {
        resolved = named(withoutImageExtension(path));
    }

    const std::lock_guard lock(m_caches->mutex);
    if (m_caches->resolved.size() >= kMaxRemembered)
        m_caches->resolved.clear();
    m_caches->resolved.insert(path, resolved);
    return resolved;
}

bool DesktopIconSource::hasIcon(const QString& path) const
{
    return resolve(path).kind != Resolved::Kind::None;
}

QImage DesktopIconSource::icon(const QString& path, const QSize& size) const
{
    const Resolved resolved = resolve(path);
    if (resolved.kind == Resolved::Kind::None)
        return {};
    const QSize target = targetSize(size);
    const ImageKey key{path, target};
    {
        const std::lock_guard lock(m_caches->mutex);
        if (const QImage* cached = m_caches->images.object(key))
            return *cached;
    }

    const QString file = resolved.kind == Resolved::Kind::File
        ? resolved.location
        : m_theme.lookup(resolved.location, std::max(target.width(), target.height()));
    QImage image = file.isEmpty() ? QImage() : renderFile(file, target);

    const std::lock_guard lock(m_caches->mutex);
    m_caches->images.insert(key, new QImage(image), std::max<qsizetype>(1, image.sizeInBytes()));
    return image;
}

namespace {

// Outlives its response when the view goes first: the thread drawing the
// image then finishes into nothing.
class IconResponse : public QQuickImageResponse {
public:
    struct State {
        std::mutex mutex;
        IconResponse* response = nullptr;
        QImage image;
    };

    IconResponse()
        : m_state(std::make_shared<State>())
    {
        m_state->response = this;
    }

    ~IconResponse() override
    {
        const std::lock_guard lock(m_state->mutex);
        m_state->response = nullptr;
    }

    std::shared_ptr<State> state() const { return m_state; }

    // Any thread. Announced from the response's own thread, Qt Quick's
    // loading thread, once it is back in its event loop: by then it listens,
    // however soon the image was drawn. Posted under the lock that keeps the
    // response from going meanwhile; a response gone by the time it is
    // delivered takes the post with it.
    static void finish(const std::shared_ptr<State>& state, QImage image)
    {
        const std::lock_guard lock(state->mutex);
        state->image = std::move(image);
        if (state->response)
            QMetaObject::invokeMethod(state->response, &IconResponse::finished, Qt::QueuedConnection);
    }

    QQuickTextureFactory* textureFactory() const override
    {
        const std::lock_guard lock(m_state->mutex);
        return m_state->image.isNull() ? nullptr : QQuickTextureFactory::textureFactoryForImage(m_state->image);
    }

private:
    std::shared_ptr<State> m_state;
};

} // namespace

// The drawing still to do, and how many threads do it. A thread is started
// only while fewer than kMaxThreads run, and ends once it finds nothing left:
// a list of a hundred applications costs two threads, not a hundred. The
// threads share this with the provider, which may go first.
struct AppIconProvider::Workers {
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    int running = 0;

    // False when the task could not be queued: no thread runs, none starts.
    static bool post(const std::shared_ptr<Workers>& workers, std::function<void()> task)
    {
        const std::lock_guard lock(workers->mutex);
        workers->tasks.push_back(std::move(task));
        if (workers->running >= kMaxThreads)
            return true;
        try {
            std::thread([workers] { workers->drain(); }).detach();
            ++workers->running;
        } catch (const std::system_error&) {
            // No new thread: one already running comes to it, if there is one.
            if (workers->running == 0) {
                workers->tasks.pop_back();
                return false;
            }
        }
        return true;
    }

    void drain()
    {
        for (;;) {
            std::function<void()> task;
            {
                const std::lock_guard lock(mutex);
                if (tasks.empty()) {
                    --running;
                    return;
                }
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            task();
        }
    }
};

AppIconProvider::AppIconProvider(std::shared_ptr<const AppIconSource> source)
    : m_source(std::move(source))
    , m_workers(std::make_shared<Workers>())
{
}

// Base64 keeps any path, with its slashes, spaces and percent signs, one
// unambiguous URL segment.
QUrl AppIconProvider::source(const QString& path)
{
    return QUrl(QStringLiteral("image://%1/%2")
                    .arg(QLatin1String(kId), QString::fromLatin1(path.toUtf8().toBase64(pathEncoding()))));
}

QQuickImageResponse* AppIconProvider::requestImageResponse(const QString& id, const QSize& requestedSize)
{
    auto* response = new IconResponse;
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(id.toLatin1(), pathEncoding());
    if (!decoded) {
        IconResponse::finish(response->state(), {});
        return response;
    }
    const bool queued = Workers::post(
        m_workers, [source = m_source, state = response->state(), path = QString::fromUtf8(*decoded), requestedSize] {
            QImage image;
            try {
                image = source->icon(path, requestedSize);
            } catch (...) {
                // Out of memory drawing it: no icon, and the program goes on.
            }
            IconResponse::finish(state, std::move(image));
        });
    // No thread to be had: no icon, as for one that would not load.
    if (!queued)
        IconResponse::finish(response->state(), {});
    return response;
}
