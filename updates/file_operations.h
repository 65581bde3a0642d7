#pragma once

// File moves and removals with the semantics the updater relies on.

#include <QString>

// Renames from to to. Never replaces anything already at to, not even an
// empty directory, so a backup or a bundle is never overwritten.
bool moveItem(const QString& from, const QString& to);

// Removes path: a directory with everything in it, or a file. A symbolic
// link is removed itself; what it points to is never touched.
bool removeItem(const QString& path);
