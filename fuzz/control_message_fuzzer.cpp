// libFuzzer target: one message arriving on the control channel, as any
// program of the user's may send it, parsed and carried out against a
// simulated system (two applications, two output devices), no socket
// involved. Besides not crashing, every message gets an answer that says
// whether it was carried out, and no message leaves a volume outside what a
// row can show.

#include "control_commands.h"
#include "engine.h"
#include "instance_channel.h"
#include "memory_user_defaults.h"
#include "simulated_audio_hardware.h"
#include "simulated_process_inspector.h"
#include "system_log.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct System {
    SimulatedAudioHardware hardware;
    SimulatedProcessInspector processes;
    MemoryUserDefaults defaults;
    QTemporaryDir dir;
    std::unique_ptr<RavletEngine> engine;
    std::unique_ptr<ControlCommands> commands;
    int opened = 0;

    System()
    {
        hardware.setManualClock(true);
        processes.setCurrentPid(500);
        const AudioObjectID speakers = hardware.addDevice({QStringLiteral("Speakers"), QStringLiteral("speakers-uid"), {2}, {}, 0.5f, false});
        hardware.addDevice({QStringLiteral("USB Headphones"), QStringLiteral("usb-uid"), {2}, {}, {}, false});
        hardware.setDefaultOutputDevice(speakers);
        int pid = 101;
        for (const char* name : {"Music", "Chat"}) {
            processes.addProcess(pid, QStringLiteral("/Applications/%1.app/Contents/MacOS/%1").arg(QLatin1String(name)), 0);
            hardware.addProcess(pid);
            ++pid;
        }
        engine = std::make_unique<RavletEngine>(
            EnginePlatform{hardware, processes, defaults, dir.filePath(QStringLiteral("diag.log"))});
        commands = std::make_unique<ControlCommands>(*engine, hardware, [this] { ++opened; });
    }
};

System* system_ = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication application(*argc, *argv);
    // The engine's log lines are not what is fuzzed.
    setSystemLogSink([](const QString&) {});
    system_ = new System;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // As the server reads it: up to the first line break, which it needs.
    QByteArray line(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype end = line.indexOf('\n');
    line = end < 0 ? line + '\n' : line.left(end + 1);

    const QJsonObject reply = instance::answerRequest(
        line, [](const QJsonObject& request) { return system_->commands->handle(request); });
    if (!reply.value(QStringLiteral("ok")).isBool() || !reply.value(QStringLiteral("text")).isString()) {
        std::fprintf(stderr, "a message without a proper answer\n");
        std::abort();
    }
    for (auto it = system_->engine->gains().cbegin(); it != system_->engine->gains().cend(); ++it) {
        if (!(*it >= 0.0f && *it <= 1.5f)) {
            std::fprintf(stderr, "a volume of %g for %s\n", double(*it), qPrintable(it.key()));
            std::abort();
        }
    }
    return 0;
}
