// Ravlet: a per-application volume mixer in the system tray.

#include "app_delegate.h"
#include "appearance.h"
#include "audio_backend.h"
#include "command_line.h"
#include "control_commands.h"
#include "display_platform.h"
#include "in_app_updater.h"
#include "instance_channel.h"
#include "malloc_arenas.h"
#include "no_update_offered.h"
#include "quit_signals.h"
#include "runtime_folder.h"
#include "status_icon.h"
#include "system_seams.h"
#include "update_checker.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

namespace {

QStringList arguments(int argc, char** argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    return args;
}

void print(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// A command for the running mixer. No GUI application: scripts and keyboard
// shortcuts run it where no display may be reachable, and quickly.
int control(int argc, char** argv, const QJsonObject& request)
{
    QCoreApplication app(argc, argv);
    QString why;
    const std::optional<QString> directory = runtime_folder::find(&why);
    const instance::Reply reply = directory ? instance::ask(*directory, request) : instance::Reply{};
    if (!reply.reached) {
        print(stderr, QStringLiteral("ravlet: no running Ravlet answered%1\n").arg(why.isEmpty() ? QString()
                                                                                              : QStringLiteral(" (") + why + QLatin1Char(')')));
        return cli::kNotRunning;
    }
    if (!reply.warning.isEmpty())
        print(stderr, QStringLiteral("ravlet: ") + reply.warning + QLatin1Char('\n'));
    if (!reply.ok) {
        print(stderr, QStringLiteral("ravlet: ") + reply.text + QLatin1Char('\n'));
        return cli::kRefused;
    }
    print(stdout, reply.text);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    shareMallocArenas();
    if (const std::optional<int> status = system_seams::runHelper(argc, argv))
        return *status;
    const cli::Invocation invocation = cli::parseArguments(arguments(argc, argv), QStringLiteral(RAVLET_VERSION));
    switch (invocation.kind) {
    case cli::Invocation::Kind::Help:
    case cli::Invocation::Kind::Version:
        print(stdout, invocation.text);
        return 0;
    case cli::Invocation::Kind::UsageError:
        print(stderr, QStringLiteral("ravlet: ") + invocation.text + QLatin1Char('\n'));
        return cli::kUsage;
    case cli::Invocation::Kind::Control:
        return control(argc, argv, invocation.request);
    case cli::Invocation::Kind::Mixer:
        break;
    }

    const QByteArray platform = preferredPlatform(QProcessEnvironment::systemEnvironment());
    if (!platform.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", platform);
        print(stderr, QStringLiteral("[ravlet] a Wayland session: the popover runs through XWayland, so that it opens "
                                     "at the tray item\n"));
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ravlet"));
    QApplication::setApplicationVersion(QStringLiteral(RAVLET_VERSION));
    // An accessory: closing the popover must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    // Settled before the engine and the audio server connection exist, so
    // that a second start costs little. The handler is set once they do.
    instance::Handler handler;
    instance::Server server([&handler](const QJsonObject& request) {
        return handler ? handler(request) : instance::answer(false, QStringLiteral("Ravlet is still starting"));
    });
    QString why;
    if (const std::optional<QString> directory = runtime_folder::find(&why)) {
        switch (server.claim(*directory)) {
        case instance::Server::Claim::OtherRunning: {
            const instance::Reply reply = instance::ask(*directory, {{QStringLiteral("command"), QStringLiteral("open")}});
            if (reply.reached)
                return 0;
            // It runs, busy or short of descriptors: a second mixer would fight it.
            system_seams::note(QStringLiteral("[ravlet] a running Ravlet did not answer; not starting another"));
            return 1;
        }
        case instance::Server::Claim::Unreachable:
            system_seams::note(QStringLiteral("[ravlet] %1; not starting another").arg(server.errorString()));
            return 1;
        case instance::Server::Claim::Failed:
            system_seams::note(QStringLiteral("[ravlet] cannot listen for other starts: %1").arg(server.errorString()));
            break;
        case instance::Server::Claim::Listening:
            break;
        }
    } else {
        system_seams::note(QStringLiteral("[ravlet] cannot listen for other starts: %1").arg(why));
    }

    // The built-in scene on request; otherwise the desktop's own sound.
    QString recordingError;
    const std::unique_ptr<AudioBackend> backend = invocation.demo
        ? AudioBackend::demo(invocation.recordOutput, &recordingError)
        : AudioBackend::system();
    if (!backend) {
        print(stderr, QStringLiteral("ravlet: cannot record to %1: %2\n").arg(invocation.recordOutput, recordingError));
        return 1;
    }
    const std::unique_ptr<UserDefaults> defaults = system_seams::userDefaults();
    AppDelegate delegate(EnginePlatform{backend->hardware(), backend->processes(), *defaults});
    ControlCommands commands(delegate.engine(), backend->hardware(), [&delegate] {
        system_seams::note(QStringLiteral("[ravlet] another start asked to open the popover"));
        delegate.openPopover();
    });
    handler = [&commands](const QJsonObject& request) { return commands.handle(request); };
    // A quit waits for an update's bundle swap, or its rollback, to finish.
    QObject::connect(&delegate, &AppDelegate::quitRequested, &app, [] { InAppUpdater::shared().quitWhenSafe(); },
                     Qt::QueuedConnection);
    // Logout and shutdown quit as the power button does.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, &delegate, &AppDelegate::quitRequested);

    // Asked now, so that the answer is usually in before the popover opens.
    Appearance appearance;

    NoUpdateOffered noUpdate;
    QTimer::singleShot(0, &delegate, [&delegate, &appearance, &noUpdate] {
        delegate.applicationDidFinishLaunching(
            [&noUpdate]() -> UpdateServices {
                const auto cleanupLeftovers = [] { InAppUpdater::shared().cleanupLeftovers(); };
                if (!system_seams::offersUpdates(InAppUpdater::shared().bundlePath())) {
                    system_seams::note(QStringLiteral("[ravlet] not signed for release: no updates are offered"));
                    return {&noUpdate, cleanupLeftovers, {}};
                }
                return UpdateServices{
                    &UpdateChecker::shared(),
                    cleanupLeftovers,
#if defined(__APPLE__)
                    [](const QString& url, const QString& version) { InAppUpdater::shared().startUpdate(url, version); },
#else
                    // The package manager installs updates: the disk image is the Mac's.
                    [](const QString&, const QString&) { InAppUpdater::shared().openDownloadPage(); },
#endif
                };
            },
            [] { return system_seams::statusItem(statusIcon(), QStringLiteral("Ravlet")); });
        delegate.followAppearance(appearance);
    });
    const int status = app.exec();
    handler = nullptr;
    return status;
}
