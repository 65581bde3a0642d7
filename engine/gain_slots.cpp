#include "gain_slots.h"

#include <algorithm>

void pushSlotGains(RenderState& state, const QStringList& activeIDs, const QMap<QString, float>& gains,
                   const QMap<QString, bool>& mutes)
{
    const qsizetype slotCount = std::min<qsizetype>(activeIDs.size(), kSlotCount);
    for (qsizetype i = 0; i < slotCount; ++i) {
        const QString& id = activeIDs.at(i);
        const auto gain = gains.constFind(id);
        const float value = slotGain(gain == gains.cend() ? std::nullopt : std::optional<float>(*gain),
                                     mutes.value(id, false));
        state.activeGains[std::size_t(i)].store(value, std::memory_order_relaxed);
    }
}

void silenceSlots(RenderState& state, qsizetype count)
{
    for (qsizetype i = 0; i < std::min<qsizetype>(count, kSlotCount); ++i)
        state.activeGains[std::size_t(i)].store(0.0f, std::memory_order_relaxed);
}
