#include "property_reply.h"

#include "cf_string.h"

#include <algorithm>

UInt32 PropertyReply::size() const
{
    return string ? UInt32(sizeof(CFStringRef)) : UInt32(bytes.size());
}

OSStatus PropertyReply::deliver(UInt32* ioDataSize, void* outData, std::optional<UInt32> roomLimit) const
{
    if (!ioDataSize || !outData)
        return kAudioHardwareIllegalOperationError;
    UInt32 room = *ioDataSize;
    if (roomLimit)
        room = std::min(room, *roomLimit);
    if (list) {
        const UInt32 written = std::min(room, size()) / sizeof(AudioObjectID) * sizeof(AudioObjectID);
        if (written > 0)
            std::memcpy(outData, bytes.data(), written);
        *ioDataSize = written;
        return kAudioHardwareNoError;
    }
    if (room < size())
        return kAudioHardwareBadPropertySizeError;
    if (string) {
        const CFStringRef ref = cfStringFromUtf8(*string);
        if (!ref)
            return kAudioHardwareUnspecifiedError;
        std::memcpy(outData, &ref, sizeof ref);
    } else {
        std::memcpy(outData, bytes.data(), bytes.size());
    }
    *ioDataSize = size();
    return kAudioHardwareNoError;
}

std::vector<std::byte> idsOf(const std::vector<AudioObjectID>& ids)
{
    std::vector<std::byte> bytes(ids.size() * sizeof(AudioObjectID));
    if (!ids.empty())
        std::memcpy(bytes.data(), ids.data(), bytes.size());
    return bytes;
}

std::vector<std::byte> bufferListOf(const std::vector<UInt32>& channels)
{
    const auto count = UInt32(channels.size());
    std::vector<std::byte> bytes(audioBufferListSize(count));
    std::memcpy(bytes.data(), &count, sizeof count);
    std::size_t offset = offsetof(AudioBufferList, mBuffers);
    for (UInt32 perBuffer : channels) {
        const AudioBuffer buffer{perBuffer, 0, nullptr};
        std::memcpy(bytes.data() + offset, &buffer, sizeof buffer);
        offset += sizeof buffer;
    }
    return bytes;
}
