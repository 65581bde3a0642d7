#pragma once

// Stand-in for <CoreFoundation/CoreFoundation.h>: the property-list types
// with reference counts, and the preferences calls on an in-memory domain
// (core_foundation_standin.cpp). Exactly what the macOS sources use, with
// Apple's names and signatures; pages are under
// https://developer.apple.com/documentation/corefoundation/.

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// cftyperef, cftypeid, cfindex, cfallocator, kcfallocatordefault
typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;
typedef long CFIndex;
typedef const struct __CFAllocator* CFAllocatorRef;
extern const CFAllocatorRef kCFAllocatorDefault;
// cfpropertylistref
typedef CFTypeRef CFPropertyListRef;

typedef const struct __CFString* CFStringRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFData* CFDataRef;
typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;

// cfretain(_:), cfrelease(_:), cfgettypeid(_:), and each type's ...gettypeid()
CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
CFTypeID CFStringGetTypeID(void);
CFTypeID CFNumberGetTypeID(void);
CFTypeID CFBooleanGetTypeID(void);
CFTypeID CFDataGetTypeID(void);
CFTypeID CFArrayGetTypeID(void);
CFTypeID CFDictionaryGetTypeID(void);

// cfstringencoding, cfstringbuiltinencodings/utf8
typedef UInt32 CFStringEncoding;
enum : CFStringEncoding { kCFStringEncodingUTF8 = 0x08000100 };
// cfstringcreatewithbytes(_:_:_:_:_:), cfstringgetlength(_:),
// cfstringgetmaximumsizeforencoding(_:_:), cfstringgetcstring(_:_:_:_:)
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);

// cfnumbertype, cfnumbercreate(_:_:_:), cfnumbergetvalue(_:_:_:)
typedef CFIndex CFNumberType;
enum : CFNumberType { kCFNumberSInt32Type = 3, kCFNumberSInt64Type = 4, kCFNumberDoubleType = 13 };
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

// kcfbooleantrue, kcfbooleanfalse, cfbooleangetvalue(_:)
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
Boolean CFBooleanGetValue(CFBooleanRef boolean);

// cfdatacreate(_:_:_:), cfdatagetlength(_:), cfdatagetbyteptr(_:)
CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length);
CFIndex CFDataGetLength(CFDataRef theData);
const UInt8* CFDataGetBytePtr(CFDataRef theData);

// cfarraycallbacks, kcftypearraycallbacks: the sources only pass the
// retaining callbacks, which is all this stand-in knows.
typedef struct CFArrayCallBacks {
    CFIndex version;
    const void* retain;
    const void* release;
    const void* copyDescription;
    const void* equal;
} CFArrayCallBacks;
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
// cfarraycreatemutable(_:_:_:), cfarrayappendvalue(_:_:), cfarraygetcount(_:), cfarraygetvalueatindex(_:_:)
CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity, const CFArrayCallBacks* callBacks);
void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value);
CFIndex CFArrayGetCount(CFArrayRef theArray);
const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);

// cfdictionarykeycallbacks, cfdictionaryvaluecallbacks and their kcftype... constants
typedef struct CFDictionaryKeyCallBacks {
    CFIndex version;
    const void* retain;
    const void* release;
    const void* copyDescription;
    const void* equal;
    const void* hash;
} CFDictionaryKeyCallBacks;
typedef struct CFDictionaryValueCallBacks {
    CFIndex version;
    const void* retain;
    const void* release;
    const void* copyDescription;
    const void* equal;
} CFDictionaryValueCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
// cfdictionarycreatemutable(_:_:_:_:), cfdictionarysetvalue(_:_:_:),
// cfdictionarygetcount(_:), cfdictionarygetkeysandvalues(_:_:_:)
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks);
void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value);
CFIndex CFDictionaryGetCount(CFDictionaryRef theDict);
void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values);

// cfpreferencescopyappvalue(_:_:), cfpreferencessetappvalue(_:_:_:), cfpreferencesappsynchronize(_:)
CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID);
void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID);
Boolean CFPreferencesAppSynchronize(CFStringRef applicationID);

#ifdef __cplusplus
}
#endif
