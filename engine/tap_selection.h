#pragma once

// Which applications get a process tap: those whose sound must change (muted
// or away from unity gain), plus one primary application on the default
// output device, at most 16.

#include "records.h"

#include <QMap>
#include <QSet>
#include <QStringList>

#include <optional>

constexpr float kUnityTolerance = 0.001f;

// Muted, or a finite gain at least the tolerance away from unity.
bool needsTap(const QString& id, const QMap<QString, float>& gains, const QMap<QString, bool>& mutes);

// Among the visible applications that play on the default output device:
// the first named like a music player, else like a web browser, else the
// first.
std::optional<QString> primaryID(const QList<AudioApp>& apps, const QSet<QString>& hidden);

// The ordered list of ids to tap, hidden applications as shown ones (hidden
// only keeps one from being the primary). Applications already tapped keep
// their tap while they still need one, even once they have quit. Those in
// routed need one to play on their device, whatever their gain. With
// waitForOthers, and only when something is tapped anyway, the
// applications remembered as muted or attenuated that do not play now come
// last: a tap that takes their processes in when they start keeps their
// first sound from being heard unscaled.
// beyond, when given, receives the applications that need a tap to sound as
// set but find no slot left: their gain, mute and device are not applied.
// Those only waiting for their first sound are not among them; they wait
// for a slot when they start.
QStringList wantedTaps(const QList<AudioApp>& apps, const QMap<QString, float>& gains,
                       const QMap<QString, bool>& mutes, const QSet<QString>& hidden, const QStringList& activeIDs,
                       bool waitForOthers = false, const QSet<QString>& routed = {}, QStringList* beyond = nullptr);
