// Pools born column-wise (the builder and the pool JSON reader) hold the same signals as pools
// built signal by signal from the same data.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::List;
using runtime::Value;
using test::message_of;

// Every signal as "id: {metadata}" with repr(), which shows key order and value kinds (1, 1.0,
// True, None, nan, inf).
std::vector<std::string> signals_of(const SignalPool& pool) {
    std::vector<std::string> out;
    for (std::size_t pos = 0; pos < pool.size(); ++pos) {
        out.push_back(pool.id(pos) + ": " + runtime::repr(Value(*pool.signal(pos).metadata)));
    }
    return out;
}

SignalPool inserted(const Value& doc) {
    SignalPool pool;
    for (const auto& [id, metadata] : doc.as_dict()) pool.insert(id.as_str(), UsefulSignal::make(metadata.as_dict()));
    return pool;
}

// Resolves a few trees over both pools: the same outcome, or the same error.
void expect_same_answers(const SignalPool& a, const SignalPool& b) {
    const auto store = registry_and_store::build_default_store();
    const std::vector<FilterNode> trees = {
        {"gt", {{"field", "x"}, {"value", 1}}, {}},
        {"top_pct", {{"field", "x"}, {"pct", 0.5}}, {}},
        {"in_", {{"field", "t"}, {"values", Value::list({"p", "é"})}}, {}},
        {"eq", {{"field", "c"}, {"value", "v"}}, {}},
    };
    for (const FilterNode& tree : trees) {
        const auto run = [&](const SignalPool& pool) {
            try {
                const std::vector<std::string> ids = resolve_filtrations(pool, tree, store).passing_ids;
                return runtime::repr(Value::list(List(ids.begin(), ids.end())));
            } catch (const runtime::Exception& e) {
                return e.kind() + ": " + e.message();
            }
        };
        EXPECT_EQ(run(a), run(b)) << tree.function_name;
    }
}

TEST(PoolJsonTest, SameSignalsAsParsingThenInserting) {
    const std::vector<std::string> docs = {
        // The common shape, with every literal and number form.
        R"({"s2": {"x": 1.5, "c": "v", "t": ["p", "q"], "b": true, "n": null, "f": NaN, "g": -Infinity,
                   "h": Infinity, "i": 3, "z": -0.0, "big": 1e400, "huge": 12345678901234567890.0,
                   "min": -9223372036854775808, "e": 1E5, "e2": 1.0e-2, "zero": 0, "neg": -0},
            "s10": {"t": [], "x": 2, "c": "w"}, "s1": {}, "s0": {"x": false, "t": ["é"]}})",
        // Keys in different orders, fields that change kind down the pool, big ints after floats.
        R"({"a": {"x": 1, "y": "s"}, "b": {"y": 2.5, "x": "s"}, "c": {"x": ["l"], "y": true},
            "d": {"x": true, "y": 9007199254740993}, "e": {"y": 0.5, "x": null}})",
        R"({"a": {"x": 9007199254740993}, "b": {"x": -9007199254740993}, "c": {"x": 7}})",
        // Escapes and raw UTF-8 in ids, keys and values; whitespace of every kind.
        "\n\t{ \"a\\\"b\" :{ \"k\\u00e9y\" : \"v\\\\n\\u00e9\\/\", \"t\" : [ \"\\ud83d\\ude00\" , \"x\\t\" ] } ,\r\n"
        "  \"\xc3\xa9\": {\"c\": \"\xc3\xbc\", \"t\": [\"\xc3\xa9\"]}}\r\n",
        // What the fast reader leaves to parse_json: nested objects, other lists, repeated ids and
        // keys (first position, last value).
        R"({"a": {"x": {"y": 1}}, "b": {"x": 2}})",
        R"({"a": {"t": [1, "p"], "x": 3}, "b": {"t": ["p"]}})",
        R"({"a": {"x": 1}, "b": {"x": 2}, "a": {"x": 5, "c": "v"}})",
        R"({"a": {"x": 1, "c": "v", "x": 0.5}})",
        "{}",
    };
    for (const std::string& doc : docs) {
        SCOPED_TRACE(doc);
        const SignalPool born = parse_signal_pool_json(doc);
        const SignalPool rows = inserted(runtime::parse_json(doc));
        expect_same_answers(born, rows);
        EXPECT_EQ(signals_of(born), signals_of(rows));
        EXPECT_EQ(born.keys().sorted(), rows.keys().sorted());
    }
}

