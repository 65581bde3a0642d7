#pragma once

#include "core_audio_types.h"

// Ours, not Core Audio's: what a Linux audio server states about the client
// behind a process object (CFString each). Core Audio answers "unknown
// property" for them, so a macOS build needs nothing to forward.
constexpr AudioObjectPropertySelector kRavletProcessPropertyApplicationName = fourCharCode("Rapn");
constexpr AudioObjectPropertySelector kRavletProcessPropertyBinary = fourCharCode("Rbin");
constexpr AudioObjectPropertySelector kRavletProcessPropertyIconName = fourCharCode("Ricn");
// Also ours: the output device (an AudioObjectID) the process plays on when
// it has been sent to one, by the user (here or in another program) or by
// itself, other than the default output device. Unknown property while it
// follows the default, or when it cannot be told; so on Core Audio every
// process plays on the default. Settable where the server can move streams:
// a device sends the process's streams there, kAudioObjectUnknown back to
// the default; a stream a tap holds keeps playing into the mix, and the
// device is where it goes once released (and what the read reports). A
// device that is not an output is kAudioHardwareBadDeviceError. Where it
// cannot be set (Core Audio), it stays an unknown property, and a process
// is routed by tapping it into an aggregate device on its device.
constexpr AudioObjectPropertySelector kRavletProcessPropertyOutputDevice = fourCharCode("Rdev");
// Also ours: the level (a Float32, linear, 0 when muted) the server applies
// to the process's own streams on top of whatever plays them, as another
// program (the user's desktop mixer, the application itself) set it: the
// loudest of its streams. Unknown property while that is unity, and on Core
// Audio, which has none.
constexpr AudioObjectPropertySelector kRavletProcessPropertyOwnVolume = fourCharCode("Rvol");
