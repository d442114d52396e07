#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::runtime {
namespace {

using test::key_texts;
using test::message_of;

const double kInf = std::numeric_limits<double>::infinity();

std::string parse_error(std::string_view text) {
    return message_of<ValueError>([&] { parse_json(text); });
}

// Numbers and what they read as, errors with their line and column: tests/data/cases/values.jsonl.

TEST(Json, LiteralsStringsAndNonFiniteRoundTrip) {
    EXPECT_TRUE(parse_json("null").is_none());
    EXPECT_EQ(parse_json(" true "), Value(true));
    EXPECT_EQ(parse_json(R"("a\"b\\c\/d\n\t\r\b\f")").as_str(), "a\"b\\c/d\n\t\r\b\f");
    // \u escapes, surrogate pairs included (the last pair is U+10FFFF).
    EXPECT_EQ(parse_json(R"("\u00e9\ud83d\ude00\udbff\udfff")").as_str(), "\xc3\xa9\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf");

    const Value v = parse_json("[NaN, Infinity, -Infinity, {\"x\": NaN}]");
    EXPECT_TRUE(v.as_list()[0].is_nan());
    EXPECT_EQ(v.as_list()[2].as_float(), -kInf);
    EXPECT_TRUE(v.as_list()[3].as_dict().at("x").is_nan());
    EXPECT_EQ(to_json(v), "[NaN, Infinity, -Infinity, {\"x\": NaN}]");

    EXPECT_EQ(to_json(parse_json("1e2")), "100.0");
    EXPECT_EQ(to_json(Value(1)), "1");
    EXPECT_EQ(to_json(Value(-0.0)), "-0.0");
    for (const double d : {0.1, 0.1 + 0.2, 1.0 / 3.0, 1e-5, 1e16, 5e-324, 1.7976931348623157e308, 1700000000.0}) {
        const Value back = parse_json(to_json(Value(d)));
        ASSERT_TRUE(back.is_float()) << repr(d);
        EXPECT_EQ(back.as_float(), d) << repr(d);
    }
}

TEST(Json, ObjectsKeepFileOrderAndWritingFormats) {
    const Value v = parse_json(R"({"b": 1, "a": 2, "c": {"z": 0, "y": [true, null]}})");
    EXPECT_EQ(key_texts(v.as_dict()), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(to_json(v), R"({"b": 1, "a": 2, "c": {"z": 0, "y": [true, null]}})");
    // A repeated key keeps its first position and takes the last value.
    const Value dup = parse_json(R"({"a": 1, "b": 2, "a": 3})");
    EXPECT_EQ(key_texts(dup.as_dict()), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(dup.as_dict().at("a"), Value(3));

    const Value small = parse_json(R"({"a": [1, 2], "b": {}, "c": []})");
    EXPECT_EQ(to_json(small, 2), "{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": {},\n  \"c\": []\n}");

    const std::string text = std::string("q\"b\\s\nt\tc") + '\x01' + "\xc3\xa9";
    EXPECT_EQ(to_json(Value(text)), "\"q\\\"b\\\\s\\nt\\tc\\u0001\xc3\xa9\"");
    EXPECT_EQ(parse_json(to_json(Value(text))).as_str(), text);

    Dict keys;
    keys.set(Value(5), Value(1));
    keys.set(Value(1.5), Value(2));
    keys.set(Value(true), Value(3));
    keys.set(Value(), Value(4));
    EXPECT_EQ(to_json(Value(keys)), R"({"5": 1, "1.5": 2, "true": 3, "null": 4})");
    // Other keys and objects are refused (lists inside themselves: nesting_test).
    const Value obj(std::make_shared<AttrObject>("Product", Dict{}));
    EXPECT_EQ(message_of<TypeError>([&] { to_json(Value::list({1, obj})); }),
              "Object of type Product is not JSON serializable");
    EXPECT_EQ(message_of<TypeError>([&] { to_json(Value(Dict{{obj, 1}})); }),
              "keys must be str, int, float, bool or None, not Product");
}

TEST(Json, BytesThatAreNotUtf8GiveTheirColumn) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"\xff\"", "line 1 column 2 (char 1)"},
        // Overlong forms, an encoded surrogate, beyond U+10FFFF, a cut sequence.
        {"\"\xc0\xaf\"", "line 1 column 2 (char 1)"},
        {"\"\xc3\xa9\xe0\x80\xaf\"", "line 1 column 3 (char 2)"},
        {"\"\xf0\x8f\xbf\xbf\"", "line 1 column 2 (char 1)"},
        {"\"\xed\xa0\x80\"", "line 1 column 2 (char 1)"},
        {"\"\xf4\x90\x80\x80\"", "line 1 column 2 (char 1)"},
        {"\"\xe2\x82\"", "line 1 column 2 (char 1)"}};
    for (const auto& [text, where] : cases) EXPECT_EQ(parse_error(text), "Invalid UTF-8 byte: " + where) << text;
}

TEST(Json, ReadsAFileAndNamesItInErrors) {
    const test::TempDir dir;
    std::ofstream(dir.file("good.json")) << "{\"s\": [1, 2.0, NaN]}\n";
    EXPECT_EQ(to_json(read_json_file(dir.file("good.json"))), "{\"s\": [1, 2.0, NaN]}");
    const std::string bad = dir.file("bad.json");
    std::ofstream(bad) << "{\"s\": [1,\n 2,,]}";
    EXPECT_EQ(message_of<ValueError>([&] { read_json_file(bad); }),
              "invalid JSON in '" + bad + "': Expecting value: line 2 column 4 (char 13)");
    const std::string missing = dir.file("missing.json");
    EXPECT_NE(message_of<RuntimeError>([&] { read_json_file(missing); }).find("'" + missing + "'"), std::string::npos);
    EXPECT_THROW(read_json_file(dir.path.string()), RuntimeError);
}

}  // namespace
}  // namespace brindlecap::runtime
