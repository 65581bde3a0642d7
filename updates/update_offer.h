#pragma once

// Whether this build offers in-app updates. On a Mac only a bundle signed with
// our Developer ID does: a local build carries an ad-hoc signature (or none),
// and an update would replace the user's own build with a release they did
// not ask for, whose checks every download would have to pass against a
// bundle that is not ours. Elsewhere the question does not arise.

#include "update_pipeline.h"

#include <QString>

#include <chrono>

// From what `codesign -dv --verbose=4` prints about a bundle: signed, not
// ad hoc, with our bundle identifier, by a Developer ID Application
// certificate of our team whose chain ends at Apple's root, and naming no
// other team. Anything missing, repeated differently or unreadable is a no.
bool developerIDSigned(const QString& codesignDisplay, const QString& bundleID, const QString& teamID);

// Reads the running bundle's signature with the system's codesign (by
// absolute path, no shell). Only the signature's header is read, not the
// files it seals, so it is quick; the deadline bounds a tool gone wrong. A
// tool that cannot run, fails or runs out of time is a no. Blocks the caller.
bool bundleOffersUpdates(const UpdaterTools& tools, const QString& bundlePath, const QString& bundleID,
                         const QString& teamID, std::chrono::milliseconds deadline = std::chrono::seconds(3));
