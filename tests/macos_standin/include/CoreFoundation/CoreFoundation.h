#pragma once

// Stand-in for <CoreFoundation/CoreFoundation.h>: the property-list types
// with reference counts, and the preferences calls on an in-memory domain
// (core_foundation_standin.cpp).

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFPreferences.h>
#include <CoreFoundation/CFString.h>
