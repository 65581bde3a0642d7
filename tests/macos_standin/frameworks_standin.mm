// The stand-in frameworks' Objective-C side and the Core Audio calls: each
// answered by the simulated hardware and process table a test attached.

#include "standin.h"

#include "cf_property_list.h"
#include "simulated_audio_hardware.h"
#include "simulated_process_inspector.h"

#import <AVFoundation/AVFoundation.h>
#import <CoreAudio/AudioHardware.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <Foundation/Foundation.h>

#include <Block.h>
#include <libproc.h>
#include <os/log.h>

#include <atomic>
#include <cstdarg>
#include <set>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

SimulatedAudioHardware* hardware = nullptr;
SimulatedProcessInspector* processTable = nullptr;
std::atomic<long> liveObjects{0};

// An I/O procedure as handed out: the simulation's id and the copied block.
struct IOProcRecord {
    DeviceIOProcID simulated = nullptr;
    AudioDeviceIOBlock block = nullptr;
};

IOProcRecord* recordOf(AudioDeviceIOProcID id)
{
    return reinterpret_cast<IOProcRecord*>(id);
}

// A Core Audio call answered by the attached simulation, if there is one.
template <typename Call>
OSStatus onHardware(Call call)
{
    return hardware ? call(*hardware) : OSStatus(kAudioHardwareNotRunningError);
}

// Procedures not destroyed yet. One whose destroy was refused stays here to
// the end, as Core Audio keeps it, with the block it may still run.
std::set<IOProcRecord*> ioProcRecords;

} // namespace

namespace standin {

void setHardware(SimulatedAudioHardware* simulated) { hardware = simulated; }
void setProcessTable(SimulatedProcessInspector* processes) { processTable = processes; }
long liveStandinObjects() { return liveObjects.load(); }

} // namespace standin

@implementation CATapDescription
@synthesize name = _name;
@synthesize processes = _processes;
@synthesize UUID = _UUID;
@synthesize muteBehavior = _muteBehavior;
@synthesize privateTap = _privateTap;
@synthesize mixdown = _mixdown;
@synthesize mono = _mono;

- (instancetype)initStereoMixdownOfProcesses:(NSArray*)processesObjectIDsToIncludeInTap
{
    if ((self = [super init])) {
        ++liveObjects;
        _processes = [processesObjectIDsToIncludeInTap copy];
        _name = [@"" copy];
        _UUID = [[NSUUID alloc] init];
        _mixdown = YES;
    }
    return self;
}

- (void)dealloc
{
    --liveObjects;
    [_name release];
    [_processes release];
    [_UUID release];
    [super dealloc];
}
@end

AVMediaType const AVMediaTypeAudio = @"soun";

@implementation AVCaptureDevice
+ (AVAuthorizationStatus)authorizationStatusForMediaType:(AVMediaType)mediaType
{
    if (!hardware || ![mediaType isEqualToString:AVMediaTypeAudio])
        return AVAuthorizationStatusNotDetermined;
    return AVAuthorizationStatus(hardware->audioCaptureAuthorizationStatus());
}
@end

// Taps came with macOS 14.2: the simulation's support for them decides
// whether this system is 14.2 or 14.1.
@implementation NSProcessInfo (StandinOperatingSystemVersion)
- (BOOL)isOperatingSystemAtLeastVersion:(NSOperatingSystemVersion)version
{
    const NSInteger minor = hardware && hardware->processTapsSupported() ? 2 : 1;
    if (version.majorVersion != 14)
        return version.majorVersion < 14;
    return version.minorVersion <= minor;
}
@end

// The file manager's names come from the simulated process table.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wobjc-protocol-method-implementation"
@implementation NSFileManager (StandinDisplayName)
- (NSString*)displayNameAtPath:(NSString*)path
{
    const QString name = processTable ? processTable->displayNameAtPath(QString::fromUtf8([path UTF8String]))
                                      : QString();
    return [NSString stringWithUTF8String:name.toUtf8().constData()];
}
@end
#pragma clang diagnostic pop

extern "C" {

int proc_pidpath(int pid, void* buffer, std::uint32_t buffersize)
{
    return processTable ? processTable->pidPath(pid, static_cast<char*>(buffer), buffersize) : 0;
}

// The private lookup, exported for dlsym; a pid without one answers itself.
__attribute__((visibility("default"))) int responsibility_get_pid_responsible_for_pid(int pid)
{
    if (!processTable || !processTable->hasResponsibilityLookup())
        return pid;
    const int responsible = processTable->responsiblePid(pid);
    return responsible > 0 ? responsible : pid;
}

void ravlet_standin_os_log(os_log_t, const char* format, ...)
{
    std::string plain(format);
    for (std::size_t at; (at = plain.find("{public}")) != std::string::npos;)
        plain.erase(at, 8);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, (plain + "\n").c_str(), arguments);
    va_end(arguments);
}

Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress)
{
    return hardware && hardware->hasProperty(inObjectID, *inAddress);
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* outDataSize)
{
    return onHardware([&](SimulatedAudioHardware& hw) {
        return hw.getPropertyDataSize(inObjectID, *inAddress, inQualifierDataSize, inQualifierData, outDataSize);
    });
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize,
                                    void* outData)
{
    return onHardware([&](SimulatedAudioHardware& hw) {
        return hw.getPropertyData(inObjectID, *inAddress, inQualifierDataSize, inQualifierData, ioDataSize, outData);
    });
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                    const void* inData)
{
    return onHardware([&](SimulatedAudioHardware& hw) {
        return hw.setPropertyData(inObjectID, *inAddress, inQualifierDataSize, inQualifierData, inDataSize, inData);
    });
}

