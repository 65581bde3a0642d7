#pragma once

// Stand-in for <CoreAudio/AudioHardwareBase.h>: the audio object's types and
// addresses, the selectors declared here and Core Audio's statuses, with
// Apple's names, types and four-character codes. Each CoreAudio stand-in
// declares exactly what the macOS sources use, in the header where Apple
// declares it; calls are answered by the simulated hardware
// (frameworks_standin.mm). Pages are under
// https://developer.apple.com/documentation/coreaudio/.

#include <CoreAudioTypes/CoreAudioTypes.h>

CF_EXTERN_C_BEGIN

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

// kaudioobjectunknown
enum : AudioObjectID { kAudioObjectUnknown = 0 };

// kaudioobjectpropertyscopeglobal (-input, -output), kaudioobjectpropertyelementmain
enum : AudioObjectPropertyScope {
    kAudioObjectPropertyScopeGlobal = 'glob',
    kAudioObjectPropertyScopeInput = 'inpt',
    kAudioObjectPropertyScopeOutput = 'outp',
};
enum : AudioObjectPropertyElement { kAudioObjectPropertyElementMain = 0 };

// The selectors of this header, each on its page of the same name
enum : AudioObjectPropertySelector {
    kAudioObjectPropertyName = 'lnam',
    kAudioDevicePropertyDeviceUID = 'uid ',
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

CF_EXTERN_C_END
