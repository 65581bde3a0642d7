// Opens the popover on the built-in scene and saves it, in a few typical
// states, as PNG files: for the README, and for trying Ravlet on a machine
// without a display. Usage: ravlet-screenshots [output directory]

#include "app_delegate.h"
#include "no_update_offered.h"
#include "demo_scene.h"
#include "memory_user_defaults.h"
#include "status_icon.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
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

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::current().filePath(QStringLiteral("screenshots")));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return 1;
    }

    DemoScene scene;
    MemoryUserDefaults defaults;
    NoUpdateOffered noUpdate;
    AppDelegate delegate(EnginePlatform{scene.hardware(), scene.processes(), defaults,
                                        QDir::temp().filePath(QStringLiteral("ravlet-screenshots-diag.log"))});
    delegate.applicationDidFinishLaunching([&] { return UpdateServices{&noUpdate, {}, {}}; },
                                           [] { return StatusItem::create(statusIcon(), QStringLiteral("Ravlet")); });
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
    };

    shoot(QStringLiteral("1-mixer"));

    engine.setGain(DemoScene::chatID(), 0.5f);
    engine.setMuted(DemoScene::chatID(), true);
    shoot(QStringLiteral("2-muted-at-50"));

    engine.setHidden(DemoScene::notesID(), true);
    engine.setShowHidden(true);
    shoot(QStringLiteral("3-hidden-shown"));

    engine.setGain(DemoScene::musicID(), 0.8f);
    scene.setMusicRunning(false);
    engine.refresh();
    shoot(QStringLiteral("4-not-running"));

    return failures == 0 ? 0 : 1;
}

