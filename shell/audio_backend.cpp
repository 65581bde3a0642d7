#include "audio_backend.h"

#include "demo_scene.h"
#include "linux_process_inspector.h"
#include "pipewire_audio_hardware.h"

namespace {

class PipeWireBackend final : public AudioBackend {
public:
    AudioHardware& hardware() override { return m_hardware; }
    ProcessInspector& processes() override { return m_processes; }

private:
    PipeWireConnection m_connection;
    LinuxProcessInspector m_processes;
    PipeWireAudioHardware m_hardware{m_connection, m_processes};
};

class DemoBackend final : public AudioBackend {
public:
    AudioHardware& hardware() override { return m_scene.hardware(); }
    ProcessInspector& processes() override { return m_scene.processes(); }

private:
    DemoScene m_scene;
};

} // namespace

std::unique_ptr<AudioBackend> AudioBackend::pipeWire()
{
    return std::make_unique<PipeWireBackend>();
}

std::unique_ptr<AudioBackend> AudioBackend::demo()
{
    return std::make_unique<DemoBackend>();
}
