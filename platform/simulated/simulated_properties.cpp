// What the property calls answer: which objects have which properties, the
// values read in Core Audio's shapes, and the three properties that can be set.

#include "simulated_model.h"

#include "cf_string.h"
#include "property_reply.h"

#include <cmath>
#include <cstring>
#include <string>

using namespace simulated;

namespace {

template <typename Record>
std::vector<std::byte> idsOfMap(const std::map<AudioObjectID, Record>& objects)
{
    std::vector<AudioObjectID> ids;
    ids.reserve(objects.size());
    for (const auto& entry : objects)
        ids.push_back(entry.first);
    return idsOf(ids);
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
        case kAudioDevicePropertyMute:
            has = scope == kAudioObjectPropertyScopeOutput && d->spec.muted.has_value();
            break;
        default:
            break;
        }
    } else if (knownProcess(object)) {
        const AudioClientFacts& facts = process(object)->facts;
        has = global
           && (selector == kAudioProcessPropertyPID || selector == kAudioProcessPropertyIsRunningOutput
               || (selector == kRavletProcessPropertyApplicationName && !facts.applicationName.isEmpty())
               || (selector == kRavletProcessPropertyBinary && !facts.binary.isEmpty())
               || (selector == kRavletProcessPropertyIconName && !facts.iconName.isEmpty())
               || (selector == kRavletProcessPropertyOutputDevice
                   && process(object)->outputDevice != kAudioObjectUnknown)
               || (selector == kRavletProcessPropertyOwnVolume && process(object)->ownVolume != 1.0f));
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
        reply.bytes = idsOfMap(devices);
        break;
    case kAudioHardwarePropertyProcessObjectList: {
        std::vector<AudioObjectID> known;
        for (const auto& entry : processes) {
            if (knownProcess(entry.first))
                known.push_back(entry.first);
        }
        reply.list = true;
        reply.bytes = idsOf(known);
        break;
    }
    case kAudioHardwarePropertyTranslatePIDToProcessObject: {
        // Asking for the size needs the pid too, as both calls share this path.
        if (qualifierSize != sizeof(Pid))
            return kAudioHardwareBadPropertySizeError;
        if (!qualifier)
            return kAudioHardwareIllegalOperationError;
        Pid pid = 0;
        std::memcpy(&pid, qualifier, sizeof pid);
        // Core Audio keeps one process object per process and does not say
        // which object the translation gives when there are two.
        if (const auto objects = std::count_if(processes.begin(), processes.end(),
                                               [this, pid](const auto& entry) {
                                                   return entry.second.pid == pid && knownProcess(entry.first);
                                               });
            objects > 1)
            doubtful.append(QStringLiteral("translated pid %1, which has %2 process objects").arg(pid).arg(objects));
        reply.bytes = bytesOf(knownProcessObject(pid));
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
    case kAudioDevicePropertyMute:
        reply.bytes = bytesOf(UInt32(*device(object)->spec.muted ? 1 : 0));
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
    case kRavletProcessPropertyOutputDevice:
        reply.bytes = bytesOf(process(object)->outputDevice);
        break;
    case kRavletProcessPropertyOwnVolume:
        reply.bytes = bytesOf(process(object)->ownVolume);
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
    // As a sound server does, a process can be sent to an output device, or
    // back to the default with none; where processes cannot be moved (as on
    // Core Audio) the property stays unknown.
    if (address.mSelector == kRavletProcessPropertyOutputDevice && process(object)) {
        if (!processesRoutable || address.mScope != kAudioObjectPropertyScopeGlobal
            || address.mElement != kAudioObjectPropertyElementMain)
            return kAudioHardwareUnknownPropertyError;
        if (!data)
            return kAudioHardwareIllegalOperationError;
        AudioObjectID wanted = kAudioObjectUnknown;
        if (dataSize != sizeof wanted)
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(&wanted, data, sizeof wanted);
        if (wanted != kAudioObjectUnknown && (!device(wanted) || !hasOutput(device(wanted)->spec)))
            return kAudioHardwareBadDeviceError;
        processes.at(object).outputDevice = wanted;
        return kAudioHardwareNoError;
    }
    if (const OSStatus status = check(object, address))
        return status;
    const AudioObjectPropertySelector selector = address.mSelector;
    if (selector != kAudioHardwarePropertyDefaultOutputDevice && selector != kAudioDevicePropertyVolumeScalar
        && selector != kAudioDevicePropertyMute)
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

    if (selector == kAudioDevicePropertyMute) {
        UInt32 muted = 0;
        if (dataSize != sizeof muted)
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(&muted, data, sizeof muted);
        // Drivers take any value but 0 for muted.
        device(object)->spec.muted = muted != 0;
        return kAudioHardwareNoError;
    }

    Float32 volume = 0;
    if (dataSize < sizeof volume)
        return kAudioHardwareBadPropertySizeError;
    std::memcpy(&volume, data, sizeof volume);
    // A NaN has no place on the control; clamping would pass it through.
    if (std::isnan(volume))
        return kAudioHardwareIllegalOperationError;
    // The volume scalar's "range is between 0.0 and 1.0 (inclusive)", and
    // "setting a scalar value will result in the control taking on the value
    // nearest to what was set" (Core Audio, volumeScalarValue).
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
    return reply.deliver(ioDataSize, outData, m->sizeOverride(object, address));
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
