#pragma once

// From the raw peaks the I/O thread leaves behind to the levels the meters
// show: instant attack, a release of 0.8 per pump.

#include "render.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <chrono>
#include <span>

constexpr float kMeterDecay = 0.8f;
// How long a mix may go without a cycle before its device counts as no
// longer calling it, and its last peaks as silence: longer than the longest
// cycle (8192 frames at 44.1 kHz, 186 ms).
constexpr std::chrono::milliseconds kSilentAfterNoCycleFor{250};
constexpr int kDiagPumpsPerStart = 25;

// One mix's meters: its storage and the application of each slot.
struct MeterSource {
    const RenderState* state = nullptr;
    const QStringList* ids = nullptr;
};

// Moves the shown levels on by one pump: levels for the tapped applications
// of every source (the first 16 of each) from its meter buffer and the
// levels shown so far; ids no longer tapped drop out; the master level from
// masterState's master peak. The peaks of a mix whose device has not called
// it for kSilentAfterNoCycleFor count as silence: a device that
// sleeps leaves its last ones behind. While the tapped applications stay the same,
// the levels are updated in place, without allocating.
void pumpLevels(std::span<const MeterSource> sources, const RenderState& masterState, QMap<QString, float>& levels,
                float& master);

// The same for one mix, whose master peak is the master level.
inline void pumpLevels(const RenderState& state, const QStringList& activeIDs, QMap<QString, float>& levels,
                       float& master)
{
    const MeterSource source{&state, &activeIDs};
    pumpLevels(std::span<const MeterSource>(&source, 1), state, levels, master);
}

// The "io nch=" diagnostics line for the values the I/O thread left behind.
QString ioDiagnosticsLine(const RenderState& state, int activeCount);
