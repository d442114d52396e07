#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/value.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::runtime {
namespace {

TEST(ReprFloat, HostShortestForm) {
    const std::vector<std::pair<double, std::string>> cases = {
        {0.1, "0.1"},
        {2.0, "2.0"},
        {100.0, "100.0"},
        {12345.678, "12345.678"},
        {0.30000000000000004, "0.30000000000000004"},
        {1700000000.0, "1700000000.0"},
        {123456789012345.0, "123456789012345.0"},
        {1234567890123456.7, "1234567890123456.8"},
        {1e15, "1000000000000000.0"},
        {1e-13, "1e-13"},
        {1.5e-7, "1.5e-07"},
        {1e308, "1e+308"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {-2.5e-300, "-2.5e-300"},
        {5e-324, "5e-324"},
        {-0.0, "-0.0"},
        {0.0, "0.0"},
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
        {-std::numeric_limits<double>::quiet_NaN(), "nan"},
        {INFINITY, "inf"},
        {-INFINITY, "-inf"},
    };
    for (const auto& [d, expected] : cases) {
        EXPECT_EQ(repr(d), expected);
        EXPECT_EQ(repr(Value(d)), expected);
    }
}

TEST(ReprFloat, NotationBoundaries) {
    // Fixed notation for 1e-4 <= |x| < 1e16, exponent notation outside.
    EXPECT_EQ(repr(1e16), "1e+16");
    EXPECT_EQ(repr(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(repr(-1e16), "-1e+16");
    EXPECT_EQ(repr(1.2e16), "1.2e+16");
    EXPECT_EQ(repr(0.0001), "0.0001");
    EXPECT_EQ(repr(-0.0001), "-0.0001");
    EXPECT_EQ(repr(0.00009999), "9.999e-05");
    EXPECT_EQ(repr(1e-5), "1e-05");
}

TEST(ReprFloat, RoundTripsAndKeepsAFractionDigit) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        const double d = std::bit_cast<double>(rng());
        if (!std::isfinite(d)) continue;
        const std::string text = repr(d);
        double back = 0.0;
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_EQ(ec, std::errc()) << text;
        ASSERT_EQ(ptr, text.data() + text.size()) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(d)) << text;
        const bool has_exponent = text.find('e') != std::string::npos;
        ASSERT_TRUE(has_exponent || text.find('.') != std::string::npos) << text;
        if (has_exponent) {
            // Exponent always signed with at least two digits.
            const std::string exp = text.substr(text.find('e') + 1);
            ASSERT_TRUE(exp[0] == '+' || exp[0] == '-') << text;
            ASSERT_GE(exp.size(), 3u) << text;
        }
    }
    // Integral values across the fixed range.
    for (double d = 1.0; d < 1e16; d *= 7.0) {
        const double r = std::floor(d);
        const std::string text = repr(r);
        EXPECT_EQ(text.substr(text.size() - 2), ".0") << text;
        EXPECT_EQ(std::stod(text), r);
    }
}

TEST(ReprString, QuoteChoiceAndEscapes) {
    EXPECT_EQ(repr(std::string_view("abc")), "'abc'");
    EXPECT_EQ(repr(std::string_view("")), "''");
    EXPECT_EQ(repr(std::string_view("it's")), "\"it's\"");
    EXPECT_EQ(repr(std::string_view("say \"hi\"")), "'say \"hi\"'");
    EXPECT_EQ(repr(std::string_view("both ' and \"")), "'both \\' and \"'");
    EXPECT_EQ(repr(std::string_view("a\\b")), "'a\\\\b'");
    EXPECT_EQ(repr(std::string_view("l1\nl2\tx\r")), "'l1\\nl2\\tx\\r'");
    EXPECT_EQ(repr(std::string_view("\x01\x7f")), "'\\x01\\x7f'");
    EXPECT_EQ(repr(std::string_view("a\0b", 3)), "'a\\x00b'");
    EXPECT_EQ(repr(Value("it's")), "\"it's\"");
}

TEST(ReprString, NonAsciiPrintableOrEscaped) {
    EXPECT_EQ(repr(std::string_view("\xc3\xa9")), "'\xc3\xa9'");                   // é
    EXPECT_EQ(repr(std::string_view("\xef\xac\x81")), "'\xef\xac\x81'");           // U+FB01 ligature
    EXPECT_EQ(repr(std::string_view("\xf0\x9f\x98\x80")), "'\xf0\x9f\x98\x80'");   // emoji
    EXPECT_EQ(repr(std::string_view("\xc2\x85")), "'\\x85'");                       // C1 control
    EXPECT_EQ(repr(std::string_view("\xc2\xa0")), "'\\xa0'");                       // no-break space
    EXPECT_EQ(repr(std::string_view("\xe2\x80\x8b")), "'\\u200b'");                 // zero width space
    EXPECT_EQ(repr(std::string_view("\xe2\x80\xa8")), "'\\u2028'");                 // line separator
    EXPECT_EQ(repr(std::string_view("\xee\x80\x80")), "'\\ue000'");                 // private use
    EXPECT_EQ(repr(std::string_view("\xf4\x8f\xbf\xbf")), "'\\U0010ffff'");         // noncharacter
    EXPECT_EQ(repr(std::string_view("\xf3\xa0\x80\x81")), "'\\U000e0001'");         // language tag
    // Bytes that are not UTF-8 show as the host's surrogate escapes.
    EXPECT_EQ(repr(std::string_view("\xff" "a")), "'\\udcffa'");
    EXPECT_EQ(repr(std::string_view("\xc3")), "'\\udcc3'");
    EXPECT_EQ(repr(std::string_view("\xed\xa0\x80")), "'\\udced\\udca0\\udc80'");  // encoded surrogate
}

TEST(ReprValue, ScalarsAndContainers) {
    EXPECT_EQ(repr(Value()), "None");
    EXPECT_EQ(repr(Value(true)), "True");
    EXPECT_EQ(repr(Value(false)), "False");
    EXPECT_EQ(repr(Value(-42)), "-42");
    EXPECT_EQ(repr(Value(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
    EXPECT_EQ(repr(Value::list({})), "[]");
    EXPECT_EQ(repr(Value(Dict{})), "{}");
    const Value nested(Dict{{"a", Value::list({1, 2.5, None{}, true})}, {"b", Value(Dict{{"c", "d"}})},
                            {3, Value::list({})}});
    EXPECT_EQ(repr(nested), "{'a': [1, 2.5, None, True], 'b': {'c': 'd'}, 3: []}");
    EXPECT_EQ(repr(Value::list({Value::list({"x'y"}), 1e16})), "[[\"x'y\"], 1e+16]");
}

TEST(ReprValue, StrAndTypeNames) {
    EXPECT_EQ(str(Value("it's")), "it's");
    EXPECT_EQ(str(Value(0.1)), "0.1");
    EXPECT_EQ(str(Value::list({"a"})), "['a']");
    EXPECT_EQ(str(Value()), "None");

    EXPECT_EQ(type_name(Value()), "NoneType");
    EXPECT_EQ(type_name(Value(true)), "bool");
    EXPECT_EQ(type_name(Value(1)), "int");
    EXPECT_EQ(type_name(Value(1.0)), "float");
    EXPECT_EQ(type_name(Value("")), "str");
    EXPECT_EQ(type_name(Value::list({})), "list");
    EXPECT_EQ(type_name(Value(Dict{})), "dict");

    const Value obj(ObjectPtr(std::make_shared<AttrObject>("Product", Dict{})));
    EXPECT_EQ(type_name(obj), "Product");
    EXPECT_EQ(repr(obj), "<Product object>");
    EXPECT_EQ(repr(Value::list({obj})), "[<Product object>]");
}

TEST(TextDisplays, ListsSetsAndFixed) {
    EXPECT_EQ(repr_list({"a", "it's"}), "['a', \"it's\"]");
    EXPECT_EQ(repr_list({}), "[]");
    EXPECT_EQ(set_display({"b", "a"}), "{'b', 'a'}");
    EXPECT_EQ(set_display({}), "set()");
    EXPECT_EQ(int_set_display({1, 3, -2}), "{1, 3, -2}");
    EXPECT_EQ(int_set_display({}), "set()");

    EXPECT_EQ(fixed(0.1, 4), "0.1000");
    EXPECT_EQ(fixed(2.5, 0), "2");
    EXPECT_EQ(fixed(3.5, 0), "4");
    EXPECT_EQ(fixed(-0.0, 2), "-0.00");
    EXPECT_EQ(fixed(-0.001, 2), "-0.00");
    EXPECT_EQ(fixed(1e20, 3), "100000000000000000000.000");
    EXPECT_EQ(fixed(-INFINITY, 2), "-inf");
    EXPECT_EQ(fixed(-std::numeric_limits<double>::quiet_NaN(), 2), "nan");
}

}  // namespace
}  // namespace brindlecap::runtime
