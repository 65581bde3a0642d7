#pragma once

// Application icons for the rows. A row knows its application by the path of
// its bundle; where that path's icon comes from is behind AppIconSource, so
// the program and its tests can choose.

#include <QImage>
#include <QQuickImageProvider>
#include <QSize>
#include <QString>
#include <QUrl>

#include <memory>

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

// Icons shipped with the simulated applications, keyed by bundle name, then
// the desktop's icon theme under the lower-cased bundle name ("Web Browser" →
// "web-browser"). Main thread only: theme lookups go through QIcon.
class BundledIconSource : public AppIconSource {
public:
    bool hasIcon(const QString& path) const override;
    QImage icon(const QString& path, const QSize& size) const override;
};

// Serves "image://appicon/<encoded path>". Images load synchronously (the
// default for Image), so the source is only ever used on the main thread.
class AppIconProvider : public QQuickImageProvider {
public:
    static constexpr auto kId = "appicon";

    explicit AppIconProvider(std::shared_ptr<const AppIconSource> source);

    bool hasIcon(const QString& path) const { return m_source->hasIcon(path); }
    static QUrl source(const QString& path);

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

private:
    std::shared_ptr<const AppIconSource> m_source;
};