TEST(PoolJsonTest, ErrorsAreTheJsonReadersOwn) {
    const std::vector<std::string> malformed = {
        "", "{", "{\"a\": {\"x\": 01}}", "{\"a\": {\"x\": 1.}}", "{\"a\": {\"x\": tru}}", "{\"a\": {\"x\": \"\x01\"}}",
        "{\"a\": {}} x", "{\"a\": {\"x\": \"\xff\"}}", "{\"a\": {\"x\": \"\\ud800\"}}", "{\"a\": {\"x\": -Inf}}",
        "{\"a\": {\"x\": [\"p\",]}}", "{\"a\": {\"x\": 1,}}", "{\"a\" {}}", "{'a': {}}", "{\"a\": {\"x\": \"\\q\"}}",
        "{\"a\": {\"x\": 12345678901234567890}}"};
    for (const std::string& text : malformed) {
        EXPECT_EQ(message_of<runtime::ValueError>([&] { parse_signal_pool_json(text); }),
                  message_of<runtime::ValueError>([&] { runtime::parse_json(text); }))
            << text;
    }
    EXPECT_EQ(message_of<runtime::TypeError>([] { parse_signal_pool_json("[1]"); }),
              "signal pool JSON must be an object of signal metadata objects, got list");
    EXPECT_EQ(message_of<runtime::TypeError>([] { parse_signal_pool_json(R"({"a": {}, "b": 5})"); }),
              "signal 'b': metadata must be an object, got int");

    const test::TempDir dir;
    const std::string bad = dir.file("bad.json");
    std::ofstream(bad) << "{\"a\": ";
    for (const std::string& path : {bad, dir.file("missing.json"), dir.path.string()}) {
        EXPECT_EQ(message_of<runtime::Exception>([&] { read_signal_pool_json(path); }),
                  message_of<runtime::Exception>([&] { runtime::read_json_file(path); }))
            << path;
    }
    const std::string good = dir.file("good.json");
    std::ofstream(good) << R"({"b": {"x": 1.5}, "a": {"x": "s"}})";
    EXPECT_EQ(signals_of(read_signal_pool_json(good)), signals_of(inserted(runtime::read_json_file(good))));
}

TEST(PoolBuilderTest, TypedArraysGiveTheSignalsOfTheirValues) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ColumnarPoolBuilder b({"s2", "s1", "s3"});
    const double x[] = {1.5, nan, -2.0};
    const std::uint8_t x_present[] = {1, 1, 0};
    const std::int64_t i[] = {3, std::int64_t{1} << 60, -1};
    const std::uint8_t flag[] = {1, 0, 7};
    const std::string_view names[] = {"p", "", "q"};
    const std::int32_t codes[] = {1, -1, 0};
    const std::uint64_t offsets[] = {0, 2, 2, 3};
    const std::string_view items[] = {"p", "é", "p"};
    const std::uint8_t t_present[] = {1, 1, 0};
    const Value extra[] = {Value(), Value(runtime::Dict{{"k", 1}}), Value::list({1, "a"})};
    b.add_float64("x", x, x_present)
        .add_int64("i", i)
        .add_bool("flag", flag)
        .add_strings("name", names)
        .add_categorical("c", codes, {"u", "v"})
        .add_string_lists("t", offsets, items, t_present)
        .add_values("extra", extra);
    EXPECT_EQ(b.size(), 3u);
    const SignalPool pool = std::move(b).build();

    const Value expected = runtime::parse_json(R"({
        "s2": {"x": 1.5, "i": 3, "flag": true, "name": "p", "c": "v", "t": ["p", "é"], "extra": null},
        "s1": {"x": NaN, "i": 1152921504606846976, "flag": false, "name": "", "t": [], "extra": {"k": 1}},
        "s3": {"i": -1, "flag": true, "name": "q", "c": "u", "extra": [1, "a"]}})");
    const SignalPool rows = inserted(expected);
    EXPECT_EQ(signals_of(pool), signals_of(rows));
    expect_same_answers(pool, rows);
}

