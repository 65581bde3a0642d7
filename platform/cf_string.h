#pragma once

// Strings as the hardware layer hands them out: CoreFoundation's CFStringRef,
// a reference the caller releases. Only functions CoreFoundation has are used
// on them, so a macOS build takes <CoreFoundation/CoreFoundation.h> here;
// elsewhere mini_core_foundation.h declares the same few functions.

#if defined(RAVLET_APPLE_FRAMEWORKS)
#include <CoreFoundation/CoreFoundation.h>
#else
#include "mini_core_foundation.h"
#endif

#include <string>
#include <string_view>

// A new string (retain count 1) holding utf8, or null when utf8 is not UTF-8.
CFStringRef cfStringFromUtf8(std::string_view utf8);
// The UTF-8 of string; empty for null.
std::string utf8FromCFString(CFStringRef string);
