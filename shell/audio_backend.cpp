#include "audio_backend.h"

#include "demo_scene.h"
#include "output_recording.h"

#if defined(__APPLE__)
#include "core_audio_hardware.h"
#include "mac_process_inspector.h"
#else
#include "crash_guardian.h"
#include "linux_process_inspector.h"
#include "pipewire_audio_hardware.h"
#include "stream_journal.h"
#endif

namespace {

#if defined(__APPLE__)

class CoreAudioBackend final : public AudioBackend {
public:
    AudioHardware& hardware() override { return m_hardware; }
    ProcessInspector& processes() override { return m_processes; }

private:
    MacProcessInspector m_processes;
    CoreAudioHardware m_hardware;
};

#else

class PipeWireBackend final : public AudioBackend {
public:
    AudioHardware& hardware() override { return m_hardware; }
    ProcessInspector& processes() override { return m_processes; }

private:
    // Made first and gone last: it claims the journal before the mover reads
    // it, and lets its guardian go only once the mover has emptied it.
    std::unique_ptr<CrashGuardian> m_guardian = CrashGuardian::start(stream_journal::defaultPath());
    PipeWireConnection m_connection;
    LinuxProcessInspector m_processes;
    PipeWireAudioHardware m_hardware{m_connection, m_processes};
};

#endif

class DemoBackend final : public AudioBackend {
public:
    AudioHardware& hardware() override { return m_scene.hardware(); }
    ProcessInspector& processes() override { return m_scene.processes(); }

    bool record(const QString& path, QString* error)
    {
        m_recording = OutputRecording::start(m_scene.hardware(), path, error);
        return m_recording != nullptr;
    }

private:
    DemoScene m_scene;
    // Ends before the scene it listens to.
    std::unique_ptr<OutputRecording> m_recording;
};

} // namespace

std::unique_ptr<AudioBackend> AudioBackend::system()
{
#if defined(__APPLE__)
    return std::make_unique<CoreAudioBackend>();
#else
    return std::make_unique<PipeWireBackend>();
#endif
}

std::unique_ptr<AudioBackend> AudioBackend::demo(const QString& recordPath, QString* error)
{
    auto backend = std::make_unique<DemoBackend>();
    if (!recordPath.isEmpty() && !backend->record(recordPath, error))
        return nullptr;
    return backend;
}