// Lists of str read on first use; the first read fails when `fail_first` is set.
struct Lists final : DeferredField {
    int reads = 0;
    bool fail_first = false;
    void read(ColumnarPoolBuilder& column) override {
        if (++reads == 1 && fail_first) throw runtime::ValueError("column 't', signal " + runtime::repr(std::string_view(column.id(1))) + ": no");
        const std::uint64_t offsets[] = {0, 2, 2, 3};
        const std::string_view items[] = {"p", "é", "p"};
        const std::uint8_t present[] = {1, 1, 0};
        column.add_string_lists("t", offsets, items, present);
    }
};

TEST(PoolBuilderTest, DeferredFieldsAreReadOnceOnFirstUseInTheirPlace) {
    const Value expected = runtime::parse_json(R"({
        "s2": {"x": 1.5, "t": ["p", "é"], "i": 3}, "s1": {"x": 0.5, "t": [], "i": 1}, "s3": {"x": 2.0, "i": -1}})");
    const double x[] = {1.5, 0.5, 2.0};
    const std::int64_t i[] = {3, 1, -1};
    const auto build = [&](const std::shared_ptr<Lists>& t) {
        ColumnarPoolBuilder b({"s2", "s1", "s3"});
        b.add_float64("x", x).add_deferred("t", t).add_int64("i", i);
        return std::move(b).build();
    };
    const auto store = registry_and_store::build_default_store();
    const FilterNode on_x{"gt", {{"field", "x"}, {"value", 1}}, {}};
    const FilterNode on_t{"in_", {{"field", "t"}, {"values", Value::list({"é"})}}, {}};

    auto t = std::make_shared<Lists>();
    t->fail_first = true;
    const SignalPool pool = build(t);
    const SignalPool copy = pool;
    EXPECT_EQ(resolve_filtrations(pool, on_x, store).passing_ids, (std::vector<std::string>{"s2", "s3"}));
    EXPECT_EQ(t->reads, 0);
    EXPECT_EQ(message_of<runtime::ValueError>([&] { resolve_filtrations(pool, on_t, store); }), "column 't', signal 's1': no");
    EXPECT_EQ(resolve_filtrations(pool, on_t, store).passing_ids, std::vector<std::string>{"s2"});
    EXPECT_EQ(resolve_filtrations(copy, on_t, store).passing_ids, std::vector<std::string>{"s2"});
    EXPECT_EQ(signals_of(copy), signals_of(inserted(expected)));
    EXPECT_EQ(t->reads, 2);

    // The rows first: the deferred field keeps its place among the keys.
    t = std::make_shared<Lists>();
    const SignalPool rows_first = build(t);
    EXPECT_EQ(signals_of(rows_first), signals_of(inserted(expected)));
    expect_same_answers(rows_first, inserted(expected));
    EXPECT_EQ(t->reads, 1);
}

TEST(PoolBuilderTest, RefusesInconsistentInput) {
    const double one[] = {1.0}, two[] = {1.0, 2.0};
    const std::uint8_t present[] = {1};
    const std::int32_t codes[] = {0, 2};
    const std::uint64_t offsets[] = {0, 2, 1};
    const std::string_view items[] = {"p"};
    const auto ab = [] { return ColumnarPoolBuilder({"a", "b"}); };
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] { ColumnarPoolBuilder({"a", "b", "a"}); }, "signal id 'a' given twice"},
        {[&] { ab().add_float64("x", one); }, "field 'x': 1 values for 2 signals"},
        {[&] { ab().add_float64("x", two, present); }, "field 'x': 1 presence flags for 2 signals"},
        {[&] { ab().add_float64("x", two).add_float64("x", two); }, "field 'x' given twice"},
        {[&] { ab().add_categorical("c", codes, {"u", "v"}); }, "field 'c': code 2 past the 2 categories"},
        {[&] { ab().add_string_lists("t", offsets, items); }, "field 't': offsets must be 3 ascending entries ending at 1"},
    };
    for (const auto& [f, message] : cases) EXPECT_EQ(message_of<runtime::ValueError>(f), message);
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
