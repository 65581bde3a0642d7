#pragma once

// The few CoreFoundation functions the program uses, for systems without
// CoreFoundation: immutable strings with reference counts. Same names, types
// and behaviour as CoreFoundation's, so that callers build unchanged against
// the real header on macOS.

#include <cstdint>

using Boolean = unsigned char;
using UInt8 = std::uint8_t;
using CFIndex = long;
using CFStringEncoding = std::uint32_t;
using CFTypeRef = const void*;
struct MiniCFAllocator;
using CFAllocatorRef = const MiniCFAllocator*;
struct MiniCFString;
using CFStringRef = const MiniCFString*;

inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;
inline constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;

// Null when bytes are not valid in encoding (only UTF-8 is known here).
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
// In UTF-16 code units, as CoreFoundation counts.
CFIndex CFStringGetLength(CFStringRef string);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
// False when the string and its NUL do not fit in bufferSize bytes.
Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);
CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);

// Ours: strings created and not yet released, so tests can prove nothing leaks.
long liveCFObjectCount();
