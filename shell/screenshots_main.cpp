// Opens the popover on the built-in scene and saves it, in a few typical
// states, as PNG files: for the README, and for trying Ravlet on a machine
// without a display. Usage: ravlet-screenshots [output directory]

#include "app_delegate.h"
#include "no_update_offered.h"
#include "demo_scene.h"
#include "memory_user_defaults.h"
#include "renderer_choice.h"
#include "screenshot_tour.h"
#include "status_icon.h"

#include <QApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const std::optional<QDir> out = screenshotFolder(argc, argv);
    if (!out)
        return 1;

    DemoScene scene;
    MemoryUserDefaults defaults;
    NoUpdateOffered noUpdate;
    AppDelegate delegate(EnginePlatform{scene.hardware(), scene.processes(), defaults,
                                        QDir::temp().filePath(QStringLiteral("ravlet-screenshots-diag.log"))});
    delegate.applicationDidFinishLaunching([&] { return UpdateServices{&noUpdate, {}, {}}; },
                                           [] { return StatusItem::create(statusIcon(), QStringLiteral("Ravlet")); });

    ScreenshotTour tour{DemoScene::chatID(), DemoScene::notesID(), DemoScene::musicID(),
                        [&] { scene.setMusicRunning(false); }};
    tour.playOn = DemoScene::musicID();
    tour.playOnDevice = QStringLiteral("USBHeadphones-01");
    const int failures = runScreenshotTour(delegate, *out, tour);
    std::printf("drawn by the %s renderer\n", qPrintable(rendererName(delegate.popover()->window())));
    return failures == 0 ? 0 : 1;
}
