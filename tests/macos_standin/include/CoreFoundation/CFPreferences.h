#pragma once

// Stand-in for <CoreFoundation/CFPreferences.h>, on an in-memory domain.

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

// cfpreferencescopyappvalue(_:_:), cfpreferencessetappvalue(_:_:_:), cfpreferencesappsynchronize(_:)
CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID);
void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID);
Boolean CFPreferencesAppSynchronize(CFStringRef applicationID);

CF_EXTERN_C_END
