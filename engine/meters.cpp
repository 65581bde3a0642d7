#include "meters.h"

#include <algorithm>
#include <cstdio>

void pumpLevels(const RenderState& state, const QStringList& activeIDs, QMap<QString, float>& levels,
                float& master)
{
    const qsizetype slotCount = std::min<qsizetype>(activeIDs.size(), kSlotCount);
    auto raw = [&state](qsizetype slot) { return state.meterBuf[std::size_t(slot)].load(std::memory_order_relaxed); };

    bool sameIDs = levels.size() == slotCount;
    for (qsizetype i = 0; sameIDs && i < slotCount; ++i)
        sameIDs = levels.constFind(activeIDs.at(i)) != levels.cend();
    if (sameIDs) {
        for (qsizetype i = 0; i < slotCount; ++i) {
            float& level = *levels.find(activeIDs.at(i));
            level = std::max(raw(i), level * kMeterDecay);
        }
    } else {
        QMap<QString, float> next;
        for (qsizetype i = 0; i < slotCount; ++i) {
            const QString& id = activeIDs.at(i);
            next.insert(id, std::max(raw(i), levels.value(id, 0.0f) * kMeterDecay));
        }
        levels = std::move(next);
    }
    master = std::max(raw(kMasterMeter), master * kMeterDecay);
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
