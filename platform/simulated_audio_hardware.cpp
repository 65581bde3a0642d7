#include "simulated_audio_hardware.h"

#include "cf_string.h"

#include <QScopeGuard>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

namespace {

using Call = SimulatedAudioHardware::Call;
using DeviceSpec = SimulatedAudioHardware::DeviceSpec;
using Pid = SimulatedAudioHardware::Pid;

// One record per object. The tap and I/O work will hang sample buffers off
// devices and a signal to play off processes; the seam answers only from what
// is here.
struct DeviceRecord {
    DeviceSpec spec;
};

struct ProcessRecord {
    Pid pid = 0;
    bool runningOutput = false;
};

struct Fault {
    Call call;
    AudioObjectPropertySelector selector;
    OSStatus status;
    AudioObjectID object;
    int remaining;                          // < 0: until cleared
};

struct SizeOverride {
    AudioObjectPropertySelector selector;
    UInt32 size;
    AudioObjectID object;
};

// A property's value before it is handed out. Strings stay text until the
// read is known to succeed: a refused read must not create a reference that
// no caller will release.
struct Reply {
    bool list = false;                      // whole ids, truncated to the room given
    std::vector<std::byte> bytes;
    std::optional<std::string> string;

    UInt32 size() const { return string ? UInt32(sizeof(CFStringRef)) : UInt32(bytes.size()); }
};

template <typename T>
std::vector<std::byte> bytesOf(const T& value)
{
    std::vector<std::byte> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

template <typename Record>
std::vector<std::byte> idsOf(const std::map<AudioObjectID, Record>& objects)
{
    std::vector<std::byte> bytes(objects.size() * sizeof(AudioObjectID));
    std::size_t offset = 0;
    for (const auto& entry : objects) {
        std::memcpy(bytes.data() + offset, &entry.first, sizeof(AudioObjectID));
        offset += sizeof(AudioObjectID);
    }
    return bytes;
}

// A scope without streams answers mNumberBuffers 0 in audioBufferListSize(0)
// bytes, a whole AudioBufferList: the size is audioBufferListSize(mNumberBuffers)
// for every answer, and a caller holding one AudioBufferList can always read it.
std::vector<std::byte> bufferListOf(const std::vector<UInt32>& channels)
{
    const auto count = UInt32(channels.size());
    std::vector<std::byte> bytes(audioBufferListSize(count));
    std::memcpy(bytes.data(), &count, sizeof count);
    std::size_t offset = offsetof(AudioBufferList, mBuffers);
    for (UInt32 perBuffer : channels) {
        const AudioBuffer buffer{perBuffer, 0, nullptr};
        std::memcpy(bytes.data() + offset, &buffer, sizeof buffer);
        offset += sizeof buffer;
    }
    return bytes;
}

bool hasOutput(const DeviceSpec& spec)
{
    return std::any_of(spec.outputChannels.begin(), spec.outputChannels.end(),
                       [](UInt32 channels) { return channels > 0; });
}

bool matches(AudioObjectPropertySelector selector, AudioObjectID object,
             AudioObjectID calledObject, const AudioObjectPropertyAddress& address)
{
    return (selector == 0 || selector == address.mSelector) && (object == kAudioObjectUnknown || object == calledObject);
}

std::size_t callIndex(Call call)
{
    return static_cast<std::size_t>(call);
}

}

struct SimulatedAudioHardware::Model {
    bool tapsSupported = true;
    AudioObjectID nextId = kAudioObjectSystemObject + 1;
    AudioObjectID defaultOutput = kAudioObjectUnknown;
    std::map<AudioObjectID, DeviceRecord> devices;
    std::map<AudioObjectID, ProcessRecord> processes;
    std::map<Pid, AudioObjectID> processByPid;

    std::vector<Fault> faults;
    std::vector<SizeOverride> sizeOverrides;
    CallHook hook;
    bool inHook = false;
    std::array<int, 4> totalCalls{};
    std::array<std::map<AudioObjectPropertySelector, int>, 4> callsBySelector;

    DeviceRecord* device(AudioObjectID id)
    {
        const auto found = devices.find(id);
        return found == devices.end() ? nullptr : &found->second;
    }
    const DeviceRecord* device(AudioObjectID id) const
    {
        const auto found = devices.find(id);
        return found == devices.end() ? nullptr : &found->second;
    }

    const ProcessRecord* process(AudioObjectID id) const
    {
        const auto found = processes.find(id);
        return found == processes.end() ? nullptr : &found->second;
    }

