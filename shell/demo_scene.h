#pragma once

// The audio world this build runs on. Core Audio is macOS-only, so the
// program plays against simulated hardware: a few applications, each with a
// sound of its own, so that a newcomer sees live meters at once.

#include "simulated_audio_hardware.h"
#include "simulated_process_inspector.h"

class DemoScene {
public:
    DemoScene();

    SimulatedAudioHardware& hardware() { return m_hardware; }
    SimulatedProcessInspector& processes() { return m_processes; }

    AudioObjectID speakers() const { return m_speakers; }
    AudioObjectID headphones() const { return m_headphones; }

    // Starts or stops the music player's process, as a user would quit it.
    void setMusicRunning(bool running);

    static QString musicID() { return QStringLiteral("/Applications/Music.app"); }
    static QString browserID() { return QStringLiteral("/Applications/Browser.app"); }
    static QString chatID() { return QStringLiteral("/Applications/Chat.app"); }
    static QString notesID() { return QStringLiteral("/Applications/Voice Notes.app"); }

private:
    void addProcess(qint32 pid, const QString& path, qint32 responsible, SimulatedAudioHardware::Signal signal);

    SimulatedAudioHardware m_hardware;
    SimulatedProcessInspector m_processes;
    AudioObjectID m_speakers = kAudioObjectUnknown;
    AudioObjectID m_headphones = kAudioObjectUnknown;
};
