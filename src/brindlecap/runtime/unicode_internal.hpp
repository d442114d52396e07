#pragma once
// UTF-8 decoding and encoding, and Python's printable test for repr() of strings.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brindlecap::runtime::unicode {

// Decodes the code point starting at s[i] and advances i past it. A byte that does not start
// a well-formed sequence decodes alone as U+DC00 + byte (a lone surrogate, as Python's
// surrogateescape would give), so every input decodes.
inline char32_t decode_utf8(std::string_view s, std::size_t& i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    }
    if (len != 0 && i + len <= s.size()) {
        bool ok = true;
        for (std::size_t k = 1; k < len && ok; ++k) {
            const unsigned char b = byte(i + k);
            ok = (b & 0xC0) == 0x80;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (ok && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
            i += len;
            return cp;
        }
    }
    ++i;
    return 0xDC00 + b0;
}

// Appends the UTF-8 encoding of cp (at most U+10FFFF; surrogates are encoded as they are).
inline void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// str.isprintable() of Python for one code point.
bool is_printable(char32_t cp) noexcept;

}  // namespace brindlecap::runtime::unicode
