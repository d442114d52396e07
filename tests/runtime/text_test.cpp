#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/number_text_internal.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/value.hpp"
#include "case_file.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::runtime {
namespace {

// The text forms in tests/data/cases/values.jsonl.
TEST(TextForms, CasesFromTheTable) {
    for (const test::Case& c : test::read_cases("values.jsonl")) {
        std::string got;
        if (c.has("repr")) {
            got = repr(c["repr"]);
            if (c["repr"].is_float()) EXPECT_EQ(repr(c["repr"].as_float()), got) << c.where;
        } else if (c.has("str")) {
            got = str(c["str"]);
        } else if (c.has("type_of")) {
            got = type_name(c["type_of"]);
        } else if (c.has("fixed")) {
            got = fixed(c["fixed"].as_float(), static_cast<int>(c["digits"].as_int()));
        } else if (c.has("json")) {
            got = test::outcome_text([&] { return parse_json(c.str("json")); });
        } else if (c.has("float_of")) {
            got = test::outcome_text([&] { return c["float_of"].to_double(); });
        } else if (c.has("truth")) {
            got = repr(Value(c["truth"].truthy()));
        } else {
            continue;  // equality and ordering: value_test
        }
        EXPECT_EQ(got, c.str("is")) << c.where;
    }
}

TEST(TextForms, NegativeNanBytesThatAreNotUtf8AndObjects) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(repr(-nan), "nan");
    EXPECT_EQ(fixed(-nan, 2), "nan");
    // Bytes that are not UTF-8 show as the host's surrogate escapes.
    const std::vector<std::pair<std::string, std::string>> bytes = {
        {"\xff" "a", "'\\udcffa'"}, {"\xc3", "'\\udcc3'"}, {"\xed\xa0\x80", "'\\udced\\udca0\\udc80'"}};
    for (const auto& [text, expected] : bytes) EXPECT_EQ(repr(std::string_view(text)), expected);
    EXPECT_EQ(repr(std::string_view("it's")), "\"it's\"");
    EXPECT_EQ(repr(Value(Dict{{3, Value::list({})}, {2.5, "x"}})), "{3: [], 2.5: 'x'}");
    const Value obj(ObjectPtr(std::make_shared<AttrObject>("Product", Dict{})));
    EXPECT_EQ(type_name(obj), "Product");
    EXPECT_EQ(repr(Value::list({obj})), "[<Product object>]");
}

// m * 10**e as std::from_chars reads it: any significand, those of ties between two doubles
// and their neighbours (a tie needs 5**|e| to divide 2M + 1, or m, so exponents from -4 on),
// and the digits of doubles, over the whole exponent range.
TEST(NearestDouble, AgreesWithFromChars) {
    std::mt19937_64 rng(2026);
    const auto odd_significand = [&] { return ((std::uint64_t{1} << 53) | (rng() & ((std::uint64_t{1} << 53) - 1))) | 1; };
    for (int i = 0; i < 300000; ++i) {
        int e = static_cast<int>(rng() % 45) - 22;
        std::uint64_t m = 0;
        switch (i % 5) {
            case 0: m = rng() >> (rng() % 64); break;
            case 1: m = rng() % 100000000000000000ULL; break;  // 17 digits, the shortest text of a double
            case 2: {  // 2M + 1 times 5**k over 10**k: halfway between two doubles
                const int k = static_cast<int>(rng() % 5);
                m = odd_significand();
                for (int z = 0; z < k; ++z) m *= 5;
                m <<= rng() % 2;
                e = -k;
                break;
            }
            case 3: {  // an odd multiple of 5**e in [2**53, 2**54), over 5**e
                e = static_cast<int>(rng() % 23);
                std::uint64_t p = 1;
                for (int z = 0; z < e; ++z) p *= 5;
                const std::uint64_t lo = ((std::uint64_t{1} << 53) + p - 1) / p;
                const std::uint64_t hi = ((std::uint64_t{1} << 54) - 1) / p;
                std::uint64_t t = lo + rng() % (hi - lo + 1);
                if (t % 2 == 0) t = t + 1 <= hi ? t + 1 : t - 1;
                m = t << (rng() % 8);
                break;
            }
            default: m = odd_significand() << (rng() % 11); break;
        }
        m += rng() % 3;
        m -= m == 0 ? 0 : rng() % 2;
        const std::string text = std::to_string(m) + "e" + std::to_string(e);
        double expected = 0.0;
        std::from_chars(text.data(), text.data() + text.size(), expected);
        const std::optional<double> got = nearest_double(m, e);
        ASSERT_TRUE(got.has_value()) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(*got), std::bit_cast<std::uint64_t>(expected)) << text;
    }
    EXPECT_FALSE(nearest_double(1, 23).has_value());
    EXPECT_FALSE(nearest_double(1, -23).has_value());
}

TEST(ReprFloat, RoundTripsAndKeepsAFractionDigit) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        const double d = std::bit_cast<double>(rng());
        if (!std::isfinite(d)) continue;
        const std::string text = repr(d);
        double back = 0.0;
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_TRUE(ec == std::errc() && ptr == text.data() + text.size()) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(d)) << text;
        const auto e = text.find('e');
        // Either a fraction digit or a signed exponent of at least two digits.
        if (e == std::string::npos) {
            ASSERT_NE(text.find('.'), std::string::npos) << text;
        } else {
            ASSERT_TRUE((text[e + 1] == '+' || text[e + 1] == '-') && text.size() - e >= 4) << text;
        }
    }
}

TEST(TextDisplays, ListsAndSets) {
    EXPECT_EQ(repr_list({"a", "it's"}), "['a', \"it's\"]");
    EXPECT_EQ(set_display({"b", "a"}), "{'b', 'a'}");
    EXPECT_EQ(set_display({}), "set()");
    EXPECT_EQ(int_set_display({1, 3, -2}), "{1, 3, -2}");
    EXPECT_EQ(int_set_display({}), "set()");
}

}  // namespace
}  // namespace brindlecap::runtime
