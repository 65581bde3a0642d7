#pragma once

// Whether this build offers in-app updates. On a Mac only a bundle signed with
// our Developer ID does: a local build carries an ad-hoc signature (or none),
// and an update would replace the user's own build with a release they did
// not ask for, whose checks every download would have to pass against a
// bundle that is not ours. Elsewhere the question does not arise.

#include "update_pipeline.h"

#include <QString>

#include <chrono>

// Whether the running bundle satisfies the requirement a download is held to
// (developerIDRequirement: our bundle identifier, a Developer ID
// Application certificate of our team, Apple's chain), as the system's
// codesign judges it (by absolute path, no shell). Only its verdict counts:
// what it prints names the bundle's path, which may hold line breaks and so
// lines of its own. Only the signature is checked, not the files it seals, so
// it is quick; the deadline bounds a tool gone wrong. A tool that cannot run,
// fails or runs out of time is a no. Blocks the caller.
bool bundleOffersUpdates(const UpdaterTools& tools, const QString& bundlePath, const QString& bundleID,
                         const QString& teamID, std::chrono::milliseconds deadline = std::chrono::seconds(3));
