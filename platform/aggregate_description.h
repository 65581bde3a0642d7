#pragma once

// Reading an aggregate device's description dictionary, the same way in
// every hardware layer.

#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

// A description's list value: a list of dictionaries, or absent (empty). A
// string would convert to a list of its characters, so it is refused: nothing.
std::optional<QVariantList> descriptionList(const QVariantMap& description, const char* key);
// The text under key in one entry of such a list.
QString entryUID(const QVariant& entry, const char* key);
