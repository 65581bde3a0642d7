// Ravlet on a real PipeWire daemon, for a machine that has no display or no
// sound of its own: a private session, players as the applications of the
// built-in scene (each with its desktop entry and icon), Ravlet itself on
// that session, the popover saved as PNG files in its typical states, and
// what the speakers then play, measured against what Ravlet was told.
// Exits non-zero when a screenshot cannot be saved or a level is off.
//
// Usage: ravlet-live-tour [output directory]   (on a display, even a virtual one)

#include "app_delegate.h"
#include "event_pump.h"
#include "linux_process_inspector.h"
#include "memory_user_defaults.h"
#include "monitor_recorder.h"
#include "no_update_offered.h"
#include "pipewire_audio_hardware.h"
#include "pipewire_session.h"
#include "screenshot_tour.h"
#include "signal_fit.h"
#include "status_icon.h"
#include "test_player_process.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <future>
#include <list>

namespace {

// The built-in scene's applications, each with the tone it plays there.
// The browser's sound there is a tone and a pattern; here only the tone,
// so that every level can be measured.
struct TourApp {
    QString name;
    QString program;     // the player's copy, which its entry names
    QString bundledIcon; // the popover's own picture of it; empty: the grey tile
    QString api;         // desktops mix both
    double frequency;
    double amplitude;

    QString id() const { return program + QStringLiteral(".desktop"); }
    QString iconName() const { return QStringLiteral("ravlet-tour-") + program; }
};

const QList<TourApp> kApps = {
    {QStringLiteral("Music"), QStringLiteral("music"), QStringLiteral("Music"), QStringLiteral("pipewire"), 440.0, 0.45},
    {QStringLiteral("Browser"), QStringLiteral("browser"), QStringLiteral("Browser"), QStringLiteral("pulse"), 880.0, 0.15},
    {QStringLiteral("Chat"), QStringLiteral("chat"), QStringLiteral("Chat"), QStringLiteral("pulse"), 330.0, 0.25},
    {QStringLiteral("Voice Notes"), QStringLiteral("voice-notes"), {}, QStringLiteral("pipewire"), 523.25, 0.2},
};
const TourApp& kMusic = kApps[0];
const TourApp& kChat = kApps[2];
const TourApp& kNotes = kApps[3];

// A tone within this share of its due level passes; a muted one must be
// below kSilentDb.
constexpr double kTolerance = 0.02;
constexpr double kSilentDb = -60.0;
constexpr int kRecordMs = 1000;

bool writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) == contents.size();
}

// Installs each application the way a package would: its entry, and its
// icon in the theme every desktop falls back to.
bool installApplications(const QString& dataHome)
{
    for (const TourApp& app : kApps) {
        QByteArray entry = "[Desktop Entry]\nType=Application\nName=" + app.name.toUtf8() + "\nExec="
            + app.program.toUtf8() + "\n";
        if (!app.bundledIcon.isEmpty()) {
            QFile icon(QStringLiteral(":/qt/qml/Ravlet/Popover/appicons/%1.svg").arg(app.bundledIcon));
            if (!icon.open(QIODevice::ReadOnly)
                || !writeFile(dataHome + QStringLiteral("/icons/hicolor/scalable/apps/%1.svg").arg(app.iconName()),
                              icon.readAll()))
                return false;
            entry += "Icon=" + app.iconName().toUtf8() + "\n";
        }
        if (!writeFile(dataHome + QStringLiteral("/applications/") + app.id(), entry))
            return false;
    }
    return true;
}

// What the speakers play, recorded while the engine's connection keeps
// answering the daemon, as it does in the program.
std::vector<float> record(const PipeWireSession& session, int milliseconds, QString* error)
{
    auto recording = std::async(std::launch::async, [&] {
        return recordMonitor(session, QStringLiteral("speakers"), milliseconds, error);
    });
    return pumpUntilReady(recording);
}

struct Level {
    double due;      // what the speakers should carry
    double measured;
    bool muted;
    bool ok() const
    {
        return muted ? amplitudeDb(measured) < kSilentDb : std::abs(measured - due) <= kTolerance * due;
    }
};

std::vector<Level> levels(const RavletEngine& engine, const std::vector<float>& samples)
{
    std::vector<double> frequencies;
    for (const TourApp& app : kApps)
        frequencies.push_back(app.frequency);
    const SineFit fit = fitAmplitudes(samples, 0, frequencies);
    std::vector<Level> result;
    for (qsizetype i = 0; i < kApps.size(); ++i) {
        const bool muted = engine.mutes().value(kApps[i].id(), false);
        const double gain = engine.gains().value(kApps[i].id(), 1.0f);
        result.push_back({muted ? 0.0 : kApps[i].amplitude * gain, fit.amplitudes[size_t(i)], muted});
    }
    return result;
}

