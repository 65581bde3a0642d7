#pragma once

// Stand-in for <CoreAudio/AudioHardware.h>: the system object, the
// selectors declared here, the aggregate description's keys, I/O procedures
// and the property and device calls. What Apple's header takes from
// AudioHardwareBase.h, CoreAudioTypes and CoreFoundation comes from their
// stand-ins, as there.

#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreAudio/AudioHardwareBase.h>
#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

CF_EXTERN_C_BEGIN

// kaudioobjectsystemobject
enum : AudioObjectID { kAudioObjectSystemObject = 1 };

// The selectors of this header, each on its page of the same name
enum : AudioObjectPropertySelector {
    kAudioHardwarePropertyDevices = 'dev#',
    kAudioHardwarePropertyDefaultOutputDevice = 'dOut',
    kAudioHardwarePropertyProcessObjectList = 'prs#',
    kAudioHardwarePropertyTranslatePIDToProcessObject = 'id2p',
    kAudioProcessPropertyPID = 'ppid',
    kAudioProcessPropertyIsRunningOutput = 'piro',
    kAudioDevicePropertyStreamConfiguration = 'slay',
    kAudioDevicePropertyVolumeScalar = 'volm',
    kAudioDevicePropertyMute = 'mute',
    kAudioTapPropertyUID = 'tuid',
    kAudioTapPropertyFormat = 'tfmt',
};

// The aggregate device description's keys (kaudioaggregatedeviceuidkey and
// siblings). The values of private, stacked, tapautostart and drift are
// documented as CFNumbers.
#define kAudioAggregateDeviceUIDKey "uid"
#define kAudioAggregateDeviceNameKey "name"
#define kAudioAggregateDeviceMainSubDeviceKey "master"
#define kAudioAggregateDeviceIsPrivateKey "private"
#define kAudioAggregateDeviceIsStackedKey "stacked"
#define kAudioAggregateDeviceTapAutoStartKey "tapautostart"
#define kAudioAggregateDeviceSubDeviceListKey "subdevices"
#define kAudioAggregateDeviceTapListKey "taps"
#define kAudioSubDeviceUIDKey "uid"
#define kAudioSubTapUIDKey "uid"
#define kAudioSubTapDriftCompensationKey "drift"

// audiodeviceioproc, audiodeviceioprocid
typedef OSStatus (*AudioDeviceIOProc)(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                                      const AudioBufferList* inInputData, const AudioTimeStamp* inInputTime,
                                      AudioBufferList* outOutputData, const AudioTimeStamp* inOutputTime,
                                      void* inClientData);
typedef AudioDeviceIOProc AudioDeviceIOProcID;

#if defined(__BLOCKS__)
// audiodeviceioblock
typedef void (^AudioDeviceIOBlock)(const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                                   const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
                                   const AudioTimeStamp* inOutputTime);
// audiodevicecreateioprocidwithblock(_:_:_:_:)
OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                            dispatch_queue_t inDispatchQueue, AudioDeviceIOBlock inIOBlock);
#endif

// audioobjecthasproperty(_:_:)
Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress);
// audioobjectgetpropertydatasize(_:_:_:_:_:)
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize);
// audioobjectgetpropertydata(_:_:_:_:_:_:)
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize,
                                    void* outData);
// audioobjectsetpropertydata(_:_:_:_:_:_:)
OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                    const void* inData);
// audiohardwarecreateaggregatedevice(_:_:)
OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription, AudioObjectID* outDeviceID);
// audiohardwaredestroyaggregatedevice(_:)
OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID);
// audiodevicedestroyioprocid(_:_:)
OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID);
// audiodevicestart(_:_:), audiodevicestop(_:_:)
OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);
OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);

CF_EXTERN_C_END
