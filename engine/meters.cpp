#include "meters.h"

#include <algorithm>
#include <cstdio>

MeterLevels pumpLevels(const RenderState& state, const QStringList& activeIDs,
                       const QMap<QString, float>& shownLevels, float shownMaster)
{
    MeterLevels next;
    const qsizetype slotCount = std::min<qsizetype>(activeIDs.size(), kSlotCount);
    for (qsizetype i = 0; i < slotCount; ++i) {
        const QString& id = activeIDs.at(i);
        const float raw = state.meterBuf[std::size_t(i)].load(std::memory_order_relaxed);
        const float decayed = shownLevels.value(id, 0.0f) * kMeterDecay;
        next.levels.insert(id, std::max(raw, decayed));
    }
    const float rawMaster = state.meterBuf[kMasterMeter].load(std::memory_order_relaxed);
    next.master = std::max(rawMaster, shownMaster * kMeterDecay);
    return next;
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
