#include "brindlecap/runtime/number_text_internal.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace brindlecap::runtime {

namespace {

// For text outside the double range: whether its magnitude is at least 1 (so it overflows
// rather than underflows), from the place of its first nonzero digit and its exponent.
bool at_least_one(std::string_view text) {
    std::size_t k = !text.empty() && text[0] == '-' ? 1 : 0;
    long long int_digits = 0;
    long long position = 0;
    long long first_nonzero = -1;
    bool fraction = false;
    for (; k < text.size() && text[k] != 'e' && text[k] != 'E'; ++k) {
        if (text[k] == '.') {
            fraction = true;
            continue;
        }
        if (!fraction) ++int_digits;
        if (first_nonzero < 0 && text[k] != '0') first_nonzero = position;
        ++position;
    }
    long long exponent = 0;
    if (k < text.size()) {
        ++k;
        bool negative = false;
        if (k < text.size() && (text[k] == '+' || text[k] == '-')) negative = text[k++] == '-';
        for (; k < text.size(); ++k) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[k] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return first_nonzero >= 0 && int_digits - first_nonzero - 1 + exponent >= 0;
}

}  // namespace

std::optional<Value> number_value(std::string_view text, bool integral) {
    const char* first = text.data();
    const char* last = first + text.size();
    if (integral) {
        std::int64_t n = 0;
        const auto r = std::from_chars(first, last, n);
        if (r.ec == std::errc{} && r.ptr == last) return Value{n};
    }
    double d = 0.0;
    const auto r = std::from_chars(first, last, d);
    if (r.ptr != last) return std::nullopt;
    if (r.ec == std::errc::result_out_of_range) {
        d = at_least_one(text) ? std::numeric_limits<double>::infinity() : 0.0;
        if (text[0] == '-') d = -d;
    } else if (r.ec != std::errc{}) {
        return std::nullopt;
    }
    return Value{d};
}

}  // namespace brindlecap::runtime
