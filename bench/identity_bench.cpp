// Naming Linux applications during a refresh: a stand-in /proc tree and 500
// installed desktop entries; n audio processes across n / 5 applications,
// each application's four helpers found through their parent. Warm: the
// 1.5 s tick with every answer cached; cold: the first refresh, the entries
// read and every process traced.

#include "linux_process_inspector.h"
#include "support/simulated_scene.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

constexpr int kInstalledEntries = 500;
constexpr int kProcessesPerApp = 5;

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

struct DesktopSystem {
    QTemporaryDir dir;
    SimulatedScene scene;

    explicit DesktopSystem(int processes)
    {
        const QString apps = dir.filePath(QStringLiteral("applications"));
        QDir().mkpath(apps);
        for (int i = 0; i < kInstalledEntries; ++i) {
            writeFile(apps + QStringLiteral("/org.example.App%1.desktop").arg(i),
                      QStringLiteral("[Desktop Entry]\nType=Application\nName=App %1\nName[de]=Anwendung %1\n"
                                     "Comment=Does things\nIcon=org.example.App%1\nExec=env A=1 app%1 %U\n"
                                     "Categories=AudioVideo;Player;\nMimeType=audio/ogg;audio/mpeg;\n")
                          .arg(i).toUtf8());
        }
        addProcess(1, 0, QStringLiteral("/usr/lib/systemd/systemd"));
        for (int pid = 1000; pid < 1000 + processes; ++pid) {
            const int app = (pid - 1000) / kProcessesPerApp;
            const bool main = (pid - 1000) % kProcessesPerApp == 0;
            const int parent = main ? 1 : 1000 + app * kProcessesPerApp;
            addProcess(pid, parent, main ? QStringLiteral("/usr/bin/app%1").arg(app) : QStringLiteral("/usr/lib/helper"));
            scene.hardware.setProcessClientFacts(scene.hardware.addProcess(pid),
                                                 {QStringLiteral("App %1").arg(app), QStringLiteral("app%1").arg(app), {}});
        }
    }

    void addProcess(int pid, int parent, const QString& exe)
    {
        const QString base = dir.filePath(QStringLiteral("proc/%1/").arg(pid));
        QDir().mkpath(base);
        writeFile(base + QStringLiteral("stat"),
                  QStringLiteral("%1 (x) S %2 1 1 0 -1 4194560 1 0 0 0 3 1 0 0 20 0 1 0 %3 1 1 0").arg(pid).arg(parent).arg(pid).toUtf8());
        QFile::link(exe, base + QStringLiteral("exe"));
        writeFile(base + QStringLiteral("cmdline"), exe.toUtf8() + '\0');
        writeFile(base + QStringLiteral("cgroup"), "0::/user.slice/session-2.scope\n");
    }

    LinuxProcessInspector::Roots roots() const
    {
        return {dir.filePath(QStringLiteral("proc")).toUtf8(), {dir.filePath(QStringLiteral("applications"))},
                QStringLiteral("de_DE.UTF-8"), 1000};
    }
};

void BM_LinuxRefreshWarm(benchmark::State& st)
{
    DesktopSystem system(int(st.range(0)));
    LinuxProcessInspector inspector(system.roots());
    RavletEngine engine(EnginePlatform{system.scene.hardware, inspector, system.scene.defaults, system.scene.diagPath()});
    engine.appTimer().stop();
    engine.meterTimer().stop();
    if (engine.apps().size() != st.range(0) / kProcessesPerApp)
        st.SkipWithError("not every application was named");
    for (auto _ : st)
        engine.refresh();
}
BENCHMARK(BM_LinuxRefreshWarm)->Arg(50)->Arg(200)->Arg(800)->Unit(benchmark::kMicrosecond);

void BM_LinuxRefreshCold(benchmark::State& st)
{
    DesktopSystem system(int(st.range(0)));
    for (auto _ : st) {
        LinuxProcessInspector inspector(system.roots());
        RavletEngine engine(EnginePlatform{system.scene.hardware, inspector, system.scene.defaults, system.scene.diagPath()});
        if (engine.apps().size() != st.range(0) / kProcessesPerApp)
            st.SkipWithError("not every application was named");
    }
}
BENCHMARK(BM_LinuxRefreshCold)->Arg(50)->Arg(200)->Arg(800)->Unit(benchmark::kMillisecond);

} // namespace
