// Deeply nested and self-containing values: printing and JSON writing use explicit stacks.

#include <gtest/gtest.h>

#include <string>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/value.hpp"
#include "runtime/small_stack.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::runtime {
namespace {

using test::message_of;

// depth nested single-element lists around 0, the innermost a dict when with_dict.
Value nested(int depth, bool with_dict = false) {
    Value v = with_dict ? Value(Dict{{"k", 0}}) : Value(0);
    for (int i = 0; i < depth; ++i) v = Value::list({v});
    return v;
}

TEST(NestingTest, DeepValuesPrintAndWriteOnASmallStack) {
    const Value deep = nested(JSON_MAX_DEPTH - 1, true);  // JSON_MAX_DEPTH containers in all
    const Value too_deep = nested(JSON_MAX_DEPTH, true);
    std::string text;
    std::string json;
    std::string pretty;
    std::string too_deep_error;
    Value parsed;
    ::test::on_small_stack([&] {
        text = repr(deep);
        json = to_json(deep);
        pretty = to_json(nested(999, true), 1);  // output grows with the square of the depth
        too_deep_error = message_of<ValueError>([&] { to_json(too_deep); });
        parsed = parse_json(json);
    });
    const std::string open(JSON_MAX_DEPTH - 1, '[');
    const std::string close(JSON_MAX_DEPTH - 1, ']');
    EXPECT_EQ(text, open + "{'k': 0}" + close);
    EXPECT_EQ(json, open + "{\"k\": 0}" + close);
    EXPECT_EQ(too_deep_error, "Nesting deeper than 10000 levels");
    // Indented output: one item per line, each level one more space.
    EXPECT_EQ(pretty.substr(0, 7), "[\n [\n  ");
    EXPECT_NE(pretty.find("\n" + std::string(1000, ' ') + "\"k\": 0\n"), std::string::npos);
    EXPECT_EQ(repr(parsed), text);
}

TEST(NestingTest, SelfContainingValues) {
    // The host prints a container met again inside itself as [...] or {...}; JSON refuses it.
    Value list = Value::list({1});
    list.as_list().push_back(list);
    Value dict(Dict{{"a", 1}});
    dict.as_dict().set("self", dict);
    dict.as_dict().set("list", list);
    EXPECT_EQ(repr(list), "[1, [...]]");
    EXPECT_EQ(repr(dict), "{'a': 1, 'self': {...}, 'list': [1, [...]]}");
    EXPECT_EQ(message_of<ValueError>([&] { to_json(list); }), "Circular reference detected");
    EXPECT_EQ(message_of<ValueError>([&] { to_json(dict); }), "Circular reference detected");

    // Shared, not circular: printed in full each time.
    const Value shared = Value::list({"x"});
    const Value twice = Value::list({shared, Value(Dict{{"s", shared}}), shared});
    EXPECT_EQ(repr(twice), "[['x'], {'s': ['x']}, ['x']]");
    EXPECT_EQ(to_json(twice), "[[\"x\"], {\"s\": [\"x\"]}, [\"x\"]]");

    // A self-containing value deeper than the shallow bookkeeping still prints.
    Value outer = Value::list({});
    Value inner = outer;
    for (int i = 0; i < 100; ++i) {
        Value next = Value::list({});
        inner.as_list().push_back(next);
        inner = next;
    }
    inner.as_list().push_back(outer);
    EXPECT_EQ(repr(outer), std::string(101, '[') + "[...]" + std::string(101, ']'));
    EXPECT_EQ(message_of<ValueError>([&] { to_json(outer); }), "Circular reference detected");
    // Break the cycles so that the values can be freed.
    inner.as_list().clear();
    list.as_list().pop_back();
    dict.as_dict().clear();
}

}  // namespace
}  // namespace brindlecap::runtime
