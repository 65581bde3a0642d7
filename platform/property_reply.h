#pragma once

// A property's value on its way out of a hardware layer, and the copying
// rules Core Audio applies to it: lists are cut to whole ids in the room
// given, anything else must fit whole, strings go out as a CFStringRef the
// caller releases.

#include "core_audio_types.h"

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

struct PropertyReply {
    bool list = false;                      // whole ids, truncated to the room given
    std::vector<std::byte> bytes;
    // Strings stay text until the read is known to succeed: a refused read
    // must not create a reference that no caller will release.
    std::optional<std::string> string;

    UInt32 size() const;
    // getPropertyData's copy: *ioDataSize is the room on entry, the bytes
    // written on success; roomLimit narrows the room (a simulated fault).
    OSStatus deliver(UInt32* ioDataSize, void* outData, std::optional<UInt32> roomLimit = {}) const;
};

template <typename T>
std::vector<std::byte> bytesOf(const T& value)
{
    std::vector<std::byte> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

std::vector<std::byte> idsOf(const std::vector<AudioObjectID>& ids);
// An AudioBufferList with one buffer per entry, of that many channels.
std::vector<std::byte> bufferListOf(const std::vector<UInt32>& channels);
