// Deeply nested and self-containing values: printing, copying, freeing and JSON reading and
// writing use explicit stacks (the fuzz targets' and sanitizer runs' finds), and JSON nesting
// stops at JSON_MAX_DEPTH.

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

TEST(NestingTest, JsonToTheDepthLimitOnASmallStack) {
    // Lists and {"k": ...} dicts by turns from the outside, JSON_MAX_DEPTH levels around NaN.
    std::string repr_open, json_open, close;
    for (int i = 0; i < JSON_MAX_DEPTH; ++i) {
        repr_open += i % 2 ? "{'k': " : "[";
        json_open += i % 2 ? "{\"k\": " : "[";
        close.insert(0, i % 2 ? "}" : "]");
    }
    const std::string text = json_open + "NaN" + close;
    std::string printed, written, pretty, pretty_back, too_deep_write, too_deep_lists, too_deep_objects;
    ::test::on_small_stack([&] {
        const Value doc = parse_json(text);
        printed = repr(doc);
        written = to_json(doc);
        pretty = to_json(doc, 1);  // output grows with the square of the depth
        pretty_back = to_json(parse_json(pretty));
        too_deep_write = message_of<ValueError>([&] { to_json(Value::list({doc})); });
        too_deep_lists = message_of<ValueError>([&] { parse_json(std::string(JSON_MAX_DEPTH + 1, '[')); });
        std::string objects;
        for (int i = 0; i < 200'000; ++i) objects += R"({"a":)";
        too_deep_objects = message_of<ValueError>([&] { parse_json(objects); });
    });
    EXPECT_EQ(printed, repr_open + "nan" + close);
    EXPECT_EQ(written, text);
    EXPECT_EQ(pretty_back, text);
    // Indented output: one item per line, each level one more space.
    const std::string top = "[\n {\n  \"k\": [\n   {\n";
    EXPECT_EQ(pretty.substr(0, top.size()), top);
    EXPECT_NE(pretty.find("\n" + std::string(JSON_MAX_DEPTH, ' ') + "\"k\": NaN\n"), std::string::npos);
    EXPECT_EQ(too_deep_write, "Nesting deeper than 10000 levels");
    EXPECT_EQ(too_deep_lists, "Nesting deeper than 10000 levels: line 1 column 10001 (char 10000)");
    EXPECT_EQ(too_deep_objects, "Nesting deeper than 10000 levels: line 1 column 50001 (char 50000)");
}

TEST(NestingTest, DeepValuesCopyAndFreeOnASmallStack) {
    constexpr int depth = 100'000;
    const Value shared_str("x");
    Value deep(0);
    for (int i = 0; i < depth; ++i) deep = i % 2 ? Value(Dict{{"k", deep}, {"s", shared_str}}) : Value::list({deep});
    std::string original, copied, changed, original_after, kept;
    ::test::on_small_stack([&] {
        original = repr(deep);
        Value copy = deep.deep_copy();
        copied = repr(copy);
        EXPECT_FALSE(copy.is(deep));
        EXPECT_TRUE(copy.as_dict().at("s").is(shared_str));  // strings are shared
        // The innermost level of the copy changes; no level of the original is shared with it.
        Value* p = &copy;
        while (!p->is_int()) p = p->is_list() ? &p->as_list().front() : &p->as_dict().at("k");
        *p = Value(1);
        changed = repr(copy);
        original_after = repr(deep);
        copy = Value();
        // A part still held elsewhere stays alive while the levels around it go.
        Value inner = deep;
        for (int i = 0; i < 10; ++i) inner = Value(inner.is_list() ? inner.as_list().front() : inner.as_dict().at("k"));
        deep = Value();
        kept = repr(inner).substr(0, 8);
    });
    std::string open, close;  // the levels from the outside: dicts at odd i, lists at even i
    for (int i = depth - 1; i >= 0; --i) {
        open += i % 2 ? "{'k': " : "[";
        close.insert(0, i % 2 ? ", 's': 'x'}" : "]");
    }
    EXPECT_EQ(original, open + "0" + close);
    EXPECT_EQ(copied, original);
    EXPECT_EQ(changed, open + "1" + close);
    EXPECT_EQ(original_after, original);
    EXPECT_EQ(kept, "{'k': [{");  // a dict again after 10 levels
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
