#include "brindlecap/runtime/number_text_internal.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <cstdint>
#include <limits>
#include <system_error>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

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

// Whitespace as Python strips it.
bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

}  // namespace

std::optional<double> decimal_to_double(std::string_view text) {
    const char* first = text.data();
    const char* last = first + text.size();
    double d = 0.0;
    const auto r = std::from_chars(first, last, d, std::chars_format::general);
    if (r.ptr != last) return std::nullopt;
    if (r.ec == std::errc::result_out_of_range) {
        d = at_least_one(text) ? std::numeric_limits<double>::infinity() : 0.0;
        if (text[0] == '-') d = -d;
    } else if (r.ec != std::errc{}) {
        return std::nullopt;
    }
    return d;
}

std::optional<Value> number_value(std::string_view text, bool integral) {
    if (integral) {
        std::int64_t n = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
        if (r.ptr == text.data() + text.size()) {
            if (r.ec == std::errc{}) return Value{n};
            if (r.ec == std::errc::result_out_of_range) {
                throw ValueError("integer " + std::string(text) + " does not fit in 64 bits");
            }
        }
    }
    const std::optional<double> d = decimal_to_double(text);
    if (!d) return std::nullopt;
    return Value{*d};
}

double parse_python_float(std::string_view text) {
    const auto fail = [&]() -> double {
        throw ValueError("could not convert string to float: " + repr(text));
    };
    std::string_view s = text;
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return fail();
    if (iequals(s, "nan")) return negative ? -NAN : NAN;
    if (iequals(s, "inf") || iequals(s, "infinity")) return negative ? -INFINITY : INFINITY;
    if (!is_digit(s.front()) && s.front() != '.') return fail();

    // Underscores are allowed between digits only.
    std::string digits;
    digits.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '_') {
            if (i == 0 || i + 1 == s.size() || !is_digit(s[i - 1]) || !is_digit(s[i + 1])) return fail();
            continue;
        }
        digits.push_back(s[i]);
    }
    const std::optional<double> value = decimal_to_double(digits);
    if (!value) return fail();
    return negative ? -*value : *value;
}

}  // namespace brindlecap::runtime
