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
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) return false;
    }
    for (; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
