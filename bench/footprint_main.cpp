// What Ravlet costs while it sits in the tray: CPU over a minute with the
// popover closed and with it open on ten active rows, and resident memory
// after start and after the popover has opened and closed once a second for
// a while (a leak shows as growth). Run under a display (scripts/footprint).
// Usage: ravlet-footprint [seconds per CPU phase = 60] [open/close cycles = 600]

#include "app_delegate.h"
#include "no_update_offered.h"
#include "support/simulated_scene.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace {

class AnchorOnly final : public StatusItem {
public:
    QRect geometry() const override { return {1200, 0, 24, 24}; }
};

void run(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

struct CpuSeconds {
    double total = 0;
    double simulatedHardware = 0;   // the stand-in for the system's audio server
};

// Per-thread CPU from /proc, so that the simulated hardware's I/O thread can
// be told apart from the program itself.
CpuSeconds cpuSeconds()
{
    CpuSeconds seconds;
    const double tick = double(sysconf(_SC_CLK_TCK));
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(task + QStringLiteral("/stat")));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        const QByteArray name = line.mid(line.indexOf('(') + 1, close - line.indexOf('(') - 1);
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() < 13)
            continue;
        const double used = (fields[11].toDouble() + fields[12].toDouble()) / tick;
        seconds.total += used;
        if (name == "sim-audio-io")
            seconds.simulatedHardware += used;
    }
    return seconds;
}

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0;
}

void reportCpu(const char* what, int seconds)
{
    const CpuSeconds before = cpuSeconds();
    run(seconds * 1000);
    const CpuSeconds after = cpuSeconds();
    const double total = 100.0 * (after.total - before.total) / seconds;
    const double simulated = 100.0 * (after.simulatedHardware - before.simulatedHardware) / seconds;
    std::printf("cpu, %s (%d s): %.2f %% of one core; %.2f %% without the simulated hardware's I/O thread\n", what,
                seconds, total, total - simulated);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const int phaseSeconds = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
    const int cycles = argc > 2 ? std::max(0, atoi(argv[2])) : 600;

    SimulatedScene scene(false);
    QStringList ids;
    for (int i = 0; i < 10; ++i)
        ids.append(scene.addApp(QStringLiteral("Player %1").arg(i), 2000 + i,
                                SimulatedAudioHardware::Signal::sine(220.0f * float(i + 1), 0.3f)));
    NoUpdateOffered noUpdate;
    AppDelegate delegate(EnginePlatform{scene.hardware, scene.processes, scene.defaults, scene.diagPath()});
    delegate.applicationDidFinishLaunching([&] { return UpdateServices{&noUpdate, {}, {}}; },
                                           [] { return std::make_unique<AnchorOnly>(); });
    // Every row active and metered: each application away from unity gain.
    for (const QString& id : ids)
        delegate.engine().setGain(id, 0.8f);
    run(1000);
    const double startRss = residentMiB();

    std::printf("tapped applications: %lld\n", static_cast<long long>(delegate.engine().activeIDs().size()));
    reportCpu("popover closed", phaseSeconds);
    delegate.togglePopover();
    reportCpu(qPrintable(QStringLiteral("popover open on %1 rows").arg(delegate.engine().displayApps().size())),
              phaseSeconds);
    delegate.togglePopover();

    for (int i = 0; i < cycles; ++i) {
        delegate.togglePopover();
        run(500);
        delegate.togglePopover();
        run(500);
    }
    std::printf("resident memory after start: %.1f MiB\n", startRss);
    std::printf("resident memory after %d open/close cycles: %.1f MiB\n", cycles, residentMiB());
    return 0;
}

