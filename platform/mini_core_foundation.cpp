#include "mini_core_foundation.h"

#include "utf8_length.h"

#include <atomic>
#include <cstring>
#include <string>

struct MiniCFString {
    mutable std::atomic<int> refs{1};
    std::string utf8;
    CFIndex utf16Length = 0;
};

namespace {

std::atomic<long> liveObjects{0};


} // namespace

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean)
{
    if (encoding != kCFStringEncodingUTF8 || numBytes < 0 || (!bytes && numBytes > 0))
        return nullptr;
    const std::optional<long> length = utf16LengthOfUtf8(reinterpret_cast<const char*>(bytes), std::size_t(numBytes));
    if (!length)
        return nullptr;
    auto* string = new MiniCFString;
    string->utf8.assign(reinterpret_cast<const char*>(bytes), std::size_t(numBytes));
    string->utf16Length = *length;
    liveObjects.fetch_add(1, std::memory_order_relaxed);
    return string;
}

CFIndex CFStringGetLength(CFStringRef string)
{
    return string ? string->utf16Length : 0;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding)
{
    return encoding == kCFStringEncodingUTF8 ? length * 3 : 0;
}

Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize, CFStringEncoding encoding)
{
    if (!string || !buffer || encoding != kCFStringEncodingUTF8 || bufferSize <= CFIndex(string->utf8.size()))
        return false;
    std::memcpy(buffer, string->utf8.data(), string->utf8.size());
    buffer[string->utf8.size()] = '\0';
    return true;
}

CFTypeRef CFRetain(CFTypeRef object)
{
    if (object)
        static_cast<const MiniCFString*>(object)->refs.fetch_add(1, std::memory_order_relaxed);
    return object;
}

void CFRelease(CFTypeRef object)
{
    const auto* string = static_cast<const MiniCFString*>(object);
    if (string && string->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        liveObjects.fetch_sub(1, std::memory_order_relaxed);
        delete string;
    }
}

long liveCFObjectCount()
{
    return liveObjects.load(std::memory_order_relaxed);
}
