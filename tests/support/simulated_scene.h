#pragma once

// A small simulated system for engine tests: one stereo output device as the
// default, processes that are known to both the hardware and the process
// inspector, settings in memory and a private diagnostics log. A test ends
// with no call made that Core Audio refuses or leaves undefined, unless it
// takes those calls out of the record itself.

#include "engine.h"
#include "qt_printers.h"
#include "memory_user_defaults.h"
#include "simulated_audio_hardware.h"
#include "simulated_process_inspector.h"
#include "system_log.h"

#include <QTemporaryDir>

#ifdef RAVLET_TESTING
#include <gtest/gtest.h>
#endif

#include <memory>

struct SimulatedScene {
    static constexpr qint32 kOwnPid = 500;

    SimulatedAudioHardware hardware;
    SimulatedProcessInspector processes;
    MemoryUserDefaults defaults;
    QTemporaryDir dir;
    AudioObjectID speakers = kAudioObjectUnknown;

    // Lines the engine wrote to the system log while this scene lived.
    QStringList log;

    explicit SimulatedScene(bool manualClock = true)
    {
        setSystemLogSink([this](const QString& line) { log.append(line); });
        hardware.setManualClock(manualClock);
        processes.setCurrentPid(kOwnPid);
        speakers = addOutputDevice(QStringLiteral("Speakers"), QStringLiteral("speakers-uid"), 0.5f);
        hardware.setDefaultOutputDevice(speakers);
    }

    ~SimulatedScene()
    {
        setSystemLogSink({});
#ifdef RAVLET_TESTING
        EXPECT_EQ(hardware.doubtfulCalls(), QStringList());
#endif
    }

    // With a mute control, unmuted.
    AudioObjectID addOutputDevice(const QString& name, const QString& uid, std::optional<float> volume = {})
    {
        return hardware.addDevice({name, uid, {2}, {}, volume, false});
    }

    // A process playing audio, with its executable at path.
    void addProcess(qint32 pid, const QString& path, qint32 responsible = 0,
                    SimulatedAudioHardware::Signal signal = SimulatedAudioHardware::Signal::silence())
    {
        processes.addProcess(pid, path, responsible);
        hardware.addProcess(pid);
        hardware.setProcessSignal(pid, signal);
    }

    // An application bundle in /Applications with one process.
    QString addApp(const QString& name, qint32 pid,
                   SimulatedAudioHardware::Signal signal = SimulatedAudioHardware::Signal::silence())
    {
        const QString bundle = QStringLiteral("/Applications/") + name + QStringLiteral(".app");
        addProcess(pid, bundle + QStringLiteral("/Contents/MacOS/") + name, 0, signal);
        return bundle;
    }

    void removeProcess(qint32 pid)
    {
        hardware.removeProcess(pid);
        processes.removeProcess(pid);
    }

    QString diagPath() const { return dir.filePath(QStringLiteral("diag.log")); }

    std::unique_ptr<RavletEngine> makeEngine()
    {
        return std::make_unique<RavletEngine>(EnginePlatform{hardware, processes, defaults, diagPath()});
    }
};
