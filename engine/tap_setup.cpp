// The running audio machinery: one process tap per application, and for
// each output device the tapped applications play on, one private aggregate
// device holding their taps, with one I/O procedure whose block mixes them
// into that device's output.

#include "engine.h"

#include "cf_string.h"
#include "gain_slots.h"
#include "hal_access.h"
#include "meters.h"
#include "system_log.h"

#include <QUuid>

#include <algorithm>
#include <cmath>

namespace {

const QString kSetupName = QStringLiteral("Ravlet");
const QString kAggregateUIDPrefix = QStringLiteral("io.morvik.ravlet.agg.");

QString uuidString(const QUuid& uuid)
{
    return uuid.toString(QUuid::WithoutBraces).toUpper();
}

QVariantMap uidEntry(const QString& uid)
{
    return {{QString::fromLatin1(kAudioSubDeviceUIDKey), uid}};
}

} // namespace

void RavletEngine::rebuild(QStringList ids)
{
    if (!m_supported)
        return;
    ++m_rebuilds;
    teardown();
    if (ids.isEmpty() && wantedMeters(ids).isEmpty())
        return;

    const AudioObjectID defaultDevice = hal::defaultOutputDevice(m_hardware);
    const std::optional<QString> defaultUID = defaultDevice == kAudioObjectUnknown
        ? std::nullopt
        : hal::cfStringProp(m_hardware, defaultDevice, kAudioDevicePropertyDeviceUID);
    if (!defaultUID) {
        systemLog(QStringLiteral("[ravlet] no output device"));
        return;
    }
    // Ids and UIDs are concatenated, never passed through arg(): a "%1" in a
    // bundle path must stay text.
    m_diagLog.restart(QStringLiteral("=== rebuild ") + QString::number(ids.size()) + QStringLiteral(" app(s) out=")
                      + *defaultUID + QStringLiteral(" authAudio=")
                      + QString::number(m_hardware.audioCaptureAuthorizationStatus()) + QStringLiteral(" ==="));

    // One mix per device the applications play on, the default device's
    // first; within each, the applications keep the order they came in, and
    // those only metered come after those mixed.
    std::vector<DeviceMix> mixes;
    mixes.push_back(DeviceMix{defaultDevice, *defaultUID, {}, {}, {}, {}, {}, {}, {}});
    const QStringList meters = wantedMeters(ids);
    const qsizetype mixedCount = ids.size();
    ids.append(meters);
    for (qsizetype i = 0; i < ids.size(); ++i) {
        const QString& id = ids.at(i);
        const bool metered = i >= mixedCount;
        const AudioObjectID device = playsOn(id);
        auto mix = std::find_if(mixes.begin(), mixes.end(), [device](const DeviceMix& m) { return m.device == device; });
        if (mix == mixes.end()) {
            const std::optional<QString> uid = hal::cfStringProp(m_hardware, device, kAudioDevicePropertyDeviceUID);
            if (!uid) {
                systemLog(QStringLiteral("[ravlet] no device UID for ") + id);
                continue;
            }
            mixes.push_back(DeviceMix{device, *uid, {}, {}, {}, {}, {}, {}, {}});
            mix = std::prev(mixes.end());
        }
        (metered ? mix->meterIDs : mix->ids).append(id);
    }

    const AudioObjectPropertyAddress translate = hal::globalAddress(kAudioHardwarePropertyTranslatePIDToProcessObject);
    auto processObject = [&](qint32 pid) {
        AudioObjectID object = kAudioObjectUnknown;
        UInt32 size = sizeof(object);
        const OSStatus status =
            m_hardware.getPropertyData(kAudioObjectSystemObject, translate, sizeof(pid), &pid, &size, &object);
        return status == kAudioHardwareNoError && size == sizeof(object) ? object : kAudioObjectUnknown;
    };

    // The taps of one mix's applications, in its order; those the hardware
    // refused are left out of it.
    auto createTaps = [&](DeviceMix& mix, QStringList& tapUIDs, bool metered) {
        QStringList tapped;
        for (const QString& id : std::as_const(metered ? mix.meterIDs : mix.ids)) {
            const QList<qint32> pids = m_pidsByID.value(id);
            std::vector<AudioObjectID> objects;
            for (const qint32 pid : pids) {
                const AudioObjectID object = processObject(pid);
                OSStatus status = kAudioHardwareUnspecifiedError;
                const UInt32 running = object == kAudioObjectUnknown
                    ? 0
                    : hal::readFixed<UInt32>(m_hardware, object, hal::globalAddress(kAudioProcessPropertyIsRunningOutput),
                                             &status);
                const bool runningOutput = status == kAudioHardwareNoError && running != 0;
                appendDiag(QStringLiteral("  will tap ") + id + QStringLiteral(": pid=") + QString::number(pid)
                           + QStringLiteral(" obj=") + QString::number(object) + QStringLiteral(" runningOutput=")
                           + (runningOutput ? QStringLiteral("true") : QStringLiteral("false")));
                if (object != kAudioObjectUnknown)
                    objects.push_back(object);
            }
            // An application without processes to tap (one that stopped
            // playing: a player between two tracks, a browser between two
            // clips; one remembered as muted that has not played yet; one
            // whose processes went a moment ago) gets a tap that takes its
            // processes in when they start, where the hardware can: left
            // out, its next sound would be heard unscaled until the refresh
            // after.
            const bool waitsForProcesses = objects.empty();
            // A tap only to listen takes the processes that play now.
            if (metered && waitsForProcesses)
                continue;

            ProcessTapDescription description;
            description.processes = objects;
            description.stereoMixdown = true;
            description.name = kSetupName;
            description.uuid = QUuid::createUuid();
            description.muteBehavior = metered ? kTapUnmuted : kTapMutedWhenTapped;
            description.isPrivate = true;
            description.bundleIDs = {id};
            description.processRestoreEnabled = true;
            AudioObjectID tap = kAudioObjectUnknown;
            const OSStatus status = m_hardware.createProcessTap(description, &tap);
            if (waitsForProcesses && (status != kAudioHardwareNoError || tap == kAudioObjectUnknown)) {
                // Hardware that only taps processes that exist is not asked
                // for the applications that have not played yet again.
                if (status == kAudioHardwareIllegalOperationError || status == kAudioHardwareUnsupportedOperationError)
                    m_tapsCannotWait = true;
                systemLog(QStringLiteral("[ravlet] no process objects for ") + id);
                continue;
            }
            if (status != kAudioHardwareNoError || tap == kAudioObjectUnknown) {
                // Hardware that cannot listen without silencing is not asked
                // again; those rows show no level.
                if (metered && (status == kAudioHardwareUnsupportedOperationError
                                || status == kAudioHardwareIllegalOperationError)) {
                    m_meterTapsRefused = true;
                    systemLog(QStringLiteral("[ravlet] levels of unmixed applications are not available"));
                    continue;
                }
                systemLog(QStringLiteral("[ravlet] tap create failed ") + id + QStringLiteral(": ")
                          + QString::number(status));
                continue;
            }
            const QString descriptionUUID = uuidString(description.uuid);
            const QString tapUID = hal::cfStringProp(m_hardware, tap, kAudioTapPropertyUID).value_or(descriptionUUID);
            appendDiag(QStringLiteral("  tap obj=") + QString::number(tap) + QStringLiteral(" descUUID=")
                       + descriptionUUID + QStringLiteral(" realUID=") + tapUID);
            mix.taps.append(tap);
            tapUIDs.append(tapUID);
            tapped.append(id);
        }
        (metered ? mix.meterIDs : mix.ids) = tapped;
    };

    std::size_t spare = 0;
    bool tapped = false;
    for (DeviceMix& mix : mixes) {
        if (mix.ids.isEmpty() && mix.meterIDs.isEmpty())
            continue;
        QStringList tapUIDs;
        createTaps(mix, tapUIDs, false);
        createTaps(mix, tapUIDs, true);
        if (mix.taps.isEmpty())
            continue;
        mix.slotIDs = mix.ids + mix.meterIDs;
        tapped = true;
        const bool onDefault = mix.device == defaultDevice;
        mix.state = stateForMix(onDefault ? 0 : spare++, onDefault);
        if (!startMix(mix, tapUIDs))
            continue;
        for (const QString& id : std::as_const(mix.ids)) {
            m_activeIDs.append(id);
            m_setupPids.insert(id, m_pidsByID.value(id));
        }
        for (const QString& id : std::as_const(mix.meterIDs)) {
            m_meteredIDs.append(id);
            m_setupPids.insert(id, m_pidsByID.value(id));
        }
        m_mixes.push_back(std::move(mix));
    }
    if (m_mixes.empty()) {
        if (!tapped)
            systemLog(QStringLiteral("[ravlet] no taps created"));
        return;
    }
    m_setupDefault = defaultDevice;
    pushGains();

    m_diagPumpsLeft = kDiagPumpsPerStart;
    resumeMeters();
    for (const DeviceMix& mix : m_mixes) {
        appendDiag(QStringLiteral("started %1 app(s) agg=%2").arg(mix.ids.size()).arg(mix.aggregate));
        for (qsizetype slot = 0; slot < mix.taps.size(); ++slot)
            appendDiag(QStringLiteral("tap[%1] obj=%2 fmt=%3").arg(slot).arg(mix.taps.at(slot)).arg(tapFormat(mix.taps.at(slot))));
        systemLog(QStringLiteral("[ravlet] started ") + QString::number(mix.ids.size()) + QStringLiteral(" app(s) out=")
                  + mix.deviceUID + QStringLiteral(" agg=") + QString::number(mix.aggregate));
    }
}

