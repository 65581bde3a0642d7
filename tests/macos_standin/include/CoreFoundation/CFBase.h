#pragma once

// Stand-in for <CoreFoundation/CFBase.h>: the base types, the allocator and
// the reference counts. Each stand-in of CoreFoundation declares exactly
// what the macOS sources use, in the header where Apple declares it, with
// Apple's names and signatures (core_foundation_standin.cpp answers);
// pages are under https://developer.apple.com/documentation/corefoundation/.

#include <MacTypes.h>

#ifdef __cplusplus
#define CF_EXTERN_C_BEGIN extern "C" {
#define CF_EXTERN_C_END }
#else
#define CF_EXTERN_C_BEGIN
#define CF_EXTERN_C_END
#endif

CF_EXTERN_C_BEGIN

// cftyperef, cftypeid, cfindex, cfallocator, kcfallocatordefault
typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;
typedef long CFIndex;
typedef const struct __CFAllocator* CFAllocatorRef;
extern const CFAllocatorRef kCFAllocatorDefault;
// cfpropertylistref, cfstring
typedef CFTypeRef CFPropertyListRef;
typedef const struct __CFString* CFStringRef;

// cfretain(_:), cfrelease(_:), cfgettypeid(_:)
CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);

CF_EXTERN_C_END
