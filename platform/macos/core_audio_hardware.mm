#include "core_audio_hardware.h"

#include "cf_property_list.h"

#import <AVFoundation/AVFoundation.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <Foundation/Foundation.h>

struct CoreAudioHardware::IOProc {
    AudioDeviceIOProcID coreAudioID = nullptr;
    DeviceIOBlock render;
};

CoreAudioHardware::CoreAudioHardware() = default;

CoreAudioHardware::~CoreAudioHardware()
{
    // What is left is an I/O procedure whose destroy Core Audio refused: its
    // block may still run, so what it reads is kept to the end of the
    // process rather than freed under it.
    static auto& kept = *new std::vector<std::unique_ptr<IOProc>>;
    for (auto& entry : m_ioProcs)
        kept.push_back(std::move(entry.second));
}

bool CoreAudioHardware::processTapsSupported() const
{
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    const NSOperatingSystemVersion taps = {14, 2, 0};
    const bool supported = [[NSProcessInfo processInfo] isOperatingSystemAtLeastVersion:taps];
    [pool drain];
    return supported;
}

long CoreAudioHardware::audioCaptureAuthorizationStatus() const
{
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    const long status = long([AVCaptureDevice authorizationStatusForMediaType:AVMediaTypeAudio]);
    [pool drain];
    return status;
}

bool CoreAudioHardware::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address)
{
    return AudioObjectHasProperty(object, &address);
}

OSStatus CoreAudioHardware::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                UInt32 qualifierSize, const void* qualifier, UInt32* outDataSize)
{
    return AudioObjectGetPropertyDataSize(object, &address, qualifierSize, qualifier, outDataSize);
}

OSStatus CoreAudioHardware::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            UInt32 qualifierSize, const void* qualifier, UInt32* ioDataSize,
                                            void* outData)
{
    return AudioObjectGetPropertyData(object, &address, qualifierSize, qualifier, ioDataSize, outData);
}

OSStatus CoreAudioHardware::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            UInt32 qualifierSize, const void* qualifier, UInt32 dataSize,
                                            const void* data)
{
    return AudioObjectSetPropertyData(object, &address, qualifierSize, qualifier, dataSize, data);
}

OSStatus CoreAudioHardware::createProcessTap(const ProcessTapDescription& description, AudioObjectID* outTapID)
{
    // A tap of processes still to come (by bundle, restored as they start)
    // is not asked of Core Audio here: one of no process would tap nothing,
    // so the engine is told, and taps only what plays.
    if (description.processes.empty())
        return kAudioHardwareIllegalOperationError;
    // Process taps came with 14.2; the app starts on 13.x, where these calls
    // are weakly linked and absent.
    if (@available(macOS 14.2, *)) {
        NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
        NSMutableArray* processes = [NSMutableArray arrayWithCapacity:description.processes.size()];
        for (const AudioObjectID process : description.processes)
            [processes addObject:[NSNumber numberWithUnsignedInt:process]];
        CATapDescription* tap = [[CATapDescription alloc] initStereoMixdownOfProcesses:processes];
        tap.mono = !description.stereoMixdown;
        tap.name = [NSString stringWithUTF8String:description.name.toUtf8().constData()];
        const QByteArray uuid = description.uuid.toString(QUuid::WithoutBraces).toLatin1();
        tap.UUID = [[[NSUUID alloc] initWithUUIDString:[NSString stringWithUTF8String:uuid.constData()]] autorelease];
        tap.muteBehavior = CATapMuteBehavior(description.muteBehavior);
        tap.privateTap = description.isPrivate;
        const OSStatus status = AudioHardwareCreateProcessTap(tap, outTapID);
        [tap release];
        [pool drain];
        return status;
    }
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus CoreAudioHardware::destroyProcessTap(AudioObjectID tapID)
{
    if (@available(macOS 14.2, *))
        return AudioHardwareDestroyProcessTap(tapID);
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus CoreAudioHardware::createAggregateDevice(const QVariantMap& description, AudioObjectID* outDeviceID)
{
    CFPropertyListRef dictionary = createPropertyList(description);
    if (!dictionary)
        return kAudioHardwareIllegalOperationError;
    const OSStatus status = AudioHardwareCreateAggregateDevice(static_cast<CFDictionaryRef>(dictionary), outDeviceID);
    CFRelease(dictionary);
    return status;
}

OSStatus CoreAudioHardware::destroyAggregateDevice(AudioObjectID deviceID)
{
    return AudioHardwareDestroyAggregateDevice(deviceID);
}

OSStatus CoreAudioHardware::createIOProcIDWithBlock(DeviceIOProcID* outIOProcID, AudioObjectID device,
                                                    DeviceIOQueue queue, DeviceIOBlock block)
{
    if (!outIOProcID)
        return kAudioHardwareIllegalOperationError;
    auto record = std::make_unique<IOProc>();
    record->render = std::move(block);
    // The block captures only a plain pointer: copying it retains nothing,
    // and running it on the real-time thread allocates, locks and releases
    // nothing beyond what the engine's render does.
    const DeviceIOBlock* render = &record->render;
    const OSStatus status = AudioDeviceCreateIOProcIDWithBlock(
        &record->coreAudioID, device, reinterpret_cast<dispatch_queue_t>(queue),
        ^(const AudioTimeStamp* now, const AudioBufferList* input, const AudioTimeStamp* inputTime,
          AudioBufferList* output, const AudioTimeStamp* outputTime) {
          (*render)(now, input, inputTime, output, outputTime);
        });
    if (status != kAudioHardwareNoError || !record->coreAudioID) {
        *outIOProcID = nullptr;
        return status;
    }
    const auto id = reinterpret_cast<DeviceIOProcID>(record.get());
    m_ioProcs.emplace(id, std::move(record));
    *outIOProcID = id;
    return status;
}

CoreAudioHardware::IOProc* CoreAudioHardware::find(DeviceIOProcID ioProcID) const
{
    const auto found = m_ioProcs.find(ioProcID);
    return found == m_ioProcs.end() ? nullptr : found->second.get();
}

OSStatus CoreAudioHardware::destroyIOProcID(AudioObjectID device, DeviceIOProcID ioProcID)
{
    IOProc* record = find(ioProcID);
    if (!record)
        return kAudioHardwareIllegalOperationError;
    const OSStatus status = AudioDeviceDestroyIOProcID(device, record->coreAudioID);
    // Once destroyed Core Audio runs the block no more; the record goes with
    // it. A refused destroy keeps it, since the block may still run.
    if (status == kAudioHardwareNoError)
        m_ioProcs.erase(ioProcID);
    return status;
}

OSStatus CoreAudioHardware::deviceStart(AudioObjectID device, DeviceIOProcID ioProcID)
{
    IOProc* record = find(ioProcID);
    return record ? AudioDeviceStart(device, record->coreAudioID) : kAudioHardwareIllegalOperationError;
}

OSStatus CoreAudioHardware::deviceStop(AudioObjectID device, DeviceIOProcID ioProcID)
{
    IOProc* record = find(ioProcID);
    return record ? AudioDeviceStop(device, record->coreAudioID) : kAudioHardwareIllegalOperationError;
}
