// The running audio machinery: one process tap per application, one private
// aggregate device on the default output device holding them all, and one
// I/O procedure on it whose block mixes the taps into the output.

#include "engine.h"

#include "cf_string.h"
#include "hal_access.h"
#include "meters.h"
#include "system_log.h"

#include <QUuid>

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
    if (ids.isEmpty())
        return;

    const AudioObjectID device = hal::defaultOutputDevice(m_hardware);
    const std::optional<QString> outputUID =
        device == kAudioObjectUnknown ? std::nullopt : hal::cfStringProp(m_hardware, device, kAudioDevicePropertyDeviceUID);
    if (!outputUID) {
        systemLog(QStringLiteral("[ravlet] no output device"));
        return;
    }
    // Ids and UIDs are concatenated, never passed through arg(): a "%1" in a
    // bundle path must stay text.
    m_diagLog.restart(QStringLiteral("=== rebuild ") + QString::number(ids.size()) + QStringLiteral(" app(s) out=")
                      + *outputUID + QStringLiteral(" authAudio=")
                      + QString::number(m_hardware.audioCaptureAuthorizationStatus()) + QStringLiteral(" ==="));

    const AudioObjectPropertyAddress translate = hal::globalAddress(kAudioHardwarePropertyTranslatePIDToProcessObject);
    auto processObject = [&](qint32 pid) {
        AudioObjectID object = kAudioObjectUnknown;
        UInt32 size = sizeof(object);
        const OSStatus status =
            m_hardware.getPropertyData(kAudioObjectSystemObject, translate, sizeof(pid), &pid, &size, &object);
        return status == kAudioHardwareNoError && size == sizeof(object) ? object : kAudioObjectUnknown;
    };

    QList<AudioObjectID> newTaps;
    QStringList newIDs;
    QMap<QString, QList<qint32>> newPids;
    QVariantList tapList;
    for (const QString& id : ids) {
        const QList<qint32> pids = m_pidsByID.value(id);
        std::vector<AudioObjectID> objects;
        for (const qint32 pid : pids) {
            if (const AudioObjectID object = processObject(pid); object != kAudioObjectUnknown)
                objects.push_back(object);
        }
        for (const qint32 pid : pids) {
            const AudioObjectID object = processObject(pid);
            OSStatus status = kAudioHardwareUnspecifiedError;
            const UInt32 running = object == kAudioObjectUnknown
                ? 0
                : hal::readFixed<UInt32>(m_hardware, object, hal::globalAddress(kAudioProcessPropertyIsRunningOutput), &status);
            const bool runningOutput = status == kAudioHardwareNoError && running != 0;
            appendDiag(QStringLiteral("  will tap ") + id + QStringLiteral(": pid=") + QString::number(pid)
                       + QStringLiteral(" obj=") + QString::number(object) + QStringLiteral(" runningOutput=")
                       + (runningOutput ? QStringLiteral("true") : QStringLiteral("false")));
        }
        // An application without processes to tap (one that stopped playing:
        // a player between two tracks, a browser between two clips; one
        // remembered as muted that has not played yet; one whose processes
        // went a moment ago) gets a tap that takes its processes in when
        // they start, where the hardware can: left out, its next sound would
        // be heard unscaled until the refresh after.
        const bool waitsForProcesses = objects.empty();

        ProcessTapDescription description;
        description.processes = objects;
        description.stereoMixdown = true;
        description.name = kSetupName;
        description.uuid = QUuid::createUuid();
        description.muteBehavior = kTapMutedWhenTapped;
        description.isPrivate = true;
        description.bundleIDs = {id};
        description.processRestoreEnabled = true;
        AudioObjectID tap = kAudioObjectUnknown;
        const OSStatus status = m_hardware.createProcessTap(description, &tap);
        if (waitsForProcesses && (status != kAudioHardwareNoError || tap == kAudioObjectUnknown)) {
            // Hardware that only taps processes that exist is not asked for
            // the applications that have not played yet again.
            if (status == kAudioHardwareIllegalOperationError || status == kAudioHardwareUnsupportedOperationError)
                m_tapsCannotWait = true;
            systemLog(QStringLiteral("[ravlet] no process objects for ") + id);
            continue;
        }
        if (status != kAudioHardwareNoError || tap == kAudioObjectUnknown) {
            systemLog(QStringLiteral("[ravlet] tap create failed ") + id + QStringLiteral(": ") + QString::number(status));
            continue;
        }
        const QString descriptionUUID = uuidString(description.uuid);
        const QString tapUID = hal::cfStringProp(m_hardware, tap, kAudioTapPropertyUID).value_or(descriptionUUID);
        appendDiag(QStringLiteral("  tap obj=") + QString::number(tap) + QStringLiteral(" descUUID=") + descriptionUUID
                   + QStringLiteral(" realUID=") + tapUID);

        newTaps.append(tap);
        newIDs.append(id);
        newPids.insert(id, pids);
        tapList.append(QVariantMap{{QString::fromLatin1(kAudioSubTapUIDKey), tapUID},
                                   {QString::fromLatin1(kAudioSubTapDriftCompensationKey), true}});
    }
    if (newTaps.isEmpty()) {
        systemLog(QStringLiteral("[ravlet] no taps created"));
        return;
    }

    const QVariantMap aggregate{
        {QString::fromLatin1(kAudioAggregateDeviceNameKey), kSetupName},
        {QString::fromLatin1(kAudioAggregateDeviceUIDKey), kAggregateUIDPrefix + uuidString(QUuid::createUuid())},
        {QString::fromLatin1(kAudioAggregateDeviceMainSubDeviceKey), *outputUID},
        {QString::fromLatin1(kAudioAggregateDeviceIsPrivateKey), true},
        {QString::fromLatin1(kAudioAggregateDeviceIsStackedKey), false},
        {QString::fromLatin1(kAudioAggregateDeviceTapAutoStartKey), true},
        {QString::fromLatin1(kAudioAggregateDeviceSubDeviceListKey), QVariantList{uidEntry(*outputUID)}},
        {QString::fromLatin1(kAudioAggregateDeviceTapListKey), tapList},
    };
    AudioObjectID aggregateID = kAudioObjectUnknown;
    OSStatus status = m_hardware.createAggregateDevice(aggregate, &aggregateID);
    if (status != kAudioHardwareNoError || aggregateID == kAudioObjectUnknown) {
        systemLog(QStringLiteral("[ravlet] aggregate create failed: %1").arg(status));
        for (const AudioObjectID tap : std::as_const(newTaps))
            m_hardware.destroyProcessTap(tap);
        return;
    }

    m_taps = newTaps;
    m_activeIDs = newIDs;
    m_setupPids = newPids;
    m_setupDevice = device;
    m_renderState->activeCount.store(int(m_activeIDs.size()), std::memory_order_relaxed);
    m_aggID = aggregateID;
    pushGains();

    // The block holds the render storage weakly. Whatever it holds while it
    // renders is never the last reference: the engine keeps the storage for
    // as long as a block may run, so nothing is ever freed on the I/O thread.
    const std::weak_ptr<RenderState> weakState = m_renderState;
    DeviceIOBlock block = [weakState](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                                           AudioBufferList* output, const AudioTimeStamp*) {
        if (const std::shared_ptr<RenderState> state = weakState.lock(); state && input && output)
            ::render(*state, *input, *output);
    };
    DeviceIOProcID ioProc = nullptr;
    status = m_hardware.createIOProcIDWithBlock(&ioProc, m_aggID, nullptr, std::move(block));
    if (status != kAudioHardwareNoError || !ioProc) {
        systemLog(QStringLiteral("[ravlet] IOProc create failed: %1").arg(status));
        teardown();
        return;
    }
    m_ioProc = ioProc;
    status = m_hardware.deviceStart(m_aggID, m_ioProc);
    if (status != kAudioHardwareNoError) {
        systemLog(QStringLiteral("[ravlet] device start failed: %1").arg(status));
        teardown();
        return;
    }

    m_diagPumpsLeft = kDiagPumpsPerStart;
    resumeMeters();
    appendDiag(QStringLiteral("started %1 app(s) agg=%2").arg(m_activeIDs.size()).arg(m_aggID));
    for (qsizetype slot = 0; slot < m_taps.size(); ++slot)
        appendDiag(QStringLiteral("tap[%1] obj=%2 fmt=%3").arg(slot).arg(m_taps.at(slot)).arg(tapFormat(m_taps.at(slot))));
    systemLog(QStringLiteral("[ravlet] started ") + QString::number(m_activeIDs.size()) + QStringLiteral(" app(s) out=")
              + *outputUID + QStringLiteral(" agg=") + QString::number(m_aggID));
}

