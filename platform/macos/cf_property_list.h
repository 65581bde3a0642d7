#pragma once

// Settings and descriptions as CoreFoundation property lists: QString ↔
// CFString, double and integers ↔ CFNumber, bool ↔ CFBoolean, QByteArray ↔
// CFData, lists ↔ CFArray, maps ↔ CFDictionary with string keys. Main
// thread only.

#include <CoreFoundation/CoreFoundation.h>

#include <QVariant>

#include <optional>

// A new reference (the caller releases it), or null for a value that has no
// property-list form (a null variant, a type not listed above, or text that
// CoreFoundation refuses).
CFPropertyListRef createPropertyList(const QVariant& value);
// The value of a property list, or nothing when it (or anything inside it)
// is of another type or a dictionary key is not a string.
std::optional<QVariant> variantFromPropertyList(CFPropertyListRef list);

// A new CFString of text; null only if CoreFoundation refuses it.
CFStringRef createCFString(const QString& text);
