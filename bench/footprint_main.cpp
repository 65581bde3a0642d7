// What Ravlet costs while it sits in the tray, with ten applications playing
// and tapped: CPU over a minute with the popover closed, with it open and
// closed again after its openings, per thread from /proc/self/task/*/schedstat (nanoseconds on a CPU), how
// long a click on the tray item takes to bring the popover on screen, and
// resident memory after start, after the first opening and after many
// openings (a leak shows as growth). Run under a display (scripts/footprint).
//
// Usage: ravlet-footprint [--pipewire] [--untouched] [--seconds N] [--cycles N] [--starts N] [--busy N]
//   --pipewire  on a private PipeWire session with ten players, instead of
//               the simulated hardware (whose I/O thread, the stand-in for
//               the audio server, is then left out of Ravlet's figures)
//               and the daemon, session manager and PulseAudio server's CPU
//               beside Ravlet's
//   --untouched every application left at 100 %: the open popover listens to
//               all but one instead of mixing them
//   --seconds   length of each CPU phase (default 60)
//   --cycles    open/close cycles of the leak check, one a second (default 600)
//   --starts    program starts timed for the first opening (default 20)
//   --busy      runs N processes that keep a core busy each (`yes`) for the
//               whole run: the openings of a machine under load

#include "app_delegate.h"
#include "event_pump.h"
#include "linux_process_inspector.h"
#include "malloc_arenas.h"
#include "memory_user_defaults.h"
#include "no_update_offered.h"
#include "pipewire_audio_hardware.h"
#include "pipewire_connection.h"
#include "pipewire_session.h"
#include "renderer_choice.h"
#include "support/simulated_scene.h"
#include "test_player_process.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cstdio>
#include <list>
#include <map>
#include <unistd.h>

namespace {

constexpr int kApplications = 10;

class AnchorOnly final : public StatusItem {
public:
    QRect geometry() const override { return {1200, 0, 24, 24}; }
    void click() { emit clicked(); }
};

// Waits on the event loop itself, so that the waiting costs nothing.
void idle(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

int option(const QStringList& arguments, const QString& name, int fallback)
{
    const qsizetype at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? std::max(0, arguments.at(at + 1).toInt()) : fallback;
}

// ---- CPU, per thread ----

// The CPU time a process has used so far (user and system), in nanoseconds.
double processNs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which may hold spaces and brackets.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    const double ticks = fields[11].toDouble() + fields[12].toDouble();
    return ticks * 1e9 / double(sysconf(_SC_CLK_TCK));
}

struct Thread {
    QString name;
    quint64 nanoseconds = 0;
};
using Threads = std::map<pid_t, Thread>;

Threads threads()
{
    Threads all;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (!schedstat.open(QIODevice::ReadOnly) || !comm.open(QIODevice::ReadOnly))
            continue;
        all[pid_t(task.toInt())] = {QString::fromUtf8(comm.readAll()).trimmed(),
                                    schedstat.readAll().split(' ').value(0).toULongLong()};
    }
    return all;
}

QString percent(double nanoseconds, double wallNanoseconds)
{
    return QStringLiteral("%1 %").arg(100.0 * nanoseconds / wallNanoseconds, 0, 'f', 3);
}

// The program's own threads on one line, the stand-in for the audio server
// and (on PipeWire) the real-time mix each on their own, then the busiest
// threads by name.
void reportCpu(const QString& what, int seconds, const QString& excludedName, pid_t mixThread,
               const std::vector<qint64>& servers = {})
{
    std::vector<double> serversBefore;
    for (const qint64 pid : servers)
        serversBefore.push_back(processNs(pid));
    const Threads before = threads();
    QElapsedTimer wall;
    wall.start();
    idle(seconds * 1000);
    const Threads after = threads();
    const double wallNs = double(wall.nsecsElapsed());

    double own = 0, excluded = 0, mix = 0;
    std::map<QString, double> byName;
    for (const auto& [tid, thread] : after) {
        const auto start = before.find(tid);
        const double used = double(thread.nanoseconds - (start == before.end() ? 0 : start->second.nanoseconds));
        if (tid == mixThread)
            mix += used;
        else if (!excludedName.isEmpty() && thread.name == excludedName)
            excluded += used;
        else {
            own += used;
            byName[thread.name] += used;
        }
    }
    std::printf("cpu, %s (%d s): %s of one core, Ravlet's own threads\n", qPrintable(what), seconds,
                qPrintable(percent(own, wallNs)));
    if (mixThread)
        std::printf("  the mix on PipeWire's real-time thread: %s\n", qPrintable(percent(mix, wallNs)));
    if (!excludedName.isEmpty())
        std::printf("  the simulated hardware's I/O thread (not counted): %s\n", qPrintable(percent(excluded, wallNs)));
    std::vector<std::pair<double, QString>> busiest;
    for (const auto& [name, used] : byName)
        busiest.emplace_back(used, name);
    std::sort(busiest.rbegin(), busiest.rend());
    QStringList parts;
    for (std::size_t i = 0; i < std::min<std::size_t>(busiest.size(), 4); ++i)
        parts.append(QStringLiteral("%1 %2").arg(busiest[i].second, percent(busiest[i].first, wallNs)));
    std::printf("  by thread: %s\n", qPrintable(parts.join(QStringLiteral(", "))));
    if (!servers.empty()) {
        // The audio server's side of the same seconds: the daemon, the
        // session manager and the PulseAudio server.
        double used = 0;
        for (std::size_t i = 0; i < servers.size(); ++i)
            used += processNs(servers[i]) - serversBefore[i];
        std::printf("  the audio servers: %s; the whole system (they, Ravlet and its mix): %s\n",
                    qPrintable(percent(used, wallNs)), qPrintable(percent(used + own + mix, wallNs)));
    }
    std::fflush(stdout);
}

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0;
}

