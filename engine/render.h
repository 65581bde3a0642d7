#pragma once

// The mix made on the real-time I/O thread, and the storage it shares with
// the main thread.

#include "core_audio_types.h"
#include "limiter.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

constexpr int kSlotCount = 16;
constexpr int kMasterMeter = kSlotCount;          // meter entry of the master peak
constexpr int kMeterCount = kSlotCount + 1;
constexpr int kDiagChannels = 8;

static_assert(std::atomic<float>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// Everything the I/O thread and the main thread exchange. It is allocated
// once per engine and never moves, and every value is one relaxed atomic:
// a reader may see two cycles' values side by side, which the meters and the
// diagnostics tolerate, and neither side ever waits for the other.
struct RenderState {
    RenderState();

    std::atomic<int> activeCount{0};                     // main writes, render reads once per cycle
    // Slots after the mixed ones that are metered only (applications that
    // play straight to the device): main writes, render reads once per cycle.
    std::atomic<int> meterOnlyCount{0};
    std::array<std::atomic<float>, kSlotCount> activeGains;   // main writes (pushGains)
    std::array<std::atomic<float>, kMeterCount> meterBuf;     // render writes, meter pump reads
    // Render counts the cycles it is called for: the meter pump tells a
    // device that has stopped calling it (PipeWire suspends a device with
    // nothing to play) from one that plays silence.
    std::atomic<std::uint32_t> cycles{0};
    std::atomic<int> diagNch{0};
    std::atomic<int> diagOffset{0};
    std::array<std::atomic<float>, kDiagChannels> diagPeaks;

    // "Prevent Clipping": main writes, render reads once per cycle. One
    // storage per device's mix, so each device has its own limiter.
    std::atomic<bool> preventClipping{false};
    // The device's limiter. I/O thread only: render resets it while
    // preventClipping is off, so turning it on starts from unity.
    Limiter limiter;

    void clearMeters();

    // The meter pump's view of the cycles above: the count it saw last and
    // when that changed. Main thread only.
    mutable std::uint32_t pumpSeenCycles = 0;
    mutable std::chrono::steady_clock::time_point pumpSawCycle{};
};

// The slot gain for an application: 0 when muted, its gain otherwise, with a
// gain within 0.001 of unity snapped to exactly 1. A missing or non-finite
// gain counts as unity, so nothing but a finite number reaches the mix.
float slotGain(std::optional<float> gain, bool muted);

// One I/O cycle: clears the output, mixes the first activeCount of the slots
// in the last 2 × (activeCount + meterOnlyCount) input channels (one stereo
// pair per slot, at most 16 slots) scaled by their slot gains into the first
// two output channels, and stores per-slot and master peaks; the slots after
// them only get their peaks stored. With
// preventClipping the two channels then pass the device's limiter; without
// it the sums go out as they are, above full scale too. The meters are
// before the limiter: they show what each application sends.
//
// Counts the cycle first, whatever the buffers.
//
// Real-time safe: touches only the buffers and `state`, reads activeCount,
// meterOnlyCount, each gain and preventClipping once per cycle, never allocates, locks, logs
// or waits.
//
// Every read and write stays inside its own buffer: each input channel is
// read for at most its own buffer's frame count and each output channel is
// written for at most its own buffer's frame count; a buffer with a data
// pointer but a byte size of 0 therefore contributes no frames.
void render(RenderState& state, const AudioBufferList& input, AudioBufferList& output) noexcept;
