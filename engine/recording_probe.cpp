#include "recording_probe.h"

#include "hal_access.h"
#include "system_log.h"

#include <QUuid>
#include <QVariantMap>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double kFallbackRate = 48000.0;
const QString kProbeName = QStringLiteral("Ravlet listening");
const QString kProbeUIDPrefix = QStringLiteral("io.morvik.ravlet.probe.");

} // namespace

RecordingProbe::RecordingProbe(AudioHardware& hardware, QObject* parent)
    : QObject(parent)
    , m_hardware(hardware)
    , m_granted(hardware.systemAudioRecordingGranted())
{
    m_poll.setInterval(kPollMs);
    connect(&m_poll, &QTimer::timeout, this, [this] {
        if (poll())
            emit changed();
    });
    m_retry.setInterval(kRetryMs);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &RecordingProbe::retry);
}

RecordingProbe::~RecordingProbe()
{
    stop();
}

void RecordingProbe::listen(const QList<qint32>& pids)
{
    m_pids = pids;
    if (m_granted || listening() || m_retry.isActive())
        return;
    if (start(pids))
        m_poll.start();
}

void RecordingProbe::retry()
{
    if (m_granted || listening())
        return;
    m_retry.stop();
    if (start(m_pids))
        m_poll.start();
    else if (m_missing)
        m_retry.start();
}

bool RecordingProbe::poll()
{
    if (!listening())
        return false;
    if (m_heard->sound.load(std::memory_order_relaxed)) {
        stop();
        m_retry.stop();
        m_granted = true;
        m_missing = false;
        systemLog(QStringLiteral("[ravlet] taps deliver sound"));
        return true;
    }
    if (m_heard->silentFrames.load(std::memory_order_relaxed) < m_silenceLimit)
        return false;
    // Silence from processes that stopped playing says nothing; the next
    // listen takes those that play then.
    const bool played = anyRunningOutput();
    stop();
    if (!played)
        return false;
    systemLog(QStringLiteral("[ravlet] taps deliver silence: no leave to record system audio"));
    m_retry.start();
    if (m_missing)
        return false;
    m_missing = true;
    return true;
}

bool RecordingProbe::anyRunningOutput()
{
    const AudioObjectPropertyAddress running = hal::globalAddress(kAudioProcessPropertyIsRunningOutput);
    for (const AudioObjectID process : m_processes) {
        OSStatus status = kAudioHardwareNoError;
        if (hal::readFixed<UInt32>(m_hardware, process, running, &status) != 0 && status == kAudioHardwareNoError)
            return true;
    }
    return false;
}