// Waits for the mix to carry the latest settings (a change of taps takes a
// few hundred milliseconds), then records a second of it and prints each
// application's level beside what it plays and what Ravlet was told.
bool measure(const PipeWireSession& session, const RavletEngine& engine)
{
    QString error;
    const auto allOk = [&] {
        const std::vector<float> samples = record(session, 300, &error);
        if (samples.empty())
            return false;
        const std::vector<Level> found = levels(engine, samples);
        return std::all_of(found.begin(), found.end(), [](const Level& level) { return level.ok(); });
    };
    pumpUntil(allOk, 10000);

    // A busy machine may drop a cycle of a recording now and then, which
    // lowers every tone in it: a few tries, and the last one counts.
    std::vector<Level> found;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::vector<float> samples = record(session, kRecordMs, &error);
        if (samples.empty()) {
            std::fprintf(stderr, "could not record the speakers: %s\n", qPrintable(error));
            return false;
        }
        found = levels(engine, samples);
        if (std::all_of(found.begin(), found.end(), [](const Level& level) { return level.ok(); }))
            break;
    }
    std::printf("\nWhat the speakers play (%d ms recorded from their monitor):\n", kRecordMs);
    bool ok = true;
    for (qsizetype i = 0; i < kApps.size(); ++i) {
        const TourApp& app = kApps[i];
        const Level& level = found[size_t(i)];
        const QString told = level.muted ? QStringLiteral("muted")
                                         : QStringLiteral("at %1 %").arg(qRound(engine.gains().value(app.id(), 1.0f) * 100));
        std::printf("  %-12s %4.0f Hz  measured %.3f  plays %.3f  %s%s\n", qPrintable(app.name), app.frequency,
                    level.measured, app.amplitude, qPrintable(told),
                    level.ok() ? "" : qPrintable(QStringLiteral("  <- should be %1").arg(level.due, 0, 'f', 3)));
        ok = ok && level.ok();
    }
    std::printf("\n");
    std::fflush(stdout);
    if (!ok)
        std::fprintf(stderr, "a level is off by more than %.0f %% of what it should be\n", kTolerance * 100);
    return ok;
}

bool listed(const RavletEngine& engine, const TourApp& app)
{
    return std::any_of(engine.apps().begin(), engine.apps().end(), [&](const AudioApp& a) { return a.id == app.id(); });
}

} // namespace

int main(int argc, char** argv)
{
    // The display is opened here, before the session's environment, which
    // leads nothing else to it, takes over.
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const std::optional<QDir> out = screenshotFolder(argc, argv);
    if (!out)
        return 1;

    PipeWireSession session;
    if (!session.start()) {
        std::fprintf(stderr, "could not start a PipeWire session:\n%s\n", qPrintable(session.errorString()));
        return 1;
    }
    // Before any PipeWire context, and before the popover reads the icon
    // theme's folders.
    session.applyToThisProcess();
    if (!installApplications(session.environment().value(QStringLiteral("XDG_DATA_HOME")))) {
        std::fprintf(stderr, "could not install the applications' entries in %s\n", qPrintable(session.rootDir()));
        return 1;
    }

    std::list<TestPlayer> players;
    for (const TourApp& tourApp : kApps) {
        PlayerOptions options;
        options.api = tourApp.api;
        options.name = tourApp.name;
        options.executableName = tourApp.program;
        options.frequency = tourApp.frequency;
        options.amplitude = tourApp.amplitude;
        if (!players.emplace_back(session).start(options)) {
            std::fprintf(stderr, "could not start the %s player\n", qPrintable(tourApp.name));
            return 1;
        }
    }
    TestPlayer& musicPlayer = players.front();

    std::printf("Ravlet on a private PipeWire session, where %s, %s, %s and %s play:\n", qPrintable(kApps[0].name),
                qPrintable(kApps[1].name), qPrintable(kApps[2].name), qPrintable(kApps[3].name));
    std::fflush(stdout);

    PipeWireConnection connection;
    LinuxProcessInspector inspector;
    PipeWireAudioHardware hardware(connection, inspector);
    MemoryUserDefaults defaults;
    NoUpdateOffered noUpdate;
    AppDelegate delegate(EnginePlatform{hardware, inspector, defaults, session.rootDir() + QStringLiteral("/ravlet-diag.log")});
    delegate.applicationDidFinishLaunching([&] { return UpdateServices{&noUpdate, {}, {}}; },
                                           [] { return StatusItem::create(statusIcon(), QStringLiteral("Ravlet")); });
    RavletEngine& engine = delegate.engine();

    const bool allListed = pumpUntil(
        [&] {
            engine.refresh();
            return std::all_of(kApps.begin(), kApps.end(), [&](const TourApp& a) { return listed(engine, a); });
        },
        15000);
    if (!allListed) {
        QStringList seen;
        for (const AudioApp& a : engine.apps())
            seen.append(a.id);
        std::fprintf(stderr, "Ravlet did not list every player within 15 s; it lists: %s%s\n",
                     qPrintable(seen.join(QStringLiteral(", "))),
                     engine.supported() ? "" : qPrintable(QStringLiteral(" (") + engine.unsupportedText() + QStringLiteral(")")));
        return 1;
    }

    ScreenshotTour tour{kChat.id(), kNotes.id(), kMusic.id(), [&] {
        musicPlayer.stop();
        pumpUntil([&] { engine.refresh(); return !listed(engine, kMusic); }, 5000);
    }};
    // One application half as loud beside the muted one.
    tour.whileMuted = [&] {
        engine.setGain(kNotes.id(), 0.5f);
        return measure(session, engine);
    };
    const int failures = runScreenshotTour(delegate, *out, tour);
    std::printf("The screenshots are in %s\n", qPrintable(out->path()));
    return failures == 0 ? 0 : 1;
}