std::shared_ptr<RenderState> RavletEngine::stateForMix(std::size_t index, bool onDefault)
{
    if (onDefault)
        return m_renderState;
    while (m_spareStates.size() <= index) {
        auto state = std::make_shared<RenderState>();
        state->preventClipping.store(m_preventClipping, std::memory_order_relaxed);
        m_spareStates.push_back(std::move(state));
    }
    return m_spareStates[index];
}

bool RavletEngine::startMix(DeviceMix& mix, const QStringList& tapUIDs)
{
    // The switches are numbers, 1 or 0, as Core Audio documents them: a
    // boolean would reach it as a CFBoolean, which is no CFNumber.
    QVariantList tapList;
    for (const QString& uid : tapUIDs) {
        tapList.append(QVariantMap{{QString::fromLatin1(kAudioSubTapUIDKey), uid},
                                   {QString::fromLatin1(kAudioSubTapDriftCompensationKey), 1}});
    }
    const QVariantMap aggregate{
        {QString::fromLatin1(kAudioAggregateDeviceNameKey), kSetupName},
        {QString::fromLatin1(kAudioAggregateDeviceUIDKey), kAggregateUIDPrefix + uuidString(QUuid::createUuid())},
        {QString::fromLatin1(kAudioAggregateDeviceMainSubDeviceKey), mix.deviceUID},
        {QString::fromLatin1(kAudioAggregateDeviceIsPrivateKey), 1},
        {QString::fromLatin1(kAudioAggregateDeviceIsStackedKey), 0},
        {QString::fromLatin1(kAudioAggregateDeviceTapAutoStartKey), 1},
        {QString::fromLatin1(kAudioAggregateDeviceSubDeviceListKey), QVariantList{uidEntry(mix.deviceUID)}},
        {QString::fromLatin1(kAudioAggregateDeviceTapListKey), tapList},
    };
    mix.state->activeCount.store(int(mix.ids.size()), std::memory_order_relaxed);
    mix.state->meterOnlyCount.store(int(mix.meterIDs.size()), std::memory_order_relaxed);
    OSStatus status = m_hardware.createAggregateDevice(aggregate, &mix.aggregate);
    if (status != kAudioHardwareNoError || mix.aggregate == kAudioObjectUnknown) {
        systemLog(QStringLiteral("[ravlet] aggregate create failed: %1").arg(status));
        mix.aggregate = kAudioObjectUnknown;
        stopMix(mix);
        return false;
    }
    pushSlotGains(*mix.state, mix.ids, m_gains, m_mutes);

    // The block holds the render storage weakly. Whatever it holds while it
    // renders is never the last reference: the engine keeps the storage for
    // as long as a block may run, so nothing is ever freed on the I/O thread.
    const std::weak_ptr<RenderState> weakState = mix.state;
    DeviceIOBlock block = [weakState](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                                      AudioBufferList* output, const AudioTimeStamp*) {
        if (const std::shared_ptr<RenderState> state = weakState.lock(); state && input && output)
            ::render(*state, *input, *output);
    };
    status = m_hardware.createIOProcIDWithBlock(&mix.ioProc, mix.aggregate, nullptr, std::move(block));
    if (status != kAudioHardwareNoError || !mix.ioProc) {
        systemLog(QStringLiteral("[ravlet] IOProc create failed: %1").arg(status));
        mix.ioProc = nullptr;
        stopMix(mix);
        return false;
    }
    status = m_hardware.deviceStart(mix.aggregate, mix.ioProc);
    if (status != kAudioHardwareNoError) {
        systemLog(QStringLiteral("[ravlet] device start failed: %1").arg(status));
        stopMix(mix);
        return false;
    }
    return true;
}

