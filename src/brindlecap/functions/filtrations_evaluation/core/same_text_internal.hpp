#pragma once
// Equality of short byte strings without a call to memcmp.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brindlecap::functions::filtrations_evaluation::detail {

// Byte equality of short texts, inline: the library memcmp stalls on the masked loads it uses
// for a few bytes, which dominated the lookups of dictionary strings and identifiers.
inline bool same_text(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const auto differ = [&](std::size_t at) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a.data() + at, 8);
        std::memcpy(&y, b.data() + at, 8);
        return x ^ y;
    };
    if (n >= 8) {
        // Whole words, the last one overlapping the one before: no loop over the last bytes,
        // whose count varies from one text to the next.
        std::uint64_t d = differ(n - 8);
        if (n <= 16) return (d | differ(0)) == 0;
        for (std::size_t i = 0; i + 8 < n; i += 8) d |= differ(i);
        return d == 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
