#include "screenshot_tour.h"

#include "app_delegate.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QQuickItem>
#include <QQuickWindow>
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

// A key pressed and let go in the popover, as the user would.
void press(QQuickWindow& window, int key)
{
    QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &down);
    QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &up);
}

// The row of an application, among the items drawn under root.
QQuickItem* rowOf(QQuickItem* root, const QString& id)
{
    for (QQuickItem* child : root->childItems()) {
        if (child->property("appId").toString() == id)
            return child;
        if (QQuickItem* found = rowOf(child, id))
            return found;
    }
    return nullptr;
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

    if (QQuickItem* root = delegate.popover()->root(); root && !tour.playOn.isEmpty()
                                                       && engine.setOutputOf(tour.playOn, tour.playOnDevice)) {
        // The engine sees it playing there before it is sent back: taken
        // back before the next look, it would stay where it was sent.
        engine.refresh();
        // By the keys, as the user reaches it: the row's menu, then Play On.
        QQuickItem* row = rowOf(root, tour.playOn);
        if (row) {
            if (!delegate.popover()->isShown())
                delegate.togglePopover();
            row->forceActiveFocus();
            for (const int key : {Qt::Key_Menu, Qt::Key_Right})
                press(delegate.popover()->window(), key);
        }
        // Made as it opens.
        QObject* menu = row ? row->findChild<QObject*>(QStringLiteral("contextMenu")) : nullptr;
        QObject* submenu = row ? row->findChild<QObject*>(QStringLiteral("playOnMenu")) : nullptr;
        if (menu && submenu) {
            shoot(QStringLiteral("2-play-on"));
            if (!submenu->property("opened").toBool()) {
                std::fprintf(stderr, "the Play On menu did not open\n");
                ++failures;
            }
            QMetaObject::invokeMethod(submenu, "close");
            QMetaObject::invokeMethod(menu, "close");
        } else {
            std::fprintf(stderr, "no row menu for %s\n", qPrintable(tour.playOn));
            ++failures;
        }
        engine.setOutputOf(tour.playOn, QString());
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