void RavletEngine::stopMix(DeviceMix& mix)
{
    if (mix.aggregate != kAudioObjectUnknown) {
        // A stop that returns means the block has finished and will not run
        // again; so does an I/O procedure or a device that is gone.
        bool blockEnded = true;
        if (mix.ioProc) {
            const bool stopped = m_hardware.deviceStop(mix.aggregate, mix.ioProc) == kAudioHardwareNoError;
            const bool destroyed = m_hardware.destroyIOProcID(mix.aggregate, mix.ioProc) == kAudioHardwareNoError;
            blockEnded = stopped || destroyed;
            mix.ioProc = nullptr;
        }
        if (m_hardware.destroyAggregateDevice(mix.aggregate) != kAudioHardwareNoError && !blockEnded)
            m_blockMayRun = true;
        mix.aggregate = kAudioObjectUnknown;
    }
    if (m_supported) {
        for (const AudioObjectID tap : std::as_const(mix.taps)) {
            if (tap != kAudioObjectUnknown)
                m_hardware.destroyProcessTap(tap);
        }
    }
    mix.taps.clear();
    if (mix.state) {
        mix.state->activeCount.store(0, std::memory_order_relaxed);
        mix.state->meterOnlyCount.store(0, std::memory_order_relaxed);
        // With nothing left to mix the meters must fall back to silence
        // rather than hold the last peak of the old setup.
        mix.state->clearMeters();
    }
}

