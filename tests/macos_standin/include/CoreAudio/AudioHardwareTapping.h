#pragma once

// Stand-in for <CoreAudio/AudioHardwareTapping.h>: making and destroying
// process taps (macOS 14.2). Neither CoreAudio.h nor CATapDescription.h
// includes Apple's, so a source calling these imports it itself; as there,
// only Objective-C sees them.

#ifdef __OBJC__

#include <CoreAudio/AudioHardware.h>

@class CATapDescription;

CF_EXTERN_C_BEGIN

// audiohardwarecreateprocesstap(_:_:), audiohardwaredestroyprocesstap(_:)
OSStatus AudioHardwareCreateProcessTap(CATapDescription* inDescription, AudioObjectID* outTapID);
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID);

CF_EXTERN_C_END

#endif
