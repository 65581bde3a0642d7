#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The "CFBundleShortVersionString" of the application bundle at bundlePath,
// read from its Contents/Info.plist; nothing when the file is missing or
// unreadable, is not an XML property list with a dictionary at the top, or
// the key is missing or not a string.
std::optional<QString> bundleShortVersion(const QString& bundlePath);

// The same, from the text of an Info.plist.
std::optional<QString> infoPlistShortVersion(const QByteArray& plist);
