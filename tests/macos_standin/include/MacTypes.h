#pragma once

// Stand-in for Apple's <MacTypes.h>: the scalar types the Core Audio and
// CoreFoundation declarations use, with Apple's widths.
// https://developer.apple.com/documentation/kernel/uint32 (and siblings)

typedef unsigned char UInt8;
typedef short SInt16;
typedef unsigned int UInt32;
typedef int SInt32;
typedef unsigned long long UInt64;
typedef float Float32;
typedef double Float64;
typedef unsigned char Boolean;
// https://developer.apple.com/documentation/kernel/osstatus
typedef SInt32 OSStatus;