    AudioObjectID processObject(Pid pid) const
    {
        const auto found = processByPid.find(pid);
        return found == processByPid.end() ? kAudioObjectUnknown : found->second;
    }

    void enter(Call call, AudioObjectID object, const AudioObjectPropertyAddress& address)
    {
        ++totalCalls[callIndex(call)];
        ++callsBySelector[callIndex(call)][address.mSelector];
        // Calls the hook itself makes do not run it again, or a hook that
        // reads the model would never return. It runs from a copy because it
        // may replace itself.
        if (!hook || inHook)
            return;
        const CallHook running = hook;
        inHook = true;
        const auto leave = qScopeGuard([this] { inHook = false; });
        running(call, object, address);
    }

    std::optional<OSStatus> takeFault(Call call, AudioObjectID object, const AudioObjectPropertyAddress& address)
    {
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            if (it->call != call || !matches(it->selector, it->object, object, address))
                continue;
            const OSStatus status = it->status;
            if (it->remaining > 0 && --it->remaining == 0)
                faults.erase(it);
            return status;
        }
        return std::nullopt;
    }

    std::optional<UInt32> sizeOverride(AudioObjectID object, const AudioObjectPropertyAddress& address) const
    {
        for (auto it = sizeOverrides.rbegin(); it != sizeOverrides.rend(); ++it) {
            if (matches(it->selector, it->object, object, address))
                return it->size;
        }
        return std::nullopt;
    }

    // Whether object has the property at address: 0, or Core Audio's status
    // for why not.
    OSStatus check(AudioObjectID object, const AudioObjectPropertyAddress& address) const
    {
        const AudioObjectPropertySelector selector = address.mSelector;
        const AudioObjectPropertyScope scope = address.mScope;
        const bool global = scope == kAudioObjectPropertyScopeGlobal;
        bool has = false;
        if (object == kAudioObjectSystemObject) {
            has = global
               && (selector == kAudioHardwarePropertyDefaultOutputDevice || selector == kAudioHardwarePropertyDevices
                   || selector == kAudioHardwarePropertyProcessObjectList
                   || selector == kAudioHardwarePropertyTranslatePIDToProcessObject);
        } else if (const DeviceRecord* d = device(object)) {
            switch (selector) {
            case kAudioObjectPropertyName:
                has = global && d->spec.name.has_value();
                break;
            case kAudioDevicePropertyDeviceUID:
                has = global && !d->spec.uid.isEmpty();
                break;
            case kAudioDevicePropertyStreamConfiguration:
                has = scope == kAudioObjectPropertyScopeOutput || scope == kAudioObjectPropertyScopeInput;
                break;
            case kAudioDevicePropertyVolumeScalar:
                has = scope == kAudioObjectPropertyScopeOutput && d->spec.volume.has_value();
                break;
            default:
                break;
            }
        } else if (process(object)) {
            has = global && (selector == kAudioProcessPropertyPID || selector == kAudioProcessPropertyIsRunningOutput);
        } else {
            return kAudioHardwareBadObjectError;
        }
        return has && address.mElement == kAudioObjectPropertyElementMain ? kAudioHardwareNoError
                                                                          : kAudioHardwareUnknownPropertyError;
    }

    OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                  const void* qualifier, Reply& reply) const
    {
        if (const OSStatus status = check(object, address))
            return status;
        // check() has settled which kind of object this is: each selector
        // belongs to one kind only.
        switch (address.mSelector) {
        case kAudioHardwarePropertyDefaultOutputDevice:
            reply.bytes = bytesOf(defaultOutput);
            break;
        case kAudioHardwarePropertyDevices:
            reply.list = true;
            reply.bytes = idsOf(devices);
            break;
        case kAudioHardwarePropertyProcessObjectList:
            reply.list = true;
            reply.bytes = idsOf(processes);
            break;
        case kAudioHardwarePropertyTranslatePIDToProcessObject: {
            // Asking for the size needs the pid too, as both calls share this path.
            if (qualifierSize != sizeof(Pid))
                return kAudioHardwareBadPropertySizeError;
            if (!qualifier)
                return kAudioHardwareIllegalOperationError;
            Pid pid = 0;
            std::memcpy(&pid, qualifier, sizeof pid);
            reply.bytes = bytesOf(processObject(pid));
            break;
        }
        case kAudioObjectPropertyName:
            reply.string = device(object)->spec.name->toStdString();
            break;
        case kAudioDevicePropertyDeviceUID:
            reply.string = device(object)->spec.uid.toStdString();
            break;
        case kAudioDevicePropertyStreamConfiguration: {
            const DeviceSpec& spec = device(object)->spec;
            reply.bytes = bufferListOf(address.mScope == kAudioObjectPropertyScopeOutput ? spec.outputChannels
                                                                                          : spec.inputChannels);
            break;
        }
        case kAudioDevicePropertyVolumeScalar:
            reply.bytes = bytesOf(*device(object)->spec.volume);
            break;
        case kAudioProcessPropertyPID:
            reply.bytes = bytesOf(SInt32(process(object)->pid));
            break;
        case kAudioProcessPropertyIsRunningOutput:
            reply.bytes = bytesOf(UInt32(process(object)->runningOutput ? 1 : 0));
            break;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
        return kAudioHardwareNoError;
    }

    OSStatus write(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 dataSize, const void* data)
    {
        if (const OSStatus status = check(object, address))
            return status;
        const AudioObjectPropertySelector selector = address.mSelector;
        if (selector != kAudioHardwarePropertyDefaultOutputDevice && selector != kAudioDevicePropertyVolumeScalar)
            return kAudioHardwareIllegalOperationError;
        if (!data)
            return kAudioHardwareIllegalOperationError;

        if (selector == kAudioHardwarePropertyDefaultOutputDevice) {
            AudioObjectID wanted = kAudioObjectUnknown;
            if (dataSize < sizeof wanted)
                return kAudioHardwareBadPropertySizeError;
            std::memcpy(&wanted, data, sizeof wanted);
            const DeviceRecord* target = device(wanted);
            if (!target || !hasOutput(target->spec))
                return kAudioHardwareBadDeviceError;
            defaultOutput = wanted;
            return kAudioHardwareNoError;
        }

        Float32 volume = 0;
        if (dataSize < sizeof volume)
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(&volume, data, sizeof volume);
        // A NaN has no place on the control; clamping would pass it through.
        if (std::isnan(volume))
            return kAudioHardwareIllegalOperationError;
        device(object)->spec.volume = std::clamp(volume, Float32(0), Float32(1));
        return kAudioHardwareNoError;
    }
};

SimulatedAudioHardware::SimulatedAudioHardware()
    : m(std::make_unique<Model>())
{
}

SimulatedAudioHardware::~SimulatedAudioHardware() = default;

bool SimulatedAudioHardware::processTapsSupported() const
{
    return m->tapsSupported;
}

bool SimulatedAudioHardware::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address)
{
    m->enter(Call::HasProperty, object, address);
    if (m->takeFault(Call::HasProperty, object, address))
        return false;
    return m->check(object, address) == kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                     UInt32 qualifierSize, const void* qualifier, UInt32* outDataSize)
{
    m->enter(Call::GetPropertyDataSize, object, address);
    if (const auto fault = m->takeFault(Call::GetPropertyDataSize, object, address))
        return *fault;
    Reply reply;
    if (const OSStatus status = m->read(object, address, qualifierSize, qualifier, reply))
        return status;
    if (!outDataSize)
        return kAudioHardwareIllegalOperationError;
    // Overrides bend answers only; a refused call stays refused.
    *outDataSize = m->sizeOverride(object, address).value_or(reply.size());
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                 UInt32 qualifierSize, const void* qualifier, UInt32* ioDataSize,
                                                 void* outData)
{
    m->enter(Call::GetPropertyData, object, address);
    if (const auto fault = m->takeFault(Call::GetPropertyData, object, address))
        return *fault;
    Reply reply;
    if (const OSStatus status = m->read(object, address, qualifierSize, qualifier, reply))
        return status;
    if (!ioDataSize || !outData)
        return kAudioHardwareIllegalOperationError;

    UInt32 room = *ioDataSize;
    if (const auto limit = m->sizeOverride(object, address))
        room = std::min(room, *limit);

    if (reply.list) {
        const UInt32 written = std::min(room, reply.size()) / sizeof(AudioObjectID) * sizeof(AudioObjectID);
        if (written > 0)
            std::memcpy(outData, reply.bytes.data(), written);
        *ioDataSize = written;
        return kAudioHardwareNoError;
    }
    if (room < reply.size())
        return kAudioHardwareBadPropertySizeError;
    if (reply.string) {
        const CFStringRef string = CFStringCreateWithUtf8(*reply.string);
        std::memcpy(outData, &string, sizeof string);
    } else {
        std::memcpy(outData, reply.bytes.data(), reply.bytes.size());
    }
    *ioDataSize = reply.size();
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                 UInt32 /*qualifierSize*/, const void* /*qualifier*/,
                                                 UInt32 dataSize, const void* data)
{
    m->enter(Call::SetPropertyData, object, address);
    if (const auto fault = m->takeFault(Call::SetPropertyData, object, address))
        return *fault;
    return m->write(object, address, dataSize, data);
}