void RavletEngine::teardown()
{
    if (m_aggID != kAudioObjectUnknown) {
        // A stop that returns means the block has finished and will not run
        // again; so does an I/O procedure or a device that is gone.
        bool blockEnded = true;
        if (m_ioProc) {
            const bool stopped = m_hardware.deviceStop(m_aggID, m_ioProc) == kAudioHardwareNoError;
            const bool destroyed = m_hardware.destroyIOProcID(m_aggID, m_ioProc) == kAudioHardwareNoError;
            blockEnded = stopped || destroyed;
            m_ioProc = nullptr;
        }
        if (m_hardware.destroyAggregateDevice(m_aggID) != kAudioHardwareNoError && !blockEnded)
            m_blockMayRun = true;
        m_aggID = kAudioObjectUnknown;
    }
    if (m_supported) {
        for (const AudioObjectID tap : std::as_const(m_taps)) {
            if (tap != kAudioObjectUnknown)
                m_hardware.destroyProcessTap(tap);
        }
    }
    m_taps.clear();
    m_activeIDs.clear();
    m_setupPids.clear();
    m_setupDevice = kAudioObjectUnknown;
    m_renderState->activeCount.store(0, std::memory_order_relaxed);
    // With nothing left to mix the meters must fall back to silence rather
    // than hold the last peak of the old setup.
    m_renderState->clearMeters();
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