// ---- opening ----

// From the click's arrival at the tray item to the first frame of the
// popover handed to the window system; -1 when none came within 5 s.
double openingMs(AppDelegate& delegate, AnchorOnly& item)
{
    QEventLoop loop;
    QElapsedTimer clock;
    double ms = -1;
    const auto connection = QObject::connect(&delegate.popover()->window(), &QQuickWindow::frameSwapped, &loop, [&] {
        ms = double(clock.nsecsElapsed()) / 1e6;
        loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    clock.start();
    item.click();
    loop.exec();
    QObject::disconnect(connection);
    return ms;
}

QString medianAndWorst(std::vector<double> ms)
{
    if (ms.empty())
        return QStringLiteral("not measured");
    std::sort(ms.begin(), ms.end());
    const double median = ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
    return QStringLiteral("median %1 ms, worst %2 ms (of %3)")
        .arg(median, 0, 'f', 1)
        .arg(ms.back(), 0, 'f', 1)
        .arg(ms.size());
}

// Processes that each take a core, as `yes > /dev/null` does, ended with
// the run.
class BusyCores {
public:
    explicit BusyCores(int count)
    {
        for (int i = 0; i < count; ++i) {
            auto& process = *m_processes.emplace_back(std::make_unique<QProcess>());
            process.setStandardOutputFile(QProcess::nullDevice());
            process.start(QStringLiteral("yes"), {});
        }
    }
    ~BusyCores()
    {
        for (auto& process : m_processes) {
            process->kill();
            process->waitForFinished();
        }
    }

private:
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

// ---- what Ravlet runs on ----

struct Simulated {
    SimulatedScene scene{false};
    NoUpdateOffered noUpdate;

    Simulated()
    {
        for (int i = 0; i < kApplications; ++i)
            scene.addApp(QStringLiteral("Player %1").arg(i), 2000 + i,
                         SimulatedAudioHardware::Signal::sine(220.0f * float(i + 1), 0.3f));
    }
    EnginePlatform platform() { return {scene.hardware, scene.processes, scene.defaults, scene.diagPath()}; }
};

struct OnPipeWire {
    PipeWireSession session;
    std::list<TestPlayer> players;
    std::unique_ptr<PipeWireConnection> connection;
    std::unique_ptr<PipeWireAudioHardware> hardware;
    LinuxProcessInspector inspector;
    MemoryUserDefaults defaults;

    bool start()
    {
        if (!session.start()) {
            std::fprintf(stderr, "could not start a PipeWire session:\n%s\n", qPrintable(session.errorString()));
            return false;
        }
        session.applyToThisProcess();
        for (int i = 0; i < kApplications; ++i) {
            PlayerOptions options;
            options.name = QStringLiteral("player-%1").arg(i);
            options.executableName = options.name;
            options.frequency = 220.0 * (i + 1);
            options.amplitude = 0.1;
            if (!players.emplace_back(session).start(options)) {
                std::fprintf(stderr, "could not start player %d\n", i);
                return false;
            }
        }
        connection = std::make_unique<PipeWireConnection>();
        hardware = std::make_unique<PipeWireAudioHardware>(*connection, inspector);
        return true;
    }
    EnginePlatform platform() { return {*hardware, inspector, defaults, session.rootDir() + QStringLiteral("/diag.log")}; }

    pid_t dataThread() const { return connection->dataThread(); }
};

std::unique_ptr<AppDelegate> launch(const EnginePlatform& platform, NoUpdateOffered& noUpdate, AnchorOnly*& item)
{
    auto delegate = std::make_unique<AppDelegate>(platform);
    delegate->applicationDidFinishLaunching([&] { return UpdateServices{&noUpdate, {}, {}}; }, [&] {
        auto made = std::make_unique<AnchorOnly>();
        item = made.get();
        return made;
    });
    return delegate;
}

// A program start of its own for each first opening, after a second's rest.
int firstOpeningOnly()
{
    Simulated simulated;
    AnchorOnly* item = nullptr;
    const auto delegate = launch(simulated.platform(), simulated.noUpdate, item);
    idle(1000);
    std::printf("%.3f\n", openingMs(*delegate, *item));
    return 0;
}

std::vector<double> timeFirstOpenings(int starts)
{
    std::vector<double> ms;
    for (int i = 0; i < starts; ++i) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--first-opening")});
        if (!child.waitForFinished(30000))
            child.kill();
        bool ok = false;
        const double value = child.readAllStandardOutput().trimmed().toDouble(&ok);
        if (ok && value >= 0)
            ms.push_back(value);
    }
    return ms;
}

} // namespace

int main(int argc, char** argv)
{
    shareMallocArenas();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList arguments = app.arguments();
    if (arguments.contains(QStringLiteral("--first-opening")))
        return firstOpeningOnly();
    const bool pipeWire = arguments.contains(QStringLiteral("--pipewire"));
    const int phaseSeconds = std::max(1, option(arguments, QStringLiteral("--seconds"), 60));
    const int cycles = option(arguments, QStringLiteral("--cycles"), 600);
    const int starts = option(arguments, QStringLiteral("--starts"), 20);
    const int busy = option(arguments, QStringLiteral("--busy"), 0);
    const BusyCores busyCores(busy);

    // The first openings are timed in fresh programs before this one starts
    // its own scene, so that they do not run beside it.
    const std::vector<double> firstOpenings = pipeWire ? std::vector<double>{} : timeFirstOpenings(starts);

    std::unique_ptr<Simulated> simulated;
    std::unique_ptr<OnPipeWire> onPipeWire;
    NoUpdateOffered noUpdate;
    AnchorOnly* item = nullptr;
    std::unique_ptr<AppDelegate> delegate;
    if (pipeWire) {
        onPipeWire = std::make_unique<OnPipeWire>();
        if (!onPipeWire->start())
            return 1;
        delegate = launch(onPipeWire->platform(), noUpdate, item);
        const bool listed = pumpUntil([&] {
            delegate->engine().refresh();
            return delegate->engine().apps().size() >= kApplications;
        }, 15000);
        if (!listed) {
            std::fprintf(stderr, "Ravlet did not list the %d players within 15 s\n", kApplications);
            return 1;
        }
    } else {
        simulated = std::make_unique<Simulated>();
        delegate = launch(simulated->platform(), noUpdate, item);
    }
    RavletEngine& engine = delegate->engine();
    // Every row active and metered: each application away from unity gain;
    // or, with --untouched, left at 100 %, so that the open popover only
    // listens to all but the one kept at hand.
    const bool untouched = arguments.contains(QStringLiteral("--untouched"));
    for (const AudioApp& a : engine.apps())
        engine.setGain(a.id, untouched ? 1.0f : 0.8f);
    // The daemon, the session manager and the PulseAudio server (not the bus).
    std::vector<qint64> servers = onPipeWire ? onPipeWire->session.pids() : std::vector<qint64>{};
    if (!servers.empty())
        servers.erase(servers.begin());
    idle(2000);
    const double startRss = residentMiB();
    const pid_t mixThread = onPipeWire ? onPipeWire->dataThread() : 0;
    const QString excluded = simulated ? QStringLiteral("sim-audio-io") : QString();

    std::printf("%s, %lld applications playing, %lld tapped%s\n",
                pipeWire ? "on a private PipeWire session" : "on the simulated hardware",
                static_cast<long long>(engine.apps().size()), static_cast<long long>(engine.activeIDs().size()),
                busy ? qPrintable(QStringLiteral(", %1 processes keeping a core busy each").arg(busy)) : "");
    std::fflush(stdout);
    reportCpu(QStringLiteral("popover closed"), phaseSeconds, excluded, mixThread, servers);

    std::vector<double> laterOpenings;
    const double firstHere = openingMs(*delegate, *item);
    std::printf("renderer: %s\n", qPrintable(rendererName(delegate->popover()->window())));
    idle(1000);
    const double openedRss = residentMiB();
    reportCpu(QStringLiteral("popover open on %1 rows, %2 of them only listened to")
                  .arg(engine.displayApps().size())
                  .arg(engine.meteredIDs().size()),
              phaseSeconds, excluded, mixThread, servers);
    delegate->togglePopover();

    for (int i = 0; i < cycles; ++i) {
        idle(500);
        const double ms = openingMs(*delegate, *item);
        if (i < starts && ms >= 0)
            laterOpenings.push_back(ms);
        idle(500);
        delegate->togglePopover();
    }
    // Closed again: what opening it left behind (listening, timers) must
    // have gone with it.
    idle(2000);
    reportCpu(QStringLiteral("popover closed again after %1 openings").arg(cycles + 1), phaseSeconds, excluded,
              mixThread, servers);
    if (pipeWire)
        std::printf("first opening: %.1f ms (one start)\n", firstHere);
    else
        std::printf("first opening, from the click to the first frame: %s\n", qPrintable(medianAndWorst(firstOpenings)));
    std::printf("later openings: %s\n", qPrintable(medianAndWorst(laterOpenings)));
    std::printf("resident memory after start: %.1f MiB\n", startRss);
    std::printf("resident memory after the first opening: %.1f MiB\n", openedRss);
    std::printf("resident memory after %d open/close cycles: %.1f MiB\n", cycles, residentMiB());
    return 0;
}
