// Fault injection, size overrides, call counting and the before-call hook:
// everything a test bends, met by every seam call at its single entry.

#include "simulated_model.h"

#include <QScopeGuard>

using namespace simulated;

namespace {

bool matches(AudioObjectPropertySelector selector, AudioObjectID object,
             AudioObjectID calledObject, const AudioObjectPropertyAddress& address)
{
    return (selector == 0 || selector == address.mSelector) && (object == kAudioObjectUnknown || object == calledObject);
}

std::size_t callIndex(Call call)
{
    return static_cast<std::size_t>(call);
}

}

void SimulatedAudioHardware::Model::enter(Call call, AudioObjectID object, const AudioObjectPropertyAddress& address)
{
    ++totalCalls[callIndex(call)];
    if (callIndex(call) < kPropertyCalls)
        ++callsBySelector[callIndex(call)][address.mSelector];
    // Calls the hook itself makes do not run it again, or a hook that
    // reads the model would never return. It runs from a copy because it
    // may replace itself.
    if (!hook || inHook)
        return;
    const CallHook running = hook;
    inHook = true;
    const auto leave = qScopeGuard([this] { inHook = false; });
    running(call, object, address);
}

std::optional<OSStatus> SimulatedAudioHardware::Model::begin(Call call, AudioObjectID object,
                                                             const AudioObjectPropertyAddress& address)
{
    enter(call, object, address);
    if (callIndex(call) < kPropertyCalls)
        return takeFault(call, object, address);
    return takeFault(call, object);
}

std::optional<OSStatus> SimulatedAudioHardware::Model::takeFault(Call call, AudioObjectID object,
                                                                 const std::optional<AudioObjectPropertyAddress>& address)
{
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        const AudioObjectPropertySelector selector = address ? it->selector : 0;
        if (it->call != call || !matches(selector, it->object, object, address.value_or(kNoProperty)))
            continue;
        const OSStatus status = it->status;
        if (it->remaining > 0 && --it->remaining == 0)
            faults.erase(it);
        return status;
    }
    return std::nullopt;
}

std::optional<UInt32> SimulatedAudioHardware::Model::sizeOverride(AudioObjectID object,
                                                                  const AudioObjectPropertyAddress& address) const
{
    for (auto it = sizeOverrides.rbegin(); it != sizeOverrides.rend(); ++it) {
        if (matches(it->selector, it->object, object, address))
            return it->size;
    }
    return std::nullopt;
}

void SimulatedAudioHardware::failCall(Call call, AudioObjectPropertySelector selector, OSStatus status,
                                      AudioObjectID object, int times)
{
    const Lock lock(m->mutex);
    if (times != 0)
        m->faults.push_back(Fault{call, selector, status, object, times});
}

void SimulatedAudioHardware::overrideDataSize(AudioObjectPropertySelector selector, UInt32 size, AudioObjectID object)
{
    const Lock lock(m->mutex);
    m->sizeOverrides.push_back(SizeOverride{selector, size, object});
}

void SimulatedAudioHardware::clearFaults()
{
    const Lock lock(m->mutex);
    m->faults.clear();
    m->sizeOverrides.clear();
}

void SimulatedAudioHardware::setBeforeCallHook(CallHook hook)
{
    const Lock lock(m->mutex);
    m->hook = std::move(hook);
}

int SimulatedAudioHardware::callCount(Call call, AudioObjectPropertySelector selector) const
{
    const Lock lock(m->mutex);
    // The calls without a property count as one, whatever the selector.
    if (selector == 0 || callIndex(call) >= kPropertyCalls)
        return m->totalCalls[callIndex(call)];
    const auto& counts = m->callsBySelector[callIndex(call)];
    const auto found = counts.find(selector);
    return found == counts.end() ? 0 : found->second;
}

QStringList SimulatedAudioHardware::doubtfulCalls() const
{
    const Lock lock(m->mutex);
    return m->doubtful;
}

void SimulatedAudioHardware::clearDoubtfulCalls()
{
    const Lock lock(m->mutex);
    m->doubtful.clear();
}

void SimulatedAudioHardware::resetCallCounts()
{
    const Lock lock(m->mutex);
    m->totalCalls = {};
    for (auto& counts : m->callsBySelector)
        counts.clear();
}
