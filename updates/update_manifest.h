#pragma once

// The update manifest: one JSON object naming the newest release.
//   {"version": "1.4.0", "url": "https://…/Ravlet-1.4.0.dmg", "notes": "…"}

#include <QByteArray>
#include <QString>

#include <optional>

struct UpdateInfo {
    QString version;
    QString url;
    std::optional<QString> notes;   // absent or null in the manifest: none
};

// The manifest in body, or nothing when it is unusable: not a JSON object,
// "version" or "url" missing or not a string, or "notes" neither a string nor
// null. Keys are matched exactly; other keys are ignored.
std::optional<UpdateInfo> decodeUpdateInfo(const QByteArray& body);
