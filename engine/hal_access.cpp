#include "hal_access.h"

#include "cf_string.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace hal {

std::vector<AudioObjectID> readObjectList(AudioHardware& hw, AudioObjectID object,
                                          AudioObjectPropertySelector selector)
{
    const AudioObjectPropertyAddress address = globalAddress(selector);
    UInt32 size = 0;
    if (hw.getPropertyDataSize(object, address, 0, nullptr, &size) != kAudioHardwareNoError || size == 0)
        return {};
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    if (ids.empty())
        return {};
    UInt32 bytes = UInt32(ids.size() * sizeof(AudioObjectID));
    if (hw.getPropertyData(object, address, 0, nullptr, &bytes, ids.data()) != kAudioHardwareNoError)
        return {};
    // The list may have shrunk between the two calls.
    ids.resize(std::min<std::size_t>(ids.size(), bytes / sizeof(AudioObjectID)));
    return ids;
}

std::optional<QString> cfStringProp(AudioHardware& hw, AudioObjectID object,
                                    AudioObjectPropertySelector selector)
{
    CFStringRef string = nullptr;
    UInt32 size = sizeof(string);
    const OSStatus status = hw.getPropertyData(object, globalAddress(selector), 0, nullptr, &size, &string);
    if (status != kAudioHardwareNoError || size != sizeof(string) || !string) {
        // A misbehaving layer may hand out a reference along with an error.
        if (string)
            CFRelease(string);
        return std::nullopt;
    }
    const std::string utf8 = utf8FromCFString(string);
    CFRelease(string);
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

AudioClientFacts clientFacts(AudioHardware& hw, AudioObjectID process)
{
    return {cfStringProp(hw, process, kRavletProcessPropertyApplicationName).value_or(QString()),
            cfStringProp(hw, process, kRavletProcessPropertyBinary).value_or(QString()),
            cfStringProp(hw, process, kRavletProcessPropertyIconName).value_or(QString())};
}

AudioObjectID defaultOutputDevice(AudioHardware& hw)
{
    return readFixed<AudioObjectID>(hw, kAudioObjectSystemObject,
                                    globalAddress(kAudioHardwarePropertyDefaultOutputDevice));
}

AudioObjectID processObject(AudioHardware& hw, qint32 pid)
{
    AudioObjectID object = kAudioObjectUnknown;
    UInt32 size = sizeof(object);
    const OSStatus status = hw.getPropertyData(kAudioObjectSystemObject,
                                               globalAddress(kAudioHardwarePropertyTranslatePIDToProcessObject),
                                               sizeof(pid), &pid, &size, &object);
    return status == kAudioHardwareNoError && size == sizeof(object) ? object : kAudioObjectUnknown;
}

std::optional<UInt32> streamChannelCount(AudioHardware& hw, AudioObjectID device,
                                         AudioObjectPropertyScope scope)
{
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope,
                                             kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    if (hw.getPropertyDataSize(device, address, 0, nullptr, &size) != kAudioHardwareNoError || size == 0)
        return std::nullopt;

    // Room for whole AudioBuffers, aligned for them, whatever size was claimed.
    std::vector<AudioBuffer> storage(size / sizeof(AudioBuffer) + 2);
    UInt32 bytes = size;
    if (hw.getPropertyData(device, address, 0, nullptr, &bytes, storage.data()) != kAudioHardwareNoError)
        return std::nullopt;
    bytes = std::min(bytes, size);

    constexpr std::size_t header = offsetof(AudioBufferList, mBuffers);
    if (bytes < header)
        return 0u;
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    // Count only the buffers the answer really holds, whatever mNumberBuffers claims.
    const std::size_t present = (bytes - header) / sizeof(AudioBuffer);
    const std::size_t buffers = std::min<std::size_t>(list->mNumberBuffers, present);
    std::uint64_t channels = 0;
    for (std::size_t i = 0; i < buffers; ++i)
        channels += list->mBuffers[i].mNumberChannels;
    return UInt32(std::min<std::uint64_t>(channels, UINT32_MAX));
}

} // namespace hal
