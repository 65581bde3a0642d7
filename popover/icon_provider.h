#pragma once

// Application icons for the rows. A row knows its application's icon by one
// string; where that string's image comes from is behind AppIconSource, so
// the program and its tests can choose.

#include "icon_theme.h"

#include <QImage>
#include <QQuickImageProvider>
#include <QSize>
#include <QString>
#include <QUrl>

#include <memory>

// Both functions may be called from any thread: images are loaded off the
// main thread.
class AppIconSource {
public:
    virtual ~AppIconSource() = default;
    virtual bool hasIcon(const QString& path) const = 0;
    // The icon drawn at size (its natural size when size is not valid); a
    // null image when there is none.
    virtual QImage icon(const QString& path, const QSize& size) const = 0;
};

// "/Applications/Music.app" → "Music"; empty when the path names no bundle.
QString bundleName(const QString& path);

// The icons applications name, in any of the forms they come in:
//  - an absolute bundle path, "/Applications/Music.app": the icon shipped for
//    that bundle name, else the theme icon of its lower-cased, dash-joined
//    name ("Web Browser" → "web-browser");
//  - an absolute path to a PNG, XPM, SVG or SVGZ file;
//  - an icon name, "org.example.Player", looked up in the icon theme (an
//    image extension left on it, "player.png", is dropped).
// Files are read only when they are regular files within the size limits,
// and never through QIcon or QPixmap, so any thread may ask.
class DesktopIconSource : public AppIconSource {
public:
    static constexpr qint64 kMaxFileBytes = 10 * 1024 * 1024;
    static constexpr int kMaxImageSide = 4096;

    explicit DesktopIconSource(IconTheme theme);
    ~DesktopIconSource() override;

    bool hasIcon(const QString& path) const override;
    QImage icon(const QString& path, const QSize& size) const override;

private:
    struct Resolved;
    struct Caches;

    Resolved resolve(const QString& path) const;

    IconTheme m_theme;
    std::unique_ptr<Caches> m_caches;
};

// Serves "image://appicon/<encoded path>". Images are drawn in turn on at
// most kMaxThreads threads of the provider's own, which nothing ever waits
// for: Qt Quick's loading thread, which the QML engine waits for as it goes,
// only hands the request over, so no icon, however slow, holds up quitting.
class AppIconProvider : public QQuickAsyncImageProvider {
public:
    static constexpr auto kId = "appicon";
    static constexpr int kMaxThreads = 2;

    explicit AppIconProvider(std::shared_ptr<const AppIconSource> source);

    bool hasIcon(const QString& path) const { return m_source->hasIcon(path); }
    static QUrl source(const QString& path);

    QQuickImageResponse* requestImageResponse(const QString& id, const QSize& requestedSize) override;

private:
    struct Workers;

    std::shared_ptr<const AppIconSource> m_source;
    std::shared_ptr<Workers> m_workers;
};
