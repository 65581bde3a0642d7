#pragma once

// A small simulated system for engine tests: one stereo output device as the
// default, processes that are known to both the hardware and the process
// inspector, settings in memory and a private diagnostics log. A test ends
// with no call made that Core Audio refuses or leaves undefined, unless it
// takes those calls out of the record itself.
//
// Built with RAVLET_MACOS_SEAMS the engine reaches the same simulation
// through the macOS seams and the stand-in frameworks, the settings live in
// a preferences domain of the stand-in CoreFoundation, and a test also ends
// with every CoreFoundation and stand-in Objective-C object it made released.

#include "engine.h"
#include "qt_printers.h"
#include "memory_user_defaults.h"
#include "simulated_audio_hardware.h"
#include "simulated_process_inspector.h"
#include "system_log.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#if defined(RAVLET_MACOS_SEAMS)
#include "cf_preferences_user_defaults.h"
#include "core_audio_hardware.h"
#include "mac_process_inspector.h"
#include "standin.h"

#include <unistd.h>

// Settings in a preferences domain of their own, emptied when they go.
class SceneDefaults final : public CFPreferencesUserDefaults {
public:
    SceneDefaults() : SceneDefaults(nextDomain()) {}
    ~SceneDefaults() override { standin::resetPreferences(m_domain); }
    const std::string& domain() const { return m_domain; }
    int writeCount(const QString& key) const { return standin::preferenceWrites(m_domain, key.toStdString()); }

private:
    explicit SceneDefaults(std::string domain)
        : CFPreferencesUserDefaults(QString::fromStdString(domain)), m_domain(std::move(domain))
    {
    }
    static std::string nextDomain()
    {
        static int domains = 0;
        return "io.morvik.ravlet.test" + std::to_string(++domains);
    }
    std::string m_domain;
};
#else
using SceneDefaults = MemoryUserDefaults;
#endif

#ifdef RAVLET_TESTING
#include <gtest/gtest.h>
#endif

#include <cmath>
#include <memory>

// The largest difference between what the device played in the last cycle
// and the sum of two signals at their gains; infinite when it played less
// than a cycle.
inline float playedMismatch(const SimulatedAudioHardware& hardware, AudioObjectID device,
                            const SimulatedAudioHardware::Signal& a, float gainA,
                            const SimulatedAudioHardware::Signal& b, float gainB)
{
    constexpr UInt32 kCycle = SimulatedAudioHardware::kFramesPerCycle;
    const std::vector<float> played = hardware.recentOutput(device, kCycle);
    const std::int64_t first = hardware.cyclesRun() * kCycle - std::int64_t(played.size() / 2);
    float worst = played.size() == 2 * kCycle ? 0.0f : INFINITY;
    for (std::size_t i = 0; i < played.size(); ++i) {
        const std::int64_t frame = first + std::int64_t(i / 2);
        const int channel = int(i % 2);
        const float expected = gainA * a.sample(frame, channel) + gainB * b.sample(frame, channel);
        worst = std::max(worst, std::fabs(played[i] - expected));
    }
    return worst;
}

// Someone follows the levels, as the open popover does, for as long as
// follower lives.
inline void followLevels(RavletEngine& engine, QObject& follower)
{
    QObject::connect(&engine, &RavletEngine::levelsChanged, &follower, [] {});
    QCoreApplication::processEvents();
}

// The engine's hardware with the leave to record system audio known from
// the start, as on a Mac where a tap was heard: what every test but those of
// that leave starts from, so that they need no tap heard first.
class RecordingKnownGranted final : public AudioHardware {
public:
    explicit RecordingKnownGranted(AudioHardware& hardware) : m_hw(hardware) {}

