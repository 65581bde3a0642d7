#include "meters.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

// Moves the pump's count on: whether the device has called the mix lately.
bool stillCalled(const RenderState& state)
{
    const std::uint32_t cycles = state.cycles.load(std::memory_order_relaxed);
    const auto now = std::chrono::steady_clock::now();
    if (cycles != state.pumpSeenCycles) {
        state.pumpSeenCycles = cycles;
        state.pumpSawCycle = now;
        return true;
    }
    return now - state.pumpSawCycle < kSilentAfterNoCycleFor;
}

} // namespace

void pumpLevels(std::span<const MeterSource> sources, const RenderState& masterState, QMap<QString, float>& levels,
                float& master)
{
    // Once a pump for each mix, the master's among them.
    const bool masterCalled = stillCalled(masterState);
    std::array<bool, 8> called{};
    for (std::size_t i = 0; i < std::min(sources.size(), called.size()); ++i)
        called[i] = sources[i].state == &masterState ? masterCalled : stillCalled(*sources[i].state);
    auto slotCountOf = [](const MeterSource& source) { return std::min<qsizetype>(source.ids->size(), kSlotCount); };
    auto raw = [&](const MeterSource& source, qsizetype slot) {
        const auto index = std::size_t(&source - sources.data());
        if (index < called.size() && !called[index])
            return 0.0f;
        return source.state->meterBuf[std::size_t(slot)].load(std::memory_order_relaxed);
    };

    qsizetype slotCount = 0;
    bool sameIDs = true;
    for (const MeterSource& source : sources) {
        slotCount += slotCountOf(source);
        for (qsizetype i = 0; sameIDs && i < slotCountOf(source); ++i)
            sameIDs = levels.constFind(source.ids->at(i)) != levels.cend();
    }
    sameIDs = sameIDs && levels.size() == slotCount;
    if (sameIDs) {
        for (const MeterSource& source : sources) {
            for (qsizetype i = 0; i < slotCountOf(source); ++i) {
                float& level = *levels.find(source.ids->at(i));
                level = std::max(raw(source, i), level * kMeterDecay);
            }
        }
    } else {
        QMap<QString, float> next;
        for (const MeterSource& source : sources) {
            for (qsizetype i = 0; i < slotCountOf(source); ++i) {
                const QString& id = source.ids->at(i);
                next.insert(id, std::max(raw(source, i), levels.value(id, 0.0f) * kMeterDecay));
            }
        }
        levels = std::move(next);
    }
    const float masterPeak = masterCalled ? masterState.meterBuf[kMasterMeter].load(std::memory_order_relaxed) : 0.0f;
    master = std::max(masterPeak, master * kMeterDecay);
}

namespace {

// The C library's "%.3f", which rounds exact halves to even (0.0625 → 0.062);
// QString::asprintf would round them away from zero.
QString threeDecimals(float value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", double(value));
    return QString::fromLatin1(text);
}

} // namespace

QString ioDiagnosticsLine(const RenderState& state, int activeCount)
{
    const int nch = state.diagNch.load(std::memory_order_relaxed);
    QStringList peaks;
    for (int i = 0; i < std::min(nch, kDiagChannels); ++i)
        peaks.append(threeDecimals(state.diagPeaks[std::size_t(i)].load(std::memory_order_relaxed)));
    return QStringLiteral("io nch=%1 apps=%2 offset=%3 chPeaks=[%4] master=%5")
        .arg(nch)
        .arg(activeCount)
        .arg(state.diagOffset.load(std::memory_order_relaxed))
        .arg(peaks.join(QLatin1Char(' ')))
        .arg(threeDecimals(state.meterBuf[kMasterMeter].load(std::memory_order_relaxed)));
}
