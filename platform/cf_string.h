#pragma once

// String references as the hardware layer hands them out: an opaque,
// reference-counted, immutable UTF-8 string that the caller releases. A macOS
// build replaces this file with CoreFoundation's CFStringRef.

#include <string>
#include <string_view>

struct __RavletCFString;
using CFStringRef = const __RavletCFString*;

// Returns a new reference (retain count 1).
CFStringRef cfStringFromUtf8(std::string_view text);
CFStringRef CFRetain(CFStringRef string);
void CFRelease(CFStringRef string);
std::string utf8FromCFString(CFStringRef string);

// Strings created and not yet released; lets tests prove nothing leaks.
long liveCFObjectCount();
