#pragma once

// GNUstep base's NSProcessInfo, plus the version query Apple's declares and
// GNUstep's lacks.

#include_next <Foundation/NSProcessInfo.h>

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
