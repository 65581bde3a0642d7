#pragma once

// Stand-in for <CoreFoundation/CFString.h>.

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>

CF_EXTERN_C_BEGIN

// cfstringgettypeid(), cfstringencoding, cfstringbuiltinencodings/utf8
CFTypeID CFStringGetTypeID(void);
typedef UInt32 CFStringEncoding;
enum : CFStringEncoding { kCFStringEncodingUTF8 = 0x08000100 };
// cfstringcreatewithbytes(_:_:_:_:_:), cfstringgetlength(_:),
// cfstringgetmaximumsizeforencoding(_:_:), cfstringgetcstring(_:_:_:_:)
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);

CF_EXTERN_C_END
