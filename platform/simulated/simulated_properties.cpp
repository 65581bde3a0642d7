// What the property calls answer: which objects have which properties, the
// values read in Core Audio's shapes, and the two properties that can be set.

#include "simulated_model.h"

#include "cf_string.h"

#include <cmath>
#include <cstring>
#include <string>

using namespace simulated;

// A property's value before it is handed out. Strings stay text until the
// read is known to succeed: a refused read must not create a reference that
// no caller will release.
struct simulated::Reply {
    bool list = false;                      // whole ids, truncated to the room given
    std::vector<std::byte> bytes;
    std::optional<std::string> string;

    UInt32 size() const { return string ? UInt32(sizeof(CFStringRef)) : UInt32(bytes.size()); }
};

namespace {

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

}

OSStatus SimulatedAudioHardware::Model::check(AudioObjectID object, const AudioObjectPropertyAddress& address) const
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
        const AudioClientFacts& facts = process(object)->facts;
        has = global
           && (selector == kAudioProcessPropertyPID || selector == kAudioProcessPropertyIsRunningOutput
               || (selector == kRavletProcessPropertyApplicationName && !facts.applicationName.isEmpty())
               || (selector == kRavletProcessPropertyBinary && !facts.binary.isEmpty())
               || (selector == kRavletProcessPropertyIconName && !facts.iconName.isEmpty()));
    } else if (tap(object)) {
        has = global
           && (selector == kAudioTapPropertyUID || selector == kAudioTapPropertyFormat
               || selector == kAudioObjectPropertyName);
    } else {
        return kAudioHardwareBadObjectError;
    }
    return has && address.mElement == kAudioObjectPropertyElementMain ? kAudioHardwareNoError
                                                                      : kAudioHardwareUnknownPropertyError;
}

OSStatus SimulatedAudioHardware::Model::read(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                             UInt32 qualifierSize, const void* qualifier, Reply& reply) const
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
        if (const TapRecord* t = tap(object))
            reply.string = t->description.name.toStdString();
        else
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
    case kRavletProcessPropertyApplicationName:
        reply.string = process(object)->facts.applicationName.toStdString();
        break;
    case kRavletProcessPropertyBinary:
        reply.string = process(object)->facts.binary.toStdString();
        break;
    case kRavletProcessPropertyIconName:
        reply.string = process(object)->facts.iconName.toStdString();
        break;
    case kAudioTapPropertyUID:
        reply.string = tap(object)->uid.toStdString();
        break;
    case kAudioTapPropertyFormat:
        // Every tap here is a stereo mixdown in the clock's own format.
        reply.bytes = bytesOf(AudioStreamBasicDescription{
            SimulatedAudioHardware::kSampleRate, kAudioFormatLinearPCM,
            kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32, 0});
        break;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::Model::write(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                              UInt32 dataSize, const void* data)
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

bool SimulatedAudioHardware::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address)
{
    const Lock lock(m->mutex);
    if (m->begin(Call::HasProperty, object, address))
        return false;
    return m->check(object, address) == kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                     UInt32 qualifierSize, const void* qualifier, UInt32* outDataSize)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::GetPropertyDataSize, object, address))
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
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::GetPropertyData, object, address))
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
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::SetPropertyData, object, address))
        return *fault;
    return m->write(object, address, dataSize, data);
}