void SimulatedAudioHardware::setProcessTapsSupported(bool supported)
{
    m->tapsSupported = supported;
}

AudioObjectID SimulatedAudioHardware::addDevice(const DeviceSpec& spec)
{
    const AudioObjectID id = m->nextId++;
    m->devices.emplace(id, DeviceRecord{spec});
    return id;
}

void SimulatedAudioHardware::removeDevice(AudioObjectID device)
{
    if (m->devices.erase(device) && m->defaultOutput == device)
        m->defaultOutput = kAudioObjectUnknown;
}

void SimulatedAudioHardware::setDeviceName(AudioObjectID device, std::optional<QString> name)
{
    if (DeviceRecord* d = m->device(device))
        d->spec.name = std::move(name);
}

void SimulatedAudioHardware::setDeviceVolume(AudioObjectID device, std::optional<Float32> volume)
{
    // Taken as given, not clamped: a test may play a driver that reports
    // nonsense.
    if (DeviceRecord* d = m->device(device))
        d->spec.volume = volume;
}

std::optional<Float32> SimulatedAudioHardware::deviceVolume(AudioObjectID device) const
{
    const DeviceRecord* d = m->device(device);
    return d ? d->spec.volume : std::nullopt;
}

void SimulatedAudioHardware::setDefaultOutputDevice(AudioObjectID device)
{
    // Another application goes through the same checks as the seam; only the
    // system itself clears the default, when no output device is left.
    const DeviceRecord* target = m->device(device);
    if (device == kAudioObjectUnknown || (target && hasOutput(target->spec)))
        m->defaultOutput = device;
}

AudioObjectID SimulatedAudioHardware::defaultOutputDevice() const
{
    return m->defaultOutput;
}

AudioObjectID SimulatedAudioHardware::addProcess(Pid pid, bool runningOutput)
{
    // A pid has one process object for as long as the process lives.
    if (const AudioObjectID existing = m->processObject(pid)) {
        m->processes[existing].runningOutput = runningOutput;
        return existing;
    }
    const AudioObjectID id = m->nextId++;
    m->processes.emplace(id, ProcessRecord{pid, runningOutput});
    m->processByPid.emplace(pid, id);
    return id;
}

void SimulatedAudioHardware::removeProcess(Pid pid)
{
    const auto found = m->processByPid.find(pid);
    if (found == m->processByPid.end())
        return;
    m->processes.erase(found->second);
    m->processByPid.erase(found);
}

void SimulatedAudioHardware::setProcessRunningOutput(Pid pid, bool running)
{
    if (const AudioObjectID id = m->processObject(pid))
        m->processes[id].runningOutput = running;
}

AudioObjectID SimulatedAudioHardware::processObject(Pid pid) const
{
    return m->processObject(pid);
}

void SimulatedAudioHardware::failCall(Call call, AudioObjectPropertySelector selector, OSStatus status,
                                      AudioObjectID object, int times)
{
    if (times != 0)
        m->faults.push_back(Fault{call, selector, status, object, times});
}

void SimulatedAudioHardware::overrideDataSize(AudioObjectPropertySelector selector, UInt32 size, AudioObjectID object)
{
    m->sizeOverrides.push_back(SizeOverride{selector, size, object});
}

void SimulatedAudioHardware::clearFaults()
{
    m->faults.clear();
    m->sizeOverrides.clear();
}

void SimulatedAudioHardware::setBeforeCallHook(CallHook hook)
{
    m->hook = std::move(hook);
}

int SimulatedAudioHardware::callCount(Call call, AudioObjectPropertySelector selector) const
{
    if (selector == 0)
        return m->totalCalls[callIndex(call)];
    const auto& counts = m->callsBySelector[callIndex(call)];
    const auto found = counts.find(selector);
    return found == counts.end() ? 0 : found->second;
}

void SimulatedAudioHardware::resetCallCounts()
{
    m->totalCalls = {};
    for (auto& counts : m->callsBySelector)
        counts.clear();
}
