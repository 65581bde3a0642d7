#include "screenshot_tour.h"

#include "app_delegate.h"

#include <QEventLoop>
#include <QQuickItem>
#include <QTimer>

#include <cstdio>

namespace {

// Lets timers, the meters and the scene graph run for a while.
void settle(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int runScreenshotTour(AppDelegate& delegate, const QDir& out, const ScreenshotTour& tour)
{
    RavletEngine& engine = delegate.engine();
    int failures = 0;
    auto shoot = [&](const QString& name) {
        if (!delegate.popover()->isShown())
            delegate.togglePopover();
        settle(700);
        const QString path = out.filePath(name + QStringLiteral(".png"));
        const QImage image = delegate.popover()->window().grabWindow();
        if (image.isNull() || !image.save(path)) {
            std::fprintf(stderr, "could not save %s\n", qPrintable(path));
            ++failures;
            return;
        }
        std::printf("%s\n", qPrintable(path));
        std::fflush(stdout);
    };

    shoot(QStringLiteral("1-mixer"));

    engine.setGain(tour.muted, 0.5f);
    engine.setMuted(tour.muted, true);
    shoot(QStringLiteral("2-muted-at-50"));
    if (tour.whileMuted && !tour.whileMuted())
        ++failures;
    // The same, as a desktop that prefers dark colours shows it.
    if (QQuickItem* root = delegate.popover()->root()) {
        root->setProperty("dark", true);
        shoot(QStringLiteral("2-muted-at-50-dark"));
        root->setProperty("dark", false);
    }

    engine.setHidden(tour.hidden, true);
    engine.setShowHidden(true);
    shoot(QStringLiteral("3-hidden-shown"));

    engine.setGain(tour.quitting, 0.8f);
    tour.quit();
    engine.refresh();
    shoot(QStringLiteral("4-not-running"));

    return failures;
}

std::optional<QDir> screenshotFolder(int argc, char** argv)
{
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::current().filePath(QStringLiteral("screenshots")));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return std::nullopt;
    }
    return out;
}