    bool systemAudioRecordingGranted() const override { return true; }
    bool processTapsSupported() const override { return m_hw.processTapsSupported(); }
    QString unsupportedReason() const override { return m_hw.unsupportedReason(); }
    long audioCaptureAuthorizationStatus() const override { return m_hw.audioCaptureAuthorizationStatus(); }
    bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override
    {
        return m_hw.hasProperty(object, address);
    }
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                 const void* qualifier, UInt32* outDataSize) override
    {
        return m_hw.getPropertyDataSize(object, address, qualifierSize, qualifier, outDataSize);
    }
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32* ioDataSize, void* outData) override
    {
        return m_hw.getPropertyData(object, address, qualifierSize, qualifier, ioDataSize, outData);
    }
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32 dataSize, const void* data) override
    {
        return m_hw.setPropertyData(object, address, qualifierSize, qualifier, dataSize, data);
    }
    OSStatus createProcessTap(const ProcessTapDescription& description, AudioObjectID* outTapID) override
    {
        return m_hw.createProcessTap(description, outTapID);
    }
    OSStatus destroyProcessTap(AudioObjectID tapID) override { return m_hw.destroyProcessTap(tapID); }
    OSStatus createAggregateDevice(const QVariantMap& description, AudioObjectID* outDeviceID) override
    {
        return m_hw.createAggregateDevice(description, outDeviceID);
    }
    OSStatus destroyAggregateDevice(AudioObjectID deviceID) override { return m_hw.destroyAggregateDevice(deviceID); }
    OSStatus createIOProcIDWithBlock(DeviceIOProcID* outIOProcID, AudioObjectID device, DeviceIOQueue queue,
                                     DeviceIOBlock block) override
    {
        return m_hw.createIOProcIDWithBlock(outIOProcID, device, queue, std::move(block));
    }
    OSStatus destroyIOProcID(AudioObjectID device, DeviceIOProcID ioProcID) override
    {
        return m_hw.destroyIOProcID(device, ioProcID);
    }
    OSStatus deviceStart(AudioObjectID device, DeviceIOProcID ioProcID) override
    {
        return m_hw.deviceStart(device, ioProcID);
    }
    OSStatus deviceStop(AudioObjectID device, DeviceIOProcID ioProcID) override
    {
        return m_hw.deviceStop(device, ioProcID);
    }

private:
    AudioHardware& m_hw;
};

struct SimulatedScene {
#if defined(RAVLET_MACOS_SEAMS)
    // MacProcessInspector knows the test's own pid only.
    static inline const qint32 kOwnPid = qint32(getpid());
    const long liveCFObjectsBefore = standin::liveCFObjects();
#else
    static constexpr qint32 kOwnPid = 500;
#endif

    SimulatedAudioHardware hardware;
    SimulatedProcessInspector processes;
    SceneDefaults defaults;
#if defined(RAVLET_MACOS_SEAMS)
    CoreAudioHardware macHardware;
    MacProcessInspector macProcesses;
    AudioHardware& seam = macHardware;
#else
    AudioHardware& seam = hardware;
#endif
    RecordingKnownGranted knownGranted{seam};
    QTemporaryDir dir;
    AudioObjectID speakers = kAudioObjectUnknown;

    // Lines the engine wrote to the system log while this scene lived.
    QStringList log;

    // Core Audio's calls take no time here unless a test asks for its
    // timings (SimulatedAudioHardware::Timings{}).
    explicit SimulatedScene(bool manualClock = true,
                            const SimulatedAudioHardware::Timings& timings = SimulatedAudioHardware::kInstant)
    {
        hardware.setTimings(timings);
        setSystemLogSink([this](const QString& line) { log.append(line); });
#if defined(RAVLET_MACOS_SEAMS)
        standin::setHardware(&hardware);
        standin::setProcessTable(&processes);
        // Core Audio moves no process to a device: only a tap plays it elsewhere.
        hardware.setProcessesRoutable(false);
#endif
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
#if defined(RAVLET_MACOS_SEAMS)
        standin::setHardware(nullptr);
        standin::setProcessTable(nullptr);
        standin::resetPreferences(defaults.domain());
        EXPECT_EQ(standin::liveCFObjects(), liveCFObjectsBefore);
        EXPECT_EQ(standin::liveStandinObjects(), 0);
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

    // With recordingKnown false the engine finds out by listening, as on a
    // Mac.
    std::unique_ptr<RavletEngine> makeEngine(bool recordingKnown = true)
    {
        AudioHardware& engineHardware = recordingKnown ? static_cast<AudioHardware&>(knownGranted) : seam;
#if defined(RAVLET_MACOS_SEAMS)
        return std::make_unique<RavletEngine>(EnginePlatform{engineHardware, macProcesses, defaults, diagPath()});
#else
        return std::make_unique<RavletEngine>(EnginePlatform{engineHardware, processes, defaults, diagPath()});
#endif
    }
};