bool RecordingProbe::start(const QList<qint32>& pids)
{
    const AudioObjectPropertyAddress running = hal::globalAddress(kAudioProcessPropertyIsRunningOutput);
    m_processes.clear();
    for (qint32 pid : pids) {
        const AudioObjectID object = hal::processObject(m_hardware, pid);
        if (object == kAudioObjectUnknown)
            continue;
        OSStatus status = kAudioHardwareNoError;
        if (hal::readFixed<UInt32>(m_hardware, object, running, &status) != 0 && status == kAudioHardwareNoError)
            m_processes.push_back(object);
    }
    const AudioObjectID device = hal::defaultOutputDevice(m_hardware);
    const std::optional<QString> deviceUID = device == kAudioObjectUnknown
        ? std::nullopt
        : hal::cfStringProp(m_hardware, device, kAudioDevicePropertyDeviceUID);
    if (m_processes.empty() || !deviceUID)
        return false;

    ProcessTapDescription description;
    description.processes = m_processes;
    description.name = kProbeName;
    description.muteBehavior = kTapUnmuted;
    description.isPrivate = true;
    if (m_hardware.createProcessTap(description, &m_tap) != kAudioHardwareNoError || m_tap == kAudioObjectUnknown) {
        m_tap = kAudioObjectUnknown;
        return false;
    }
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof(format);
    const bool known = m_hardware.getPropertyData(m_tap, hal::globalAddress(kAudioTapPropertyFormat), 0, nullptr,
                                                  &size, &format) == kAudioHardwareNoError
                    && std::isfinite(format.mSampleRate) && format.mSampleRate >= 1000.0
                    && format.mSampleRate <= 1.0e6;
    m_silenceLimit = std::int64_t((known ? format.mSampleRate : kFallbackRate) * kSilenceLimitMs / 1000.0);

    const QString tapUID = hal::cfStringProp(m_hardware, m_tap, kAudioTapPropertyUID)
                               .value_or(description.uuid.toString(QUuid::WithoutBraces).toUpper());
    // Numbers, as Core Audio documents the switches (see startMix).
    const QVariantMap aggregate{
        {QString::fromLatin1(kAudioAggregateDeviceNameKey), kProbeName},
        {QString::fromLatin1(kAudioAggregateDeviceUIDKey),
         kProbeUIDPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()},
        {QString::fromLatin1(kAudioAggregateDeviceMainSubDeviceKey), *deviceUID},
        {QString::fromLatin1(kAudioAggregateDeviceIsPrivateKey), 1},
        {QString::fromLatin1(kAudioAggregateDeviceIsStackedKey), 0},
        {QString::fromLatin1(kAudioAggregateDeviceTapAutoStartKey), 1},
        {QString::fromLatin1(kAudioAggregateDeviceSubDeviceListKey),
         QVariantList{QVariantMap{{QString::fromLatin1(kAudioSubDeviceUIDKey), *deviceUID}}}},
        {QString::fromLatin1(kAudioAggregateDeviceTapListKey),
         QVariantList{QVariantMap{{QString::fromLatin1(kAudioSubTapUIDKey), tapUID},
                                  {QString::fromLatin1(kAudioSubTapDriftCompensationKey), 1}}}},
    };
    if (m_hardware.createAggregateDevice(aggregate, &m_aggregate) != kAudioHardwareNoError) {
        m_aggregate = kAudioObjectUnknown;
        stop();
        return false;
    }
    m_heard = std::make_shared<Heard>();
    // Real-time: reads the input once, writes two atomics and clears the
    // output it was given; never allocates, locks, logs or waits.
    DeviceIOBlock block = [heard = m_heard](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                                            AudioBufferList* output, const AudioTimeStamp*) {
        if (output) {
            for (UInt32 b = 0; b < output->mNumberBuffers; ++b) {
                if (output->mBuffers[b].mData)
                    std::memset(output->mBuffers[b].mData, 0, output->mBuffers[b].mDataByteSize);
            }
        }
        if (!input)
            return;
        UInt32 frames = 0;
        bool sound = false;
        for (UInt32 b = 0; b < input->mNumberBuffers; ++b) {
            const AudioBuffer& buffer = input->mBuffers[b];
            if (!buffer.mData)
                continue;
            const auto* samples = static_cast<const float*>(buffer.mData);
            const UInt32 count = buffer.mDataByteSize / sizeof(float);
            for (UInt32 i = 0; i < count && !sound; ++i)
                sound = samples[i] != 0.0f;
            frames = std::max(frames, count / std::max<UInt32>(buffer.mNumberChannels, 1));
        }
        if (sound)
            heard->sound.store(true, std::memory_order_relaxed);
        else
            heard->silentFrames.fetch_add(frames, std::memory_order_relaxed);
    };
    if (m_hardware.createIOProcIDWithBlock(&m_ioProc, m_aggregate, nullptr, std::move(block)) != kAudioHardwareNoError
        || !m_ioProc || m_hardware.deviceStart(m_aggregate, m_ioProc) != kAudioHardwareNoError) {
        stop();
        return false;
    }
    return true;
}

void RecordingProbe::stop()
{
    m_poll.stop();
    if (m_ioProc) {
        m_hardware.deviceStop(m_aggregate, m_ioProc);
        m_hardware.destroyIOProcID(m_aggregate, m_ioProc);
        m_ioProc = nullptr;
    }
    if (m_aggregate != kAudioObjectUnknown)
        m_hardware.destroyAggregateDevice(m_aggregate);
    m_aggregate = kAudioObjectUnknown;
    if (m_tap != kAudioObjectUnknown)
        m_hardware.destroyProcessTap(m_tap);
    m_tap = kAudioObjectUnknown;
}
