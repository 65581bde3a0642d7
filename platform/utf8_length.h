#pragma once

#include <cstddef>
#include <optional>

// The UTF-16 length of well-formed UTF-8, or nothing for malformed input
// (overlong forms, surrogates, code points past U+10FFFF, cut sequences).
inline std::optional<long> utf16LengthOfUtf8(const char* text, std::size_t size)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    long units = 0;
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
            return std::nullopt;
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
