#pragma once

// From the raw peaks the I/O thread leaves behind to the levels the meters
// show: instant attack, a release of 0.8 per pump.

#include "render.h"

#include <QMap>
#include <QString>
#include <QStringList>

constexpr float kMeterDecay = 0.8f;
constexpr int kDiagPumpsPerStart = 25;

// Moves the shown levels on by one pump: levels for the tapped applications
// (the first 16 of activeIDs) from the meter buffer and the levels shown so
// far; ids no longer tapped drop out. While the tapped applications stay the
// same, the levels are updated in place, without allocating.
void pumpLevels(const RenderState& state, const QStringList& activeIDs, QMap<QString, float>& levels,
                float& master);

// The "io nch=" diagnostics line for the values the I/O thread left behind.
QString ioDiagnosticsLine(const RenderState& state, int activeCount);
