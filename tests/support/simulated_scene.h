#pragma once

// A small simulated system for engine tests: one stereo output device as the
// default, processes that are known to both the hardware and the process
// inspector, settings in memory and a private diagnostics log.

#include "engine.h"
#include "qt_printers.h"
#include "memory_user_defaults.h"
#include "simulated_audio_hardware.h"
#include "simulated_process_inspector.h"

#include <QTemporaryDir>

#include <memory>

struct SimulatedScene {
    static constexpr qint32 kOwnPid = 500;

    SimulatedAudioHardware hardware;
    SimulatedProcessInspector processes;
    MemoryUserDefaults defaults;
    QTemporaryDir dir;
    AudioObjectID speakers = kAudioObjectUnknown;

    SimulatedScene()
    {
        processes.setCurrentPid(kOwnPid);
        speakers = addOutputDevice(QStringLiteral("Speakers"), QStringLiteral("speakers-uid"), 0.5f);
        hardware.setDefaultOutputDevice(speakers);
    }

    AudioObjectID addOutputDevice(const QString& name, const QString& uid, std::optional<float> volume = {})
    {
        return hardware.addDevice({name, uid, {2}, {}, volume});
    }

    // A process playing audio, with its executable at path.
    void addProcess(qint32 pid, const QString& path, qint32 responsible = 0)
    {
        processes.addProcess(pid, path, responsible);
        hardware.addProcess(pid);
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
