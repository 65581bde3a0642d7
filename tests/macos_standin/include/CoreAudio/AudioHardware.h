#pragma once

// Stand-in for <CoreAudio/AudioHardware.h> (with what it takes from
// AudioHardwareBase.h and CoreAudioTypes.h): exactly the declarations the
// macOS sources use, with Apple's names, types and four-character codes.
// Calls are answered by the simulated hardware (audio_hardware_standin.mm).
// Pages are under https://developer.apple.com/documentation/coreaudio/.

#include <CoreFoundation/CoreFoundation.h>
#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// audioobjectid, audioobjectpropertyselector, -scope, -element
typedef UInt32 AudioObjectID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

// audioobjectpropertyaddress
typedef struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
} AudioObjectPropertyAddress;

// kaudioobjectunknown, kaudioobjectsystemobject
enum : AudioObjectID { kAudioObjectUnknown = 0, kAudioObjectSystemObject = 1 };

// kaudioobjectpropertyscopeglobal (-input, -output), kaudioobjectpropertyelementmain
enum : AudioObjectPropertyScope {
    kAudioObjectPropertyScopeGlobal = 'glob',
    kAudioObjectPropertyScopeInput = 'inpt',
    kAudioObjectPropertyScopeOutput = 'outp',
};
enum : AudioObjectPropertyElement { kAudioObjectPropertyElementMain = 0 };

// The selectors, each on its page of the same name
enum : AudioObjectPropertySelector {
    kAudioObjectPropertyName = 'lnam',
    kAudioHardwarePropertyDevices = 'dev#',
    kAudioHardwarePropertyDefaultOutputDevice = 'dOut',
    kAudioHardwarePropertyProcessObjectList = 'prs#',
    kAudioHardwarePropertyTranslatePIDToProcessObject = 'id2p',
    kAudioProcessPropertyPID = 'ppid',
    kAudioProcessPropertyIsRunningOutput = 'piro',
    kAudioDevicePropertyDeviceUID = 'uid ',
    kAudioDevicePropertyStreamConfiguration = 'slay',
    kAudioDevicePropertyVolumeScalar = 'volm',
    kAudioDevicePropertyMute = 'mute',
    kAudioTapPropertyUID = 'tuid',
    kAudioTapPropertyFormat = 'tfmt',
};

// Core Audio's statuses (kaudiohardwarenoerror and the pages beside it)
enum : OSStatus {
    kAudioHardwareNoError = 0,
    kAudioHardwareNotRunningError = 'stop',
    kAudioHardwareUnspecifiedError = 'what',
    kAudioHardwareUnknownPropertyError = 'who?',
    kAudioHardwareBadPropertySizeError = '!siz',
    kAudioHardwareIllegalOperationError = 'nope',
    kAudioHardwareBadObjectError = '!obj',
    kAudioHardwareBadDeviceError = '!dev',
    kAudioHardwareBadStreamError = '!str',
    kAudioHardwareUnsupportedOperationError = 'unop',
    kAudioDeviceUnsupportedFormatError = '!dat',
    kAudioDevicePermissionsError = '!hog',
};

// audiobuffer, audiobufferlist
typedef struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
} AudioBuffer;
typedef struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
} AudioBufferList;

// audiostreambasicdescription, kaudioformatlinearpcm, kaudioformatflagisfloat (and siblings)
typedef struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    UInt32 mFormatID;
    UInt32 mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
} AudioStreamBasicDescription;
enum : UInt32 { kAudioFormatLinearPCM = 'lpcm' };
enum : UInt32 {
    kAudioFormatFlagIsFloat = 1u << 0,
    kAudioFormatFlagIsPacked = 1u << 3,
    kAudioFormatFlagIsNonInterleaved = 1u << 5,
};

// smptetime, audiotimestamp, kaudiotimestampsampletimevalid (and siblings)
typedef struct SMPTETime {
    SInt16 mSubframes;
    SInt16 mSubframeDivisor;
    UInt32 mCounter;
    UInt32 mType;
    UInt32 mFlags;
    SInt16 mHours;
    SInt16 mMinutes;
    SInt16 mSeconds;
    SInt16 mFrames;
} SMPTETime;
typedef struct AudioTimeStamp {
    Float64 mSampleTime;
    UInt64 mHostTime;
    Float64 mRateScalar;
    UInt64 mWordClockTime;
    SMPTETime mSMPTETime;
    UInt32 mFlags;
    UInt32 mReserved;
} AudioTimeStamp;
enum : UInt32 {
    kAudioTimeStampSampleTimeValid = 1u << 0,
    kAudioTimeStampHostTimeValid = 1u << 1,
    kAudioTimeStampRateScalarValid = 1u << 2,
};

// The aggregate device description's keys (kaudioaggregatedeviceuidkey and siblings)
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

// https://developer.apple.com/documentation/dispatch/dispatch_queue_t
typedef struct dispatch_queue_s* dispatch_queue_t;

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
// audiohardwaredestroyprocesstap(_:)
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID);
// audiohardwarecreateaggregatedevice(_:_:)
OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription, AudioObjectID* outDeviceID);
// audiohardwaredestroyaggregatedevice(_:)
OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID);
// audiodevicedestroyioprocid(_:_:)
OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID);
// audiodevicestart(_:_:), audiodevicestop(_:_:)
OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);
OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);

#ifdef __cplusplus
}
#endif

#if defined(__OBJC__)
@class CATapDescription;
// audiohardwarecreateprocesstap(_:_:)
extern "C" OSStatus AudioHardwareCreateProcessTap(CATapDescription* inDescription, AudioObjectID* outTapID);
#endif
