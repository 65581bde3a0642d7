#include "mini_core_foundation.h"

#include <atomic>
#include <cstring>
#include <optional>
#include <string>

struct MiniCFString {
    mutable std::atomic<int> refs{1};
    std::string utf8;
    CFIndex utf16Length = 0;
};

namespace {

std::atomic<long> liveObjects{0};

// The UTF-16 length of well-formed UTF-8, or nothing for malformed input
// (overlong forms, surrogates, code points past U+10FFFF, cut sequences).
std::optional<CFIndex> utf16LengthOf(const unsigned char* bytes, std::size_t size)
{
    CFIndex units = 0;
    for (std::size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        std::size_t extra = 0;
        char32_t code = 0;
        if (lead < 0x80) {
            code = lead;
        } else if (lead >= 0xC2 && lead < 0xE0) {
            extra = 1;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            extra = 2;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead < 0xF5) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (size - i <= extra)
            return extra == 0 ? std::optional<CFIndex>(units + 1) : std::nullopt;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return std::nullopt;
            code = (code << 6) | (bytes[i + k] & 0x3F);
        }
        if ((extra == 2 && (code < 0x800 || (code >= 0xD800 && code < 0xE000)))
            || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)))
            return std::nullopt;
        units += code >= 0x10000 ? 2 : 1;
        i += extra + 1;
    }
    return units;
}

} // namespace

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean)
{
    if (encoding != kCFStringEncodingUTF8 || numBytes < 0 || (!bytes && numBytes > 0))
        return nullptr;
    const std::optional<CFIndex> length = utf16LengthOf(bytes, std::size_t(numBytes));
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
