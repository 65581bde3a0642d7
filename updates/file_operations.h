#pragma once

// File moves and removals with the semantics the updater relies on.

#include <QString>

#include <functional>

// Renames from to to. Never replaces anything already at to, not even an
// empty directory, so a backup or a bundle is never overwritten.
bool moveItem(const QString& from, const QString& to);

enum class Exchange {
    Done,
    Unsupported,   // the file system cannot exchange two names in one step
    Failed,
};

// Swaps what the two paths name, in one step: at no moment is either name
// missing. Both must exist on the same file system.
Exchange exchangeItems(const QString& first, const QString& second);

// Called with each directory's path just before the removal goes into it.
using RemovalWatch = std::function<void(const QString& directory)>;

// Removes path: a directory with everything in it, or a file. A symbolic link
// is removed itself; what it points to is never touched. Below path the
// removal works from open directories, never from path names, so a link that
// appears while it runs (in place of a directory it is about to enter, say)
// is removed, not followed; it never goes into another file system mounted
// inside. False when anything is left.
bool removeItem(const QString& path, const RemovalWatch& watch = {});
