// Ravlet: a per-application volume mixer in the system tray.

#include "app_delegate.h"
#include "appearance.h"
#include "audio_backend.h"
#include "in_app_updater.h"
#include "json_user_defaults.h"
#include "quit_signals.h"
#include "status_icon.h"
#include "update_checker.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ravlet"));
    QApplication::setApplicationVersion(QStringLiteral(RAVLET_VERSION));
    // An accessory: closing the popover must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    // The built-in scene on request; otherwise the desktop's own sound.
    const std::unique_ptr<AudioBackend> backend
        = app.arguments().contains(QStringLiteral("--demo")) ? AudioBackend::demo() : AudioBackend::pipeWire();
    JsonUserDefaults defaults(JsonUserDefaults::defaultFilePath());
    AppDelegate delegate(EnginePlatform{backend->hardware(), backend->processes(), defaults});
    // A quit waits for an update's bundle swap, or its rollback, to finish.
    QObject::connect(&delegate, &AppDelegate::quitRequested, &app, [] { InAppUpdater::shared().quitWhenSafe(); },
                     Qt::QueuedConnection);
    // Logout and shutdown quit as the power button does.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, &delegate, &AppDelegate::quitRequested);

    // Asked now, so that the answer is usually in before the popover opens.
    Appearance appearance;

    QTimer::singleShot(0, &delegate, [&delegate, &appearance] {
        delegate.applicationDidFinishLaunching(
            [] {
                return UpdateServices{
                    &UpdateChecker::shared(),
                    [] { InAppUpdater::shared().cleanupLeftovers(); },
                    [](const QString& url, const QString& version) { InAppUpdater::shared().startUpdate(url, version); },
                };
            },
            [] { return StatusItem::create(statusIcon(), QStringLiteral("Ravlet")); });
        delegate.followAppearance(appearance);
    });
    return app.exec();
}
