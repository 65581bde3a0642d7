#pragma once

// The data shapes of the Core Audio hardware layer, spelled as Core Audio
// spells them. A macOS build takes them from <CoreAudio/AudioHardware.h>;
// elsewhere they are declared here with Core Audio's names, types and values,
// and every caller stays the same.

#include <cstdint>

constexpr std::uint32_t fourCharCode(const char (&code)[5])
{
    return (std::uint32_t(static_cast<unsigned char>(code[0])) << 24)
         | (std::uint32_t(static_cast<unsigned char>(code[1])) << 16)
         | (std::uint32_t(static_cast<unsigned char>(code[2])) << 8)
         | std::uint32_t(static_cast<unsigned char>(code[3]));
}

#if defined(RAVLET_APPLE_FRAMEWORKS)
#include <CoreAudio/AudioHardware.h>
#else

using UInt32 = std::uint32_t;
using SInt32 = std::int32_t;
using Float32 = float;
using Float64 = double;

using OSStatus = std::int32_t;
using AudioObjectID = std::uint32_t;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};

constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;

constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCharCode("inpt");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = fourCharCode("outp");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice = fourCharCode("dOut");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyProcessObjectList = fourCharCode("prs#");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyTranslatePIDToProcessObject = fourCharCode("id2p");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = fourCharCode("dev#");
constexpr AudioObjectPropertySelector kAudioProcessPropertyPID = fourCharCode("ppid");
constexpr AudioObjectPropertySelector kAudioProcessPropertyIsRunningOutput = fourCharCode("piro");
constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamConfiguration = fourCharCode("slay");
constexpr AudioObjectPropertySelector kAudioObjectPropertyName = fourCharCode("lnam");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
constexpr AudioObjectPropertySelector kAudioTapPropertyUID = fourCharCode("tuid");
constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = fourCharCode("tfmt");
constexpr AudioObjectPropertySelector kAudioDevicePropertyVolumeScalar = fourCharCode("volm");
// A UInt32, 1 while the device is muted and 0 while it is not.
constexpr AudioObjectPropertySelector kAudioDevicePropertyMute = fourCharCode("mute");

// Status codes, with Core Audio's values.
constexpr OSStatus kAudioHardwareNoError = 0;
constexpr OSStatus kAudioHardwareNotRunningError = OSStatus(fourCharCode("stop"));
constexpr OSStatus kAudioHardwareUnspecifiedError = OSStatus(fourCharCode("what"));
constexpr OSStatus kAudioHardwareUnknownPropertyError = OSStatus(fourCharCode("who?"));
constexpr OSStatus kAudioHardwareBadPropertySizeError = OSStatus(fourCharCode("!siz"));
constexpr OSStatus kAudioHardwareIllegalOperationError = OSStatus(fourCharCode("nope"));
constexpr OSStatus kAudioHardwareBadObjectError = OSStatus(fourCharCode("!obj"));
constexpr OSStatus kAudioHardwareBadDeviceError = OSStatus(fourCharCode("!dev"));
constexpr OSStatus kAudioHardwareBadStreamError = OSStatus(fourCharCode("!str"));
constexpr OSStatus kAudioHardwareUnsupportedOperationError = OSStatus(fourCharCode("unop"));
constexpr OSStatus kAudioDeviceUnsupportedFormatError = OSStatus(fourCharCode("!dat"));
constexpr OSStatus kAudioDevicePermissionsError = OSStatus(fourCharCode("!hog"));

struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
};

// Variable length: mNumberBuffers entries follow, the first one declared here.
struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
};

struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    UInt32 mFormatID;
    UInt32 mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

constexpr UInt32 kAudioFormatLinearPCM = fourCharCode("lpcm");
constexpr UInt32 kAudioFormatFlagIsFloat = 1u << 0;
constexpr UInt32 kAudioFormatFlagIsPacked = 1u << 3;
constexpr UInt32 kAudioFormatFlagIsNonInterleaved = 1u << 5;

struct SMPTETime {
    std::int16_t mSubframes;
    std::int16_t mSubframeDivisor;
    UInt32 mCounter;
    UInt32 mType;
    UInt32 mFlags;
    std::int16_t mHours;
    std::int16_t mMinutes;
    std::int16_t mSeconds;
    std::int16_t mFrames;
};

struct AudioTimeStamp {
    Float64 mSampleTime;
    std::uint64_t mHostTime;
    Float64 mRateScalar;
    std::uint64_t mWordClockTime;
    SMPTETime mSMPTETime;
    UInt32 mFlags;
    UInt32 mReserved;
};
static_assert(sizeof(AudioTimeStamp) == 64);

// AudioTimeStamp flags
constexpr UInt32 kAudioTimeStampSampleTimeValid = 1u << 0;
constexpr UInt32 kAudioTimeStampHostTimeValid = 1u << 1;
constexpr UInt32 kAudioTimeStampRateScalarValid = 1u << 2;

// Keys of an aggregate device's description dictionary.
inline constexpr const char* kAudioAggregateDeviceNameKey = "name";
inline constexpr const char* kAudioAggregateDeviceUIDKey = "uid";
inline constexpr const char* kAudioAggregateDeviceMainSubDeviceKey = "master";
inline constexpr const char* kAudioAggregateDeviceIsPrivateKey = "private";
inline constexpr const char* kAudioAggregateDeviceIsStackedKey = "stacked";
inline constexpr const char* kAudioAggregateDeviceTapAutoStartKey = "tapautostart";
inline constexpr const char* kAudioAggregateDeviceSubDeviceListKey = "subdevices";
inline constexpr const char* kAudioAggregateDeviceTapListKey = "taps";
inline constexpr const char* kAudioSubDeviceUIDKey = "uid";
inline constexpr const char* kAudioSubTapUIDKey = "uid";
inline constexpr const char* kAudioSubTapDriftCompensationKey = "drift";

#endif

constexpr bool operator==(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b)
{
    return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

constexpr UInt32 audioBufferListSize(UInt32 buffers)
{
    return UInt32(sizeof(AudioBufferList) - sizeof(AudioBuffer) + sizeof(AudioBuffer) * (buffers ? buffers : 1));
}

// What a tap does to the processes it taps, with the values of Core Audio's
// CATapMuteBehavior (an Objective-C enumeration there, so named ours here).
constexpr int kTapUnmuted = 0;
constexpr int kTapMuted = 1;
constexpr int kTapMutedWhenTapped = 2;
