#include "cf_string.h"

#include <cstring>
#include <vector>

CFStringRef cfStringFromUtf8(std::string_view utf8)
{
    return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(utf8.data()),
                                   CFIndex(utf8.size()), kCFStringEncodingUTF8, false);
}

std::string utf8FromCFString(CFStringRef string)
{
    if (!string)
        return {};
    // Each UTF-16 unit takes at most three bytes of UTF-8, and a surrogate
    // pair (two units) four; one more for the terminating NUL.
    const CFIndex room = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    if (room <= 0)
        return {};
    std::vector<char> buffer(std::size_t(room), '\0');
    if (!CFStringGetCString(string, buffer.data(), room, kCFStringEncodingUTF8))
        return {};
    return std::string(buffer.data(), std::strlen(buffer.data()));
}
