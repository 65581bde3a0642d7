#pragma once

#include "core_audio_types.h"

// Ours, not Core Audio's: what a Linux audio server states about the client
// behind a process object (CFString each). Core Audio answers "unknown
// property" for them, so a macOS build needs nothing to forward.
constexpr AudioObjectPropertySelector kRavletProcessPropertyApplicationName = fourCharCode("Rapn");
constexpr AudioObjectPropertySelector kRavletProcessPropertyBinary = fourCharCode("Rbin");
constexpr AudioObjectPropertySelector kRavletProcessPropertyIconName = fourCharCode("Ricn");
