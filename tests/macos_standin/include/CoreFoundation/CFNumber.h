#pragma once

// Stand-in for <CoreFoundation/CFNumber.h>: numbers and booleans.

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFNumber* CFNumberRef;

// cfbooleangettypeid(), kcfbooleantrue, kcfbooleanfalse, cfbooleangetvalue(_:)
CFTypeID CFBooleanGetTypeID(void);
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
Boolean CFBooleanGetValue(CFBooleanRef boolean);

// cfnumbergettypeid(), cfnumbertype, cfnumbercreate(_:_:_:), cfnumbergetvalue(_:_:_:)
CFTypeID CFNumberGetTypeID(void);
typedef CFIndex CFNumberType;
enum : CFNumberType { kCFNumberSInt32Type = 3, kCFNumberSInt64Type = 4, kCFNumberDoubleType = 13 };
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

CF_EXTERN_C_END
