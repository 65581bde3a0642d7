// The objects a script puts on the simulated system, devices and process
// objects, changed as other applications and the system itself would.

#include "simulated_model.h"

#include <stdexcept>

using namespace simulated;

namespace {

[[noreturn]] void noSuch(const char* what, long long which)
{
    throw std::invalid_argument(std::string("simulated hardware: no ") + what + ' ' + std::to_string(which));
}

// The model is private to the hardware: taken as a template parameter.
template <typename Model>
DeviceRecord& deviceOrThrow(Model& m, AudioObjectID device)
{
    DeviceRecord* d = m.device(device);
    if (!d)
        noSuch("device", device);
    return *d;
}

template <typename Model>
ProcessRecord& processObjectOrThrow(Model& m, AudioObjectID process)
{
    const auto found = m.processes.find(process);
    if (found == m.processes.end())
        noSuch("process object", process);
    return found->second;
}

template <typename Model>
std::vector<ProcessRecord*> processesOrThrow(Model& m, Pid pid)
{
    std::vector<ProcessRecord*> found = m.processesOf(pid);
    if (found.empty())
        noSuch("process with pid", pid);
    return found;
}

}

AudioObjectID SimulatedAudioHardware::addDevice(const DeviceSpec& spec)
{
    const Lock lock(m->mutex);
    const AudioObjectID id = m->nextId++;
    DeviceRecord& d = m->devices[id];
    d.spec = spec;
    if (hasOutput(spec)) {
        d.ring.assign(std::size_t(kRingFrames) * 2, 0.0f);
        const auto heard = firstTwoChannels(spec.outputChannels);
        d.mono = heard[0] == heard[1];
    }
    m->startClock();
    return id;
}

void SimulatedAudioHardware::removeDevice(AudioObjectID device)
{
    const Lock lock(m->mutex);
    // An aggregate that vanishes takes its I/O procedures with it; one whose
    // master vanishes stays, silent, for its owner to destroy.
    if (m->inCycle)
        return;
    deviceOrThrow(*m, device);
    m->destroyIOProcsOf(device);
    if (m->devices.erase(device) && m->defaultOutput == device)
        m->defaultOutput = kAudioObjectUnknown;
}

void SimulatedAudioHardware::setDeviceName(AudioObjectID device, std::optional<QString> name)
{
    const Lock lock(m->mutex);
    deviceOrThrow(*m, device).spec.name = std::move(name);
}

void SimulatedAudioHardware::setDeviceVolume(AudioObjectID device, std::optional<Float32> volume)
{
    const Lock lock(m->mutex);
    // Taken as given, not clamped: a test may play a driver that reports
    // nonsense.
    deviceOrThrow(*m, device).spec.volume = volume;
}

std::optional<Float32> SimulatedAudioHardware::deviceVolume(AudioObjectID device) const
{
    const Lock lock(m->mutex);
    const DeviceRecord* d = m->device(device);
    return d ? d->spec.volume : std::nullopt;
}

void SimulatedAudioHardware::setDeviceMuted(AudioObjectID device, std::optional<bool> muted)
{
    const Lock lock(m->mutex);
    deviceOrThrow(*m, device).spec.muted = muted;
}

std::optional<bool> SimulatedAudioHardware::deviceMuted(AudioObjectID device) const
{
    const Lock lock(m->mutex);
    const DeviceRecord* d = m->device(device);
    return d ? d->spec.muted : std::nullopt;
}

void SimulatedAudioHardware::setDefaultOutputDevice(AudioObjectID device)
{
    const Lock lock(m->mutex);
    // Another application goes through the same checks as the seam; only the
    // system itself clears the default, when no output device is left.
    const DeviceRecord* target = m->device(device);
    if (device == kAudioObjectUnknown || (target && hasOutput(target->spec)))
        m->defaultOutput = device;
}

AudioObjectID SimulatedAudioHardware::defaultOutputDevice() const
{
    const Lock lock(m->mutex);
    return m->defaultOutput;
}

AudioObjectID SimulatedAudioHardware::addProcess(Pid pid, bool runningOutput)
{
    const Lock lock(m->mutex);
    // A pid has one process object for as long as the process lives.
    if (const AudioObjectID existing = m->processObject(pid)) {
        m->processes[existing].runningOutput = runningOutput;
        return existing;
    }
    return addProcessObject(pid, runningOutput);
}

AudioObjectID SimulatedAudioHardware::addProcessObject(Pid pid, bool runningOutput)
{
    const Lock lock(m->mutex);
    const AudioObjectID id = m->nextId++;
    ProcessRecord& process = m->processes[id];
    process.pid = pid;
    process.runningOutput = runningOutput;
    process.knownFrom = m->cycles + m->cyclesWithin(m->timings.processAppearance);
    m->processByPid[pid] = id;
    m->startClock();
    return id;
}

void SimulatedAudioHardware::removeProcess(Pid pid)
{
    const Lock lock(m->mutex);
    processesOrThrow(*m, pid);
    std::erase_if(m->processes, [pid](const auto& entry) { return entry.second.pid == pid; });
    m->processByPid.erase(pid);
}

void SimulatedAudioHardware::setProcessRunningOutput(Pid pid, bool running)
{
    const Lock lock(m->mutex);
    for (ProcessRecord* process : processesOrThrow(*m, pid))
        process->runningOutput = running;
}

void SimulatedAudioHardware::setProcessClientFacts(AudioObjectID process, AudioClientFacts facts)
{
    const Lock lock(m->mutex);
    processObjectOrThrow(*m, process).facts = std::move(facts);
}

void SimulatedAudioHardware::setProcessOutputDevice(AudioObjectID process, AudioObjectID device)
{
    const Lock lock(m->mutex);
    processObjectOrThrow(*m, process).outputDevice = device;
}

void SimulatedAudioHardware::setProcessOwnVolume(AudioObjectID process, Float32 volume)
{
    const Lock lock(m->mutex);
    processObjectOrThrow(*m, process).ownVolume = volume;
}

AudioObjectID SimulatedAudioHardware::processObject(Pid pid) const
{
    const Lock lock(m->mutex);
    return m->processObject(pid);
}

void SimulatedAudioHardware::setProcessSignal(Pid pid, Signal signal)
{
    const Lock lock(m->mutex);
    for (ProcessRecord* process : processesOrThrow(*m, pid))
        process->signal = signal;
}

void SimulatedAudioHardware::setDeviceInputSignal(AudioObjectID device, Signal signal)
{
    const Lock lock(m->mutex);
    deviceOrThrow(*m, device).inputSignal = signal;
}

AudioObjectID SimulatedAudioHardware::deviceWithUID(const QString& uid) const
{
    const Lock lock(m->mutex);
    return m->deviceWithUID(uid);
}
