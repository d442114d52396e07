#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/value.hpp"
#include "case_file.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::runtime {
namespace {

using test::message_of;

const double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// Equality and ordering in tests/data/cases/values.jsonl.
TEST(ValueEquality, CasesFromTheTable) {
    for (const test::Case& c : test::read_cases("values.jsonl")) {
        if (c.has("equal")) {
            const Value& a = c["a"];
            const Value& b = c["b"];
            EXPECT_EQ(a == b, c["equal"].as_bool()) << c.where;
            EXPECT_EQ(b == a, c["equal"].as_bool()) << c.where;
            if (c["equal"].as_bool()) EXPECT_EQ(hash_value(a), hash_value(b)) << c.where;
        } else if (c.has("less")) {
            const Value& a = c["less"].as_list()[0];
            const Value& b = c["less"].as_list()[1];
            const bool expected = c["is"].as_bool();
            EXPECT_EQ(less(a, b), expected) << c.where;
            EXPECT_EQ(greater(b, a), expected) << c.where;
            EXPECT_EQ(greater_equal(a, b), !expected) << c.where;
            EXPECT_EQ(less_equal(b, a), !expected) << c.where;
        }
    }
}

TEST(ValueEquality, NanAndHashesOfBigNumbers) {
    const Value nan(kNan);
    EXPECT_NE(nan, nan);
    EXPECT_TRUE(nan.is_nan());
    EXPECT_FALSE(Value("nan").is_nan());
    EXPECT_EQ(hash_value(Value(std::int64_t{1} << 62)), hash_value(Value(0x1p62)));
    EXPECT_EQ(hash_value(Value(kMin)), hash_value(Value(-0x1p63)));
}

TEST(ValueEquality, EqualNumbersCollideAsDictKeys) {
    // In the host {1: 'a', 1.0: 'b', True: 'c'} is {1: 'c'}; small dicts and indexed ones alike.
    for (int filler : {0, 30}) {
        Dict d;
        for (int i = 0; i < filler; ++i) d.set("k" + std::to_string(i), i);
        d.set(1, "a");
        d.set(1.0, "b");
        d.set(Value(true), "c");
        ASSERT_EQ(d.size(), static_cast<std::size_t>(filler) + 1);
        EXPECT_TRUE(d.item(d.size() - 1).first.is_int());
        EXPECT_EQ(d.get(1.0), Value("c"));
        EXPECT_EQ(d.get(Value(true)), Value("c"));
        EXPECT_FALSE(d.contains(Value(1.5)));
        EXPECT_FALSE(d.contains(Value("1")));
    }
    // The same NaN value finds itself.
    Dict nan_key;
    const Value nan(kNan);
    nan_key.set(nan, 1);
    nan_key.set(nan, 2);
    EXPECT_TRUE(nan_key.contains(nan));
    EXPECT_EQ(nan_key.size(), 1u);
}

TEST(ValueOrdering, NanAndUnorderableKinds) {
    for (const Value& other : {Value(1), Value(kNan), Value(true), Value(-INFINITY)}) {
        EXPECT_FALSE(less(kNan, other) || less(other, kNan) || less_equal(kNan, other) ||
                     greater(kNan, other) || greater_equal(other, kNan))
            << repr(other);
    }
    // Unorderable kinds raise the host's TypeError; lists report the first differing elements.
    EXPECT_EQ(message_of<TypeError>([] { less("a", 1.5); }), "'<' not supported between instances of 'str' and 'float'");
    EXPECT_EQ(message_of<TypeError>([] { less(Value::list({1, "a"}), Value::list({1, 2})); }),
              "'<' not supported between instances of 'str' and 'int'");
}

TEST(DictBasics, OrderReplacePopAndLookups) {
    Dict d{{"b", 1}, {"a", 2}, {"c", 3}};
    d.set("a", 20);  // a replaced key keeps its place
    EXPECT_EQ(Value(d.keys()), Value::list({"b", "a", "c"}));
    EXPECT_EQ(d.pop("b"), Value(1));
    EXPECT_FALSE(d.pop("b").has_value());
    d.set("b", 5);  // a re-inserted key goes to the end
    EXPECT_EQ(Value(d.keys()), Value::list({"a", "c", "b"}));
    EXPECT_EQ(d.at("a"), Value(20));

    // Duplicate keys in the initializer: the last value wins at the first position.
    const Dict dup{{"x", 1}, {"y", 2}, {"x", 3}};
    EXPECT_EQ(Value(dup.keys()), Value::list({"x", "y"}));
    EXPECT_EQ(dup.at("x"), Value(3));

    Dict mixed{{"name", "x"}, {2, "two"}, {None{}, "none"}};
    EXPECT_EQ(mixed.get(std::string_view("missing"), 7), Value(7));
    EXPECT_EQ(mixed.at(2.0), Value("two"));
    EXPECT_FALSE(mixed.contains(std::string_view("2")));
    *mixed.find("name") = "y";
    EXPECT_EQ(mixed.at("name"), Value("y"));
    EXPECT_EQ(message_of<KeyError>([&] { (void)mixed.at("absent"); }), "'absent'");
    EXPECT_EQ(message_of<TypeError>([&] { mixed.set(Value::list({1}), 1); }), "unhashable type: 'list'");
}

// ---- key layouts ----------------------------------------------------------------------------

Dict dict_of(std::initializer_list<const char*> keys) {
    Dict d;
    int i = 0;
    for (const char* k : keys) d.set(k, i++);
    return d;
}

TEST(DictLayout, SharedLayoutsAreInvisibleAndCopiedOnWrite) {
    const Dict a = dict_of({"x", "y", "z"});
    const Dict c = dict_of({"y", "x", "z"});
    EXPECT_EQ(a.layout(), dict_of({"x", "y", "z"}).layout());
    EXPECT_NE(a.layout(), c.layout());
    // A shared layout changes nothing a caller sees: order, lookups, equality.
    EXPECT_EQ(repr(Value(c)), "{'y': 0, 'x': 1, 'z': 2}");
    EXPECT_EQ(a, (Dict{{"z", 2}, {"y", 1}, {"x", 0}}));
    EXPECT_NE(a, c);  // same keys, values at other keys

    // An own layout shared by copies is copied before either changes its keys.
    Dict own{{1, "one"}, {"s", "str"}};
    Dict twin = own.copy();
    EXPECT_EQ(twin.layout(), own.layout());
    twin.set(2, "two");
    twin.pop(Value(1));
    EXPECT_EQ(repr(Value(own)), "{1: 'one', 's': 'str'}");
    EXPECT_EQ(repr(Value(twin)), "{'s': 'str', 2: 'two'}");
}

TEST(DictLayout, RandomOperationsMatchAnOrderedList) {
    // Reference: the same operations on a plain list searched linearly. Sizes hover about the
    // index threshold, a middle size or the shared-key limit; keys come from 12 or 90 strings
    // (many dicts meet on shared layouts) or 3000 ints and strings. Keys are dropped (last or
    // not) and re-added, ints popped through their float twin; copies keep their contents.
    std::mt19937 rng(11);
    std::vector<Value> keys;
    for (int i = 0; i < 1500; ++i) keys.emplace_back("f" + std::to_string(i));
    for (int i = 0; i < 1500; ++i) keys.emplace_back(i);
    using Model = std::vector<std::pair<Value, int>>;
    for (int round = 0; round < 27; ++round) {
        const std::size_t target = std::array{8, 40, 64}[round % 3], key_count = std::array{12, 90, 3000}[round / 3 % 3];
        Dict d;
        Model model;
        std::vector<std::pair<Dict, Model>> snapshots;
        const auto find = [&](const Value& key) {
            return std::find_if(model.begin(), model.end(), [&](const auto& kv) { return kv.first == key; });
        };
        for (int step = 0; step < 800; ++step) {
            if (model.empty() || rng() % 100 < (model.size() < target ? 75u : 25u)) {
                const Value& key = keys[rng() % key_count];
                d.set(key, step);
                if (const auto it = find(key); it != model.end()) {
                    it->second = step;
                } else {
                    model.emplace_back(key, step);
                }
            } else {
                const std::size_t at = rng() % 3 == 0 ? model.size() - 1 : rng() % model.size();
                Value key = rng() % 10 != 0 ? model[at].first : keys[rng() % key_count];  // or maybe absent
                const auto it = find(key);
                if (key.is_int()) key = Value(static_cast<double>(key.as_int()));
                const std::optional<Value> popped = d.pop(key);
                ASSERT_EQ(popped.has_value(), it != model.end()) << "step " << step;
                if (popped) {
                    ASSERT_EQ(*popped, Value(it->second));
                    model.erase(it);
                }
            }
            ASSERT_EQ(d.size(), model.size());
            for (std::size_t i = 0; i < model.size(); ++i) {
                const Value& k = model[i].first;
                const Value* found = k.is_str() ? d.find(std::string_view(k.as_str())) : d.find(k);
                ASSERT_NE(found, nullptr) << "step " << step << " key " << repr(k);
                ASSERT_EQ(*found, Value(model[i].second));
                ASSERT_EQ(d.position(k), static_cast<std::ptrdiff_t>(i));
            }
            if (step % 50 == 0) snapshots.emplace_back(d.copy(), model);
        }
        snapshots.emplace_back(std::move(d), std::move(model));
        for (const auto& [dict, expected] : snapshots) {
            ASSERT_EQ(dict.size(), expected.size());
            for (std::size_t i = 0; i < expected.size(); ++i) {
                ASSERT_EQ(dict.item(i).first, expected[i].first);
                ASSERT_EQ(dict.item(i).second, Value(expected[i].second));
            }
        }
    }
    // Equality of indexed dicts ignores order; a copy is independent.
    Dict a, b;
    for (int i = 0; i < 40; ++i) a.set(i, i * i);
    for (int i = 39; i >= 0; --i) b.set(static_cast<double>(i), i * i);
    EXPECT_EQ(a, b);
    Dict c = a.copy();
    c.set(39, 0);
    EXPECT_NE(a, c);
}

TEST(DictLayout, ConcurrentBuildersMeetOnOneLayout) {
    constexpr int per_thread = 2000;
    std::vector<std::vector<Dict>> built(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&built, t] {
            for (int i = 0; i < per_thread; ++i) {
                Dict d;
                for (int k = 0; k < 12; ++k) d.set("key" + std::to_string(k), t * per_thread + i + k);
                if (i % 3 == 0) d.pop(Value("key11"));
                built[t].push_back(std::move(d));
                if (i % 7 == 0) built[t].erase(built[t].begin());  // layouts also die concurrently
            }
        });
    }
    for (auto& th : threads) th.join();
    const void* full = nullptr;
    for (int t = 0; t < 4; ++t) {
        for (const Dict& d : built[t]) {
            ASSERT_TRUE(d.size() == 12 || d.size() == 11);
            if (d.size() == 12) {
                if (full == nullptr) full = d.layout();
                ASSERT_EQ(d.layout(), full);
            }
            const int base = d.at("key0").as_int();
            for (std::size_t k = 0; k < d.size(); ++k) ASSERT_EQ(d.value(k), Value(base + static_cast<int>(k)));
        }
    }
}

