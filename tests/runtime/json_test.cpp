#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::runtime {
namespace {

template <class E>
std::string error_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.message();
    }
    ADD_FAILURE() << "expected an error";
    return {};
}

std::string parse_error(std::string_view text) {
    return error_message<ValueError>([&] { parse_json(text); });
}

std::vector<std::string> key_texts(const Dict& d) {
    std::vector<std::string> out;
    for (const auto& [k, v] : d) out.push_back(str(k));
    return out;
}

TEST(Json, NumbersKeepTheirKind) {
    EXPECT_TRUE(parse_json("1").is_int());
    EXPECT_TRUE(parse_json("-0").is_int());
    EXPECT_TRUE(parse_json("1.0").is_float());
    EXPECT_TRUE(parse_json("1e2").is_float());
    EXPECT_EQ(parse_json("1E+2").as_float(), 100.0);
    EXPECT_EQ(parse_json("2.5e-3").as_float(), 0.0025);
    EXPECT_TRUE(std::signbit(parse_json("-0.0").as_float()));

    const Value max = parse_json("9223372036854775807");
    ASSERT_TRUE(max.is_int());
    EXPECT_EQ(max.as_int(), std::numeric_limits<std::int64_t>::max());
    const Value min = parse_json("-9223372036854775808");
    ASSERT_TRUE(min.is_int());
    EXPECT_EQ(min.as_int(), std::numeric_limits<std::int64_t>::min());
    const Value over = parse_json("9223372036854775808");
    ASSERT_TRUE(over.is_float());
    EXPECT_EQ(over.as_float(), 9223372036854775808.0);
    EXPECT_TRUE(parse_json("-9223372036854775809").is_float());

    EXPECT_EQ(parse_json("1e400").as_float(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(parse_json("-1e400").as_float(), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(parse_json("123456789e305").as_float(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(parse_json("1e-400").as_float(), 0.0);
    EXPECT_EQ(parse_json("0.0000001e-400").as_float(), 0.0);
    EXPECT_TRUE(std::signbit(parse_json("-1e-400").as_float()));
}

TEST(Json, LiteralsAndStrings) {
    EXPECT_TRUE(parse_json("null").is_none());
    EXPECT_EQ(parse_json(" true ").as_bool(), true);
    EXPECT_EQ(parse_json("false").as_bool(), false);
    EXPECT_EQ(parse_json(R"("a\"b\\c\/d\n\t\r\b\f")").as_str(), "a\"b\\c/d\n\t\r\b\f");
    EXPECT_EQ(parse_json(R"("\u00e9")").as_str(), "\xc3\xa9");
    EXPECT_EQ(parse_json(R"("\ud83d\ude00")").as_str(), "\xf0\x9f\x98\x80");
    EXPECT_EQ(parse_json("\"\xc3\xa9t\xc3\xa9\"").as_str(), "\xc3\xa9t\xc3\xa9");
}

TEST(Json, NanAndInfinityRoundTrip) {
    const Value v = parse_json("[NaN, Infinity, -Infinity, {\"x\": NaN}]");
    const List& l = v.as_list();
    ASSERT_EQ(l.size(), 4u);
    EXPECT_TRUE(std::isnan(l[0].as_float()));
    EXPECT_EQ(l[1].as_float(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(l[2].as_float(), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(l[3].as_dict().at("x").is_nan());
    EXPECT_EQ(to_json(v), "[NaN, Infinity, -Infinity, {\"x\": NaN}]");
}

TEST(Json, DoublesStayDoublesAndRoundTrip) {
    EXPECT_EQ(to_json(Value(1.0)), "1.0");
    EXPECT_EQ(to_json(parse_json("1.0")), "1.0");
    EXPECT_EQ(to_json(parse_json("1e2")), "100.0");
    EXPECT_EQ(to_json(Value(1)), "1");
    EXPECT_EQ(to_json(Value(-0.0)), "-0.0");
    const double samples[] = {0.1, 0.1 + 0.2, 1.0 / 3.0, 1e-5, 1e16, 1.5e-7, 5e-324,
                              1.7976931348623157e308, -2.5, 1700000000.0, 123456789.123456789};
    for (const double d : samples) {
        const Value back = parse_json(to_json(Value(d)));
        ASSERT_TRUE(back.is_float()) << repr(d);
        EXPECT_EQ(back.as_float(), d) << repr(d);
    }
}

TEST(Json, ObjectsKeepFileOrder) {
    const Value v = parse_json(R"({"b": 1, "a": 2, "c": {"z": 0, "y": [true, null]}})");
    EXPECT_EQ(key_texts(v.as_dict()), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(key_texts(v.as_dict().at("c").as_dict()), (std::vector<std::string>{"z", "y"}));
    EXPECT_EQ(to_json(v), R"({"b": 1, "a": 2, "c": {"z": 0, "y": [true, null]}})");

    // A repeated key keeps its first position and takes the last value.
    const Value dup = parse_json(R"({"a": 1, "b": 2, "a": 3})");
    EXPECT_EQ(key_texts(dup.as_dict()), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(dup.as_dict().at("a"), Value(3));
}

TEST(Json, WritingFormats) {
    const Value v = parse_json(R"({"a": [1, 2], "b": {}, "c": []})");
    EXPECT_EQ(to_json(v, 2), "{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": {},\n  \"c\": []\n}");
    EXPECT_EQ(to_json(v, 0), "{\n\"a\": [\n1,\n2\n],\n\"b\": {},\n\"c\": []\n}");
    EXPECT_EQ(parse_json(to_json(v, 4)), v);

    const std::string text = std::string("q\"b\\s\nt\tc") + '\x01' + "\xc3\xa9";
    EXPECT_EQ(to_json(Value(text)), "\"q\\\"b\\\\s\\nt\\tc\\u0001\xc3\xa9\"");
    EXPECT_EQ(parse_json(to_json(Value(text))).as_str(), text);

    Dict keys;
    keys.set(Value(5), Value(1));
    keys.set(Value(1.5), Value(2));
    keys.set(Value(true), Value(3));
    keys.set(Value(), Value(4));
    EXPECT_EQ(to_json(Value(keys)), R"({"5": 1, "1.5": 2, "true": 3, "null": 4})");
}

TEST(Json, UnwritableValuesRaise) {
    const Value obj(std::make_shared<AttrObject>("Product", Dict{}));
    EXPECT_EQ(error_message<TypeError>([&] { to_json(Value::list({1, obj})); }),
              "Object of type Product is not JSON serializable");

    // The same list twice is fine; a list inside itself is not.
    const Value inner = Value::list({1});
    EXPECT_EQ(to_json(Value::list({inner, inner})), "[[1], [1]]");
    Value cycle = Value::list({1});
    cycle.as_list().push_back(cycle);
    EXPECT_EQ(error_message<ValueError>([&] { to_json(cycle); }), "Circular reference detected");
    cycle.as_list().clear();
}

TEST(Json, ErrorsGiveLineAndColumn) {
    EXPECT_EQ(parse_error(""), "Expecting value: line 1 column 1 (char 0)");
    EXPECT_EQ(parse_error("[1, 2"), "Expecting ',' delimiter: line 1 column 6 (char 5)");
    EXPECT_EQ(parse_error("[1,]"), "Expecting value: line 1 column 4 (char 3)");
    EXPECT_EQ(parse_error("{\n  \"a\": 1,\n  b: 2}"),
              "Expecting property name enclosed in double quotes: line 3 column 3 (char 14)");
    EXPECT_EQ(parse_error(R"({"a" 1})"), "Expecting ':' delimiter: line 1 column 6 (char 5)");
    EXPECT_EQ(parse_error("[1] x"), "Extra data: line 1 column 5 (char 4)");
    EXPECT_EQ(parse_error("01"), "Extra data: line 1 column 2 (char 1)");
    EXPECT_EQ(parse_error("-"), "Expecting value: line 1 column 1 (char 0)");
    EXPECT_EQ(parse_error("nan"), "Expecting value: line 1 column 1 (char 0)");
    EXPECT_EQ(parse_error("\"abc"), "Unterminated string starting at: line 1 column 1 (char 0)");
    EXPECT_EQ(parse_error("\"a\tb\""), "Invalid control character at: line 1 column 3 (char 2)");
    EXPECT_EQ(parse_error(R"("a\qb")"), "Invalid \\escape: line 1 column 3 (char 2)");
    EXPECT_EQ(parse_error(R"("\u12G4")"), "Invalid \\uXXXX escape: line 1 column 2 (char 1)");
    EXPECT_EQ(parse_error(R"("\ud800x")"),
              "Lone surrogate in \\uXXXX escape: line 1 column 2 (char 1)");
    EXPECT_EQ(parse_error("\"\xff\""), "Invalid UTF-8 byte: line 1 column 2 (char 1)");
    // Columns count code points, not bytes.
    EXPECT_EQ(parse_error("[\"\xc3\xa9\", x]"), "Expecting value: line 1 column 7 (char 6)");
}

TEST(Json, NestingDepthIsBounded) {
    const auto nested = [](int depth) {
        return std::string(static_cast<std::size_t>(depth), '[') +
               std::string(static_cast<std::size_t>(depth), ']');
    };
    const Value deepest = parse_json(nested(JSON_MAX_DEPTH));
    EXPECT_EQ(to_json(deepest), nested(JSON_MAX_DEPTH));
    EXPECT_EQ(parse_error(nested(JSON_MAX_DEPTH + 1)),
              "Nesting deeper than 10000 levels: line 1 column 10001 (char 10000)");
    std::string objects;
    for (int i = 0; i < 200'000; ++i) objects += R"({"a":)";
    EXPECT_EQ(parse_error(objects), "Nesting deeper than 10000 levels: line 1 column 50001 (char 50000)");

    Value deep = Value::list({1});
    for (int i = 0; i < JSON_MAX_DEPTH; ++i) deep = Value::list({deep});
    EXPECT_THROW(to_json(deep), ValueError);
}

class JsonFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "brindlecap_json_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& content) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    std::filesystem::path dir_;
};

TEST_F(JsonFile, ReadsAFileAndNamesItInErrors) {
    const std::string good = write("good.json", "{\"s\": [1, 2.0, NaN]}\n");
    const Value v = read_json_file(good);
    EXPECT_EQ(to_json(v), "{\"s\": [1, 2.0, NaN]}");

    const std::string bad = write("bad.json", "{\"s\": [1,\n 2,,]}");
    EXPECT_EQ(error_message<ValueError>([&] { read_json_file(bad); }),
              "invalid JSON in '" + bad + "': Expecting value: line 2 column 4 (char 13)");

    const std::string missing = (dir_ / "missing.json").string();
    const std::string message = error_message<RuntimeError>([&] { read_json_file(missing); });
    EXPECT_NE(message.find("'" + missing + "'"), std::string::npos) << message;
    const std::string dir_message =
        error_message<RuntimeError>([&] { read_json_file(dir_.string()); });
    EXPECT_NE(dir_message.find(dir_.string()), std::string::npos) << dir_message;
}

}  // namespace
}  // namespace brindlecap::runtime
