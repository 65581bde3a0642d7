#pragma once

// What the program plays on: the system's own sound (Core Audio on macOS,
// the desktop's PipeWire daemon elsewhere), or the built-in simulated scene
// (--demo). Owns the hardware layer and the process inspector that go with
// it. Main thread only.

#include "audio_hardware.h"

#include <QString>
#include "process_inspector.h"

#include <memory>

class AudioBackend {
public:
    virtual ~AudioBackend() = default;
    virtual AudioHardware& hardware() = 0;
    virtual ProcessInspector& processes() = 0;

    // The system's sound: Core Audio with its process taps on macOS; the
    // desktop's PipeWire elsewhere, waited for when it is not there yet.
    static std::unique_ptr<AudioBackend> system();
    // The built-in scene: a few applications, each with a sound of its own;
    // with a path, what its output devices play is recorded there. Nothing,
    // with the reason in *error, when the recording cannot be written.
    static std::unique_ptr<AudioBackend> demo(const QString& recordPath = {}, QString* error = nullptr);
};
