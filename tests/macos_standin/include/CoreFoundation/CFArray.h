#pragma once

// Stand-in for <CoreFoundation/CFArray.h>.

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;

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

// cfarraygettypeid(), cfarraycreatemutable(_:_:_:), cfarrayappendvalue(_:_:),
// cfarraygetcount(_:), cfarraygetvalueatindex(_:_:)
CFTypeID CFArrayGetTypeID(void);
CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity, const CFArrayCallBacks* callBacks);
void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value);
CFIndex CFArrayGetCount(CFArrayRef theArray);
const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);

CF_EXTERN_C_END
