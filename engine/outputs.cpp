// The output side: which devices can play, which one is the default, and its
// main volume and mute. Main thread only.

#include "engine.h"
#include "hal_access.h"

#include <algorithm>
#include <cmath>

namespace {

const AudioObjectPropertyAddress kVolumeAddress = hal::outputAddress(kAudioDevicePropertyVolumeScalar);
const AudioObjectPropertyAddress kMuteAddress = hal::outputAddress(kAudioDevicePropertyMute);

// The default output device when it has the control at address, else 0.
AudioObjectID defaultOutputWith(AudioHardware& hardware, const AudioObjectPropertyAddress& address)
{
    const AudioObjectID device = hal::defaultOutputDevice(hardware);
    return device != kAudioObjectUnknown && hardware.hasProperty(device, address) ? device : kAudioObjectUnknown;
}

} // namespace

QList<OutputDevice> RavletEngine::listOutputDevices()
{
    QList<OutputDevice> devices;
    for (const AudioObjectID device : hal::readObjectList(m_hardware, kAudioObjectSystemObject,
                                                          kAudioHardwarePropertyDevices)) {
        // Our own private aggregate devices (mixing, listening, probing)
        // are visible to us; offered as an output, picking one would tear
        // down the very device it names.
        if (std::any_of(m_mixes.cbegin(), m_mixes.cend(), [device](const DeviceMix& mix) { return mix.aggregate == device; }))
            continue;
        const std::optional<QString> uid = hal::cfStringProp(m_hardware, device, kAudioDevicePropertyDeviceUID);
        if (uid && uid->startsWith(QLatin1String(hal::kOwnDeviceUIDPrefix)))
            continue;
        const std::optional<UInt32> channels =
            hal::streamChannelCount(m_hardware, device, kAudioObjectPropertyScopeOutput);
        if (!channels || *channels == 0)
            continue;
        // A device without a UID cannot be chosen for an application, but is
        // still an output.
        devices.append(OutputDevice{
            device, hal::cfStringProp(m_hardware, device, kAudioObjectPropertyName).value_or(QStringLiteral("Device")),
            uid.value_or(QString())});
    }
    return devices;
}

QString RavletEngine::defaultOutputName()
{
    const AudioObjectID device = hal::defaultOutputDevice(m_hardware);
    if (device == kAudioObjectUnknown)
        return QStringLiteral("Output");
    return hal::cfStringProp(m_hardware, device, kAudioObjectPropertyName).value_or(QStringLiteral("Output"));
}

void RavletEngine::readMasterVolume()
{
    const AudioObjectID device = defaultOutputWith(m_hardware, kVolumeAddress);
    if (device == kAudioObjectUnknown) {
        publish(m_masterVolumeSupported, false, &RavletEngine::masterVolumeSupportedChanged);
        return;
    }
    publish(m_masterVolumeSupported, true, &RavletEngine::masterVolumeSupportedChanged);

    OSStatus status = kAudioHardwareNoError;
    const auto volume = hal::readFixed<Float32>(m_hardware, device, kVolumeAddress, &status);
    // A volume that is not a number is as good as a failed read.
    if (status == kAudioHardwareNoError && std::isfinite(volume))
        publish(m_masterVolume, volume, &RavletEngine::masterVolumeChanged);
}

void RavletEngine::setMasterVolume(float volume)
{
    publish(m_masterVolume, volume, &RavletEngine::masterVolumeChanged);

    const AudioObjectID device = defaultOutputWith(m_hardware, kVolumeAddress);
    if (device == kAudioObjectUnknown)
        return;
    const Float32 written = std::isnan(volume) ? 1.0f : std::clamp(volume, 0.0f, 1.0f);
    m_hardware.setPropertyData(device, kVolumeAddress, 0, nullptr, sizeof(written), &written);
}

void RavletEngine::readMasterMute()
{
    const AudioObjectID device = defaultOutputWith(m_hardware, kMuteAddress);
    if (device == kAudioObjectUnknown) {
        publish(m_masterMuteSupported, false, &RavletEngine::masterMuteSupportedChanged);
        return;
    }
    publish(m_masterMuteSupported, true, &RavletEngine::masterMuteSupportedChanged);

    OSStatus status = kAudioHardwareNoError;
    const auto muted = hal::readFixed<UInt32>(m_hardware, device, kMuteAddress, &status);
    if (status == kAudioHardwareNoError)
        publish(m_masterMuted, muted != 0, &RavletEngine::masterMutedChanged);
}

void RavletEngine::setMasterMuted(bool muted)
{
    publish(m_masterMuted, muted, &RavletEngine::masterMutedChanged);

    const AudioObjectID device = defaultOutputWith(m_hardware, kMuteAddress);
    if (device == kAudioObjectUnknown)
        return;
    const UInt32 written = muted ? 1 : 0;
    m_hardware.setPropertyData(device, kMuteAddress, 0, nullptr, sizeof(written), &written);
}

void RavletEngine::toggleMasterMuted()
{
    const AudioObjectID device = defaultOutputWith(m_hardware, kMuteAddress);
    // Published without a device to hold it, a mute would stay on show over
    // an output that plays: a refresh keeps the last value.
    if (device == kAudioObjectUnknown)
        return;
    // From the device, not the published value, which may be a refresh old:
    // after a mute made elsewhere, a toggle unmutes.
    OSStatus status = kAudioHardwareNoError;
    const auto muted = hal::readFixed<UInt32>(m_hardware, device, kMuteAddress, &status);
    setMasterMuted(!(status == kAudioHardwareNoError ? muted != 0 : m_masterMuted));
}

void RavletEngine::selectOutputDevice(quint32 device)
{
    const AudioObjectID id = device;
    m_hardware.setPropertyData(kAudioObjectSystemObject, hal::globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                               0, nullptr, sizeof(id), &id);
    const int rebuildsBefore = m_rebuilds;
    refresh();
    // The refresh has already moved the setup when it found it on another
    // device; a second rebuild would only interrupt the audio again.
    if (!m_activeIDs.isEmpty() && m_rebuilds == rebuildsBefore)
        rebuild(m_activeIDs);
}
