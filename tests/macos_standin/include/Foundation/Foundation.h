#pragma once

// GNUstep base's Foundation, plus what Apple's has and GNUstep's lacks
// among the calls the macOS sources make.

#include_next <Foundation/Foundation.h>

// https://developer.apple.com/documentation/foundation/operatingsystemversion
typedef struct {
    NSInteger majorVersion;
    NSInteger minorVersion;
    NSInteger patchVersion;
} NSOperatingSystemVersion;

@interface NSProcessInfo (StandinOperatingSystemVersion)
// https://developer.apple.com/documentation/foundation/processinfo/isoperatingsystematleast(_:)
- (BOOL)isOperatingSystemAtLeastVersion:(NSOperatingSystemVersion)version;
@end