// Float parsing and truth values: tests/data/cases/values.jsonl.
TEST(ValueConversions, Accessors) {
    EXPECT_EQ(message_of<TypeError>([] { (void)Value(1.5).as_int(); }), "expected int, got float");
}

TEST(ValueReferences, SharingObjectsAndAttributes) {
    // Copying a Value shares its list or dict (deep copies: nesting_test).
    Value outer(Dict{{"xs", Value::list({1, 2})}});
    Value alias = outer;
    alias.as_dict().set("new", 1);
    EXPECT_TRUE(outer.as_dict().contains("new"));
    EXPECT_TRUE(alias.is(outer));
    EXPECT_FALSE(outer.is(Value(Dict{{"xs", Value::list({1, 2})}, {"new", 1}})));

    const Value rec(ObjectPtr(std::make_shared<AttrObject>("Record", Dict{{"id", 4}})));
    EXPECT_EQ(rec, rec);
    EXPECT_NE(rec, Value(ObjectPtr(std::make_shared<AttrObject>("Record", Dict{{"id", 4}}))));
    EXPECT_EQ(rec.as_object().getattr("id"), Value(4));
    EXPECT_FALSE(rec.as_object().getattr("missing").has_value());
    Dict d{{rec, 1}};
    EXPECT_EQ(d.at(rec), Value(1));
}

}  // namespace
}  // namespace brindlecap::runtime
