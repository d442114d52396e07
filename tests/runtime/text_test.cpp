#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/value.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::runtime {
namespace {

TEST(ReprFloat, HostShortestFormAndNotationBoundaries) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::pair<double, std::string>> cases = {
        {0.1, "0.1"}, {2.0, "2.0"}, {12345.678, "12345.678"}, {0.30000000000000004, "0.30000000000000004"},
        {1700000000.0, "1700000000.0"}, {1234567890123456.7, "1234567890123456.8"}, {1e15, "1000000000000000.0"},
        {1e-13, "1e-13"}, {1.5e-7, "1.5e-07"}, {1e308, "1e+308"}, {1.7976931348623157e308, "1.7976931348623157e+308"},
        {-2.5e-300, "-2.5e-300"}, {5e-324, "5e-324"}, {-0.0, "-0.0"}, {0.0, "0.0"}, {nan, "nan"}, {-nan, "nan"},
        {INFINITY, "inf"}, {-INFINITY, "-inf"},
        // Fixed notation for 1e-4 <= |x| < 1e16, exponent notation outside.
        {1e16, "1e+16"}, {9999999999999998.0, "9999999999999998.0"}, {-1e16, "-1e+16"}, {1.2e16, "1.2e+16"},
        {0.0001, "0.0001"}, {-0.0001, "-0.0001"}, {0.00009999, "9.999e-05"}, {1e-5, "1e-05"}};
    for (const auto& [d, expected] : cases) {
        EXPECT_EQ(repr(d), expected);
        EXPECT_EQ(repr(Value(d)), expected);
    }
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

TEST(ReprString, QuotesEscapesAndNonAscii) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"abc", "'abc'"}, {"", "''"}, {"it's", "\"it's\""}, {"say \"hi\"", "'say \"hi\"'"},
        {"both ' and \"", "'both \\' and \"'"}, {"a\\b", "'a\\\\b'"}, {"l1\nl2\tx\r", "'l1\\nl2\\tx\\r'"},
        {"\x01\x7f", "'\\x01\\x7f'"}, {std::string("a\0b", 3), "'a\\x00b'"},
        {"\xc3\xa9", "'\xc3\xa9'"},                    // printable non-ASCII stays
        {"\xf0\x9f\x98\x80", "'\xf0\x9f\x98\x80'"},    // emoji
        {"\xc2\x85", "'\\x85'"},                        // C1 control
        {"\xc2\xa0", "'\\xa0'"},                        // no-break space
        {"\xe2\x80\x8b", "'\\u200b'"},                  // zero width space
        {"\xee\x80\x80", "'\\ue000'"},                  // private use
        {"\xf4\x8f\xbf\xbf", "'\\U0010ffff'"},          // noncharacter
        // Bytes that are not UTF-8 show as the host's surrogate escapes.
        {"\xff" "a", "'\\udcffa'"}, {"\xc3", "'\\udcc3'"}, {"\xed\xa0\x80", "'\\udced\\udca0\\udc80'"}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(repr(std::string_view(text)), expected);
    EXPECT_EQ(repr(Value("it's")), "\"it's\"");
}

TEST(ReprValue, ScalarsContainersStrAndTypeNames) {
    EXPECT_EQ(repr(Value()), "None");
    EXPECT_EQ(repr(Value(false)), "False");
    EXPECT_EQ(repr(Value(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
    const Value nested(Dict{{"a", Value::list({1, 2.5, None{}, Value(true)})}, {"b", Dict{{"c", "d"}}}, {3, Value::list({})}});
    EXPECT_EQ(repr(nested), "{'a': [1, 2.5, None, True], 'b': {'c': 'd'}, 3: []}");
    EXPECT_EQ(repr(Value::list({Value::list({"x'y"}), 1e16})), "[[\"x'y\"], 1e+16]");
    EXPECT_EQ(str(Value("it's")), "it's");
    EXPECT_EQ(str(Value::list({"a"})), "['a']");

    const Value obj(ObjectPtr(std::make_shared<AttrObject>("Product", Dict{})));
    const std::vector<std::pair<Value, std::string>> types = {
        {Value(), "NoneType"}, {Value(true), "bool"}, {1, "int"}, {1.0, "float"}, {"", "str"}, {Value::list({}), "list"},
        {Dict{}, "dict"}, {obj, "Product"}};
    for (const auto& [v, name] : types) EXPECT_EQ(type_name(v), name);
    EXPECT_EQ(repr(Value::list({obj})), "[<Product object>]");
}

TEST(TextDisplays, ListsSetsAndFixed) {
    EXPECT_EQ(repr_list({"a", "it's"}), "['a', \"it's\"]");
    EXPECT_EQ(set_display({"b", "a"}), "{'b', 'a'}");
    EXPECT_EQ(set_display({}), "set()");
    EXPECT_EQ(int_set_display({1, 3, -2}), "{1, 3, -2}");
    EXPECT_EQ(int_set_display({}), "set()");

    const std::vector<std::tuple<double, int, std::string>> fixed_cases = {
        {0.1, 4, "0.1000"}, {2.5, 0, "2"}, {3.5, 0, "4"}, {-0.0, 2, "-0.00"}, {-0.001, 2, "-0.00"},
        {1e20, 3, "100000000000000000000.000"}, {-INFINITY, 2, "-inf"},
        {-std::numeric_limits<double>::quiet_NaN(), 2, "nan"}};
    for (const auto& [d, digits, expected] : fixed_cases) EXPECT_EQ(fixed(d, digits), expected);
}

}  // namespace
}  // namespace brindlecap::runtime
