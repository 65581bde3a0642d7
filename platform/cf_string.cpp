#include "cf_string.h"

#include <atomic>

struct __RavletCFString {
    mutable std::atomic<int> refs{1};
    std::string utf8;
};

namespace {
std::atomic<long> liveStrings{0};
}

CFStringRef cfStringFromUtf8(std::string_view text)
{
    auto* string = new __RavletCFString;
    string->utf8.assign(text);
    liveStrings.fetch_add(1, std::memory_order_relaxed);
    return string;
}

CFStringRef CFRetain(CFStringRef string)
{
    if (string)
        string->refs.fetch_add(1, std::memory_order_relaxed);
    return string;
}

void CFRelease(CFStringRef string)
{
    if (!string)
        return;
    if (string->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        liveStrings.fetch_sub(1, std::memory_order_relaxed);
        delete string;
    }
}

std::string utf8FromCFString(CFStringRef string)
{
    return string ? string->utf8 : std::string();
}

long liveCFObjectCount()
{
    return liveStrings.load(std::memory_order_relaxed);
}
