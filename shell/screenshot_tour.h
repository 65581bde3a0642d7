#pragma once

// The popover in its typical states, saved as PNG files: the mixer, one
// application muted at 50 %, one sent to another output device with its
// row's Play On menu open, a hidden application shown, a remembered
// application that is not running. Shared by the programs that show Ravlet
// to someone without a display, whatever audio it plays on.

#include <QDir>
#include <QString>

#include <functional>
#include <optional>

class AppDelegate;

struct ScreenshotTour {
    // The applications the states act on, by id.
    QString muted;       // set to 50 % and muted
    QString hidden;      // hidden, then shown with the hidden ones
    QString quitting;    // given a setting, then quit, so it is remembered
    // Quits the `quitting` application; returns once Ravlet can see it gone.
    std::function<void()> quit;
    // Runs while the muted state is open, after its screenshot; false fails
    // the tour.
    std::function<bool()> whileMuted = {};
    // An application sent to the output device with this UID, shown with
    // its row's Play On menu open, then back on the default; no such state
    // without a second device.
    QString playOn = {};
    QString playOnDevice = {};
};

// The folder the screenshots go to: the first argument, else "screenshots"
// in the current folder; made when missing. Nothing (with a message on
// stderr) when it cannot be made.
std::optional<QDir> screenshotFolder(int argc, char** argv);

// Opens the popover, saves each state into `out` and prints each file's
// path. Returns how many states could not be saved or checked.
int runScreenshotTour(AppDelegate& delegate, const QDir& out, const ScreenshotTour& tour);
