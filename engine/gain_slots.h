#pragma once

// Filling the render's gain slots from the user's gains and mutes.

#include "render.h"

#include <QMap>
#include <QString>
#include <QStringList>

// Slot i gets the gain of activeIDs[i] (at most 16 slots), each stored whole,
// in place, while the I/O thread may be reading it. Later slots keep their
// values; render never reads past the setup's count.
void pushSlotGains(RenderState& state, const QStringList& activeIDs, const QMap<QString, float>& gains,
                   const QMap<QString, bool>& mutes);

// The first count slots at 0: a new mix that starts beside the one it
// replaces adds nothing until that one has stopped.
void silenceSlots(RenderState& state, qsizetype count);
