#include "demo_scene.h"

#include <unistd.h>

namespace {

using Signal = SimulatedAudioHardware::Signal;

constexpr qint32 kMusicPid = 4101;

} // namespace

DemoScene::DemoScene()
{
    m_processes.setCurrentPid(::getpid());
    // What plays before Ravlet starts is published already; whatever starts
    // later is published a moment after its sound, as on a Mac.
    m_hardware.setTimings({.processAppearance = std::chrono::microseconds(0)});

    m_speakers = m_hardware.addDevice({QStringLiteral("Built-in Speakers"), QStringLiteral("BuiltInSpeakerDevice"),
                                       {2}, {}, 0.6f, false});
    m_headphones = m_hardware.addDevice({QStringLiteral("USB Headphones"), QStringLiteral("USBHeadphones-01"),
                                         {2}, {1}, 0.8f, false});
    m_hardware.addDevice({QStringLiteral("Built-in Microphone"), QStringLiteral("BuiltInMicrophoneDevice"), {}, {1}, {}});
    m_hardware.setDefaultOutputDevice(m_speakers);
    // A first launch: macOS asks for the leave to record system audio when
    // the first tap starts, and the demo's user allows it.
    m_hardware.setRecordingPermission(SimulatedAudioHardware::RecordingPermission::NotAsked);
    m_hardware.setRecordingPromptAnswer(SimulatedAudioHardware::PromptAnswer::Allow);

    // A music player: a steady tone.
    setMusicRunning(true);
    // A browser whose sound comes from helper applications nested in its bundle.
    addProcess(4201, browserID() + QStringLiteral("/Contents/MacOS/Browser"), 0, Signal::silence());
    addProcess(4202, browserID() + QStringLiteral("/Contents/MacOS/Browser Helper (Renderer).app/Contents/MacOS/Browser Helper"),
               0, Signal::pattern(0.35f));
    addProcess(4203, browserID() + QStringLiteral("/Contents/MacOS/Browser Helper (Media).app/Contents/MacOS/Browser Helper"), 0,
               Signal::sine(880.0f, 0.15f));
    // A chat application, and a system voice service playing on its behalf.
    addProcess(4301, chatID() + QStringLiteral("/Contents/MacOS/Chat"), 0, Signal::sine(330.0f, 0.25f));
    addProcess(4302, QStringLiteral("/usr/libexec/voice-processing-service"), 4301, Signal::sine(660.0f, 0.1f));
    addProcess(4401, notesID() + QStringLiteral("/Contents/MacOS/Voice Notes"), 0, Signal::sine(523.25f, 0.2f));
    // An audio-routing tool, which is never listed.
    addProcess(4501, QStringLiteral("/Applications/BlackHole Router.app/Contents/MacOS/router"), 0,
               Signal::sine(100.0f, 0.05f));
    m_hardware.setTimings({});
}

void DemoScene::setMusicRunning(bool running)
{
    if (running) {
        addProcess(kMusicPid, musicID() + QStringLiteral("/Contents/MacOS/Music"), 0, Signal::sine(440.0f, 0.45f));
    } else {
        m_hardware.removeProcess(kMusicPid);
        m_processes.removeProcess(kMusicPid);
    }
}

void DemoScene::addProcess(qint32 pid, const QString& path, qint32 responsible, SimulatedAudioHardware::Signal signal)
{
    m_processes.addProcess(pid, path, responsible);
    m_hardware.addProcess(pid);
    m_hardware.setProcessSignal(pid, signal);
}
