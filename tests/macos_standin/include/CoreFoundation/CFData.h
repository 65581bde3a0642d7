#pragma once

// Stand-in for <CoreFoundation/CFData.h>.

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFData* CFDataRef;

// cfdatagettypeid(), cfdatacreate(_:_:_:), cfdatagetlength(_:), cfdatagetbyteptr(_:)
CFTypeID CFDataGetTypeID(void);
CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length);
CFIndex CFDataGetLength(CFDataRef theData);
const UInt8* CFDataGetBytePtr(CFDataRef theData);

CF_EXTERN_C_END