void RavletEngine::teardown()
{
    for (DeviceMix& mix : m_mixes)
        stopMix(mix);
    m_mixes.clear();
    m_activeIDs.clear();
    m_meteredIDs.clear();
    m_setupPids.clear();
    m_setupDefault = kAudioObjectUnknown;
    m_renderState->activeCount.store(0, std::memory_order_relaxed);
    m_renderState->meterOnlyCount.store(0, std::memory_order_relaxed);
    m_renderState->clearMeters();
}

QList<AudioObjectID> RavletEngine::taps() const
{
    QList<AudioObjectID> all;
    for (const DeviceMix& mix : m_mixes)
        all.append(mix.taps);
    return all;
}

QString RavletEngine::tapFormat(AudioObjectID tap)
{
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof(format);
    if (m_hardware.getPropertyData(tap, hal::globalAddress(kAudioTapPropertyFormat), 0, nullptr, &size, &format)
        != kAudioHardwareNoError)
        return QStringLiteral("?");
    // A rate that is not a representable whole number is shown as 0.
    const double rate = std::isfinite(format.mSampleRate) && std::fabs(format.mSampleRate) < 9.0e18
        ? std::trunc(format.mSampleRate)
        : 0.0;
    return QStringLiteral("%1Hz ch%2 flags%3 bpf%4")
        .arg(qint64(rate))
        .arg(format.mChannelsPerFrame)
        .arg(format.mFormatFlags)
        .arg(format.mBytesPerFrame);
}