OSStatus AudioHardwareCreateProcessTap(CATapDescription* inDescription, AudioObjectID* outTapID)
{
    if (!hardware)
        return kAudioHardwareNotRunningError;
    if (!inDescription)
        return kAudioHardwareIllegalOperationError;
    ProcessTapDescription description;
    for (NSNumber* process in inDescription.processes)
        description.processes.push_back([process unsignedIntValue]);
    description.stereoMixdown = inDescription.isMixdown && !inDescription.isMono;
    description.name = QString::fromUtf8([inDescription.name UTF8String]);
    description.uuid = QUuid::fromString(QString::fromUtf8([[inDescription.UUID UUIDString] UTF8String]));
    description.muteBehavior = int(inDescription.muteBehavior);
    description.isPrivate = inDescription.isPrivate;
    return hardware->createProcessTap(description, outTapID);
}

OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID)
{
    return onHardware([&](SimulatedAudioHardware& hw) { return hw.destroyProcessTap(inTapID); });
}

namespace {

// Core Audio documents the aggregate's switches as CFNumbers; a CFBoolean is
// another type, which it need not take for one. CFNumbers arrive as doubles.
bool switchesAreNumbers(const QVariantMap& description)
{
    const auto number = [](const QVariantMap& map, const char* key) {
        const QVariant value = map.value(QLatin1String(key));
        return !value.isValid() || value.typeId() == QMetaType::Double;
    };
    bool numbers = number(description, kAudioAggregateDeviceIsPrivateKey)
        && number(description, kAudioAggregateDeviceIsStackedKey)
        && number(description, kAudioAggregateDeviceTapAutoStartKey);
    for (const QVariant& tap : description.value(QLatin1String(kAudioAggregateDeviceTapListKey)).toList())
        numbers = numbers && number(tap.toMap(), kAudioSubTapDriftCompensationKey);
    return numbers;
}

} // namespace

OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription, AudioObjectID* outDeviceID)
{
    if (!hardware)
        return kAudioHardwareNotRunningError;
    const std::optional<QVariant> description = variantFromPropertyList(inDescription);
    if (!description || description->typeId() != QMetaType::QVariantMap || !switchesAreNumbers(description->toMap()))
        return kAudioHardwareIllegalOperationError;
    return hardware->createAggregateDevice(description->toMap(), outDeviceID);
}

OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID)
{
    return onHardware([&](SimulatedAudioHardware& hw) { return hw.destroyAggregateDevice(inDeviceID); });
}

// As Core Audio documents: the block is Block_copy'd and kept until the
// matching AudioDeviceDestroyIOProcID.
OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                            dispatch_queue_t inDispatchQueue, AudioDeviceIOBlock inIOBlock)
{
    if (!hardware)
        return kAudioHardwareNotRunningError;
    if (!outIOProcID || !inIOBlock)
        return kAudioHardwareIllegalOperationError;
    auto* record = new IOProcRecord;
    record->block = Block_copy(inIOBlock);
    const AudioDeviceIOBlock block = record->block;
    const OSStatus status = hardware->createIOProcIDWithBlock(
        &record->simulated, inDevice, reinterpret_cast<DeviceIOQueue>(inDispatchQueue),
        [block](const AudioTimeStamp* now, const AudioBufferList* input, const AudioTimeStamp* inputTime,
                AudioBufferList* output, const AudioTimeStamp* outputTime) {
            block(now, input, inputTime, output, outputTime);
        });
    if (status != kAudioHardwareNoError || !record->simulated) {
        Block_release(record->block);
        delete record;
        *outIOProcID = nullptr;
        return status;
    }
    ioProcRecords.insert(record);
    // Core Audio's ids are opaque values of a function pointer type; this one
    // is never called.
    *outIOProcID = reinterpret_cast<AudioDeviceIOProcID>(record);
    return status;
}

OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID)
{
    if (!hardware)
        return kAudioHardwareNotRunningError;
    IOProcRecord* record = recordOf(inIOProcID);
    const OSStatus status = hardware->destroyIOProcID(inDevice, record ? record->simulated : nullptr);
    if (status == kAudioHardwareNoError && record) {
        ioProcRecords.erase(record);
        Block_release(record->block);
        delete record;
    }
    return status;
}

OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID)
{
    return onHardware([&](SimulatedAudioHardware& hw) {
        return hw.deviceStart(inDevice, inProcID ? recordOf(inProcID)->simulated : nullptr);
    });
}

OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID)
{
    return onHardware([&](SimulatedAudioHardware& hw) {
        return hw.deviceStop(inDevice, inProcID ? recordOf(inProcID)->simulated : nullptr);
    });
}

} // extern "C"
