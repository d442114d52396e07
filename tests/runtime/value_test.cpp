#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/value.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::runtime {
namespace {

const double kNan = std::numeric_limits<double>::quiet_NaN();

template <typename F>
std::string type_error_of(F&& f) {
    try {
        f();
    } catch (const TypeError& e) {
        return e.what();
    }
    return "<no TypeError>";
}

TEST(ValueEquality, NumbersCompareAcrossKinds) {
    EXPECT_EQ(Value(1), Value(1.0));
    EXPECT_EQ(Value(1), Value(true));
    EXPECT_EQ(Value(1.0), Value(true));
    EXPECT_EQ(Value(0), Value(false));
    EXPECT_EQ(Value(-0.0), Value(0));
    EXPECT_NE(Value(2), Value(2.5));
    EXPECT_NE(Value(true), Value(2));
    // The int is compared exactly, not rounded to the float.
    const std::int64_t big = (std::int64_t{1} << 53) + 1;
    EXPECT_NE(Value(big), Value(0x1p53));
    EXPECT_EQ(Value(big - 1), Value(0x1p53));
    EXPECT_NE(Value(std::numeric_limits<std::int64_t>::max()), Value(0x1p63));
}

TEST(ValueEquality, NanNeverEqual) {
    EXPECT_NE(Value(kNan), Value(kNan));
    const Value nan(kNan);
    EXPECT_NE(nan, nan);
    EXPECT_NE(Value::list({kNan}), Value::list({kNan}));
    EXPECT_TRUE(nan.is_nan());
    EXPECT_FALSE(Value(1.0).is_nan());
    EXPECT_FALSE(Value("nan").is_nan());
}

TEST(ValueEquality, KindsThatNeverMeet) {
    EXPECT_NE(Value("1"), Value(1));
    EXPECT_NE(Value(None{}), Value(0));
    EXPECT_NE(Value(None{}), Value(false));
    EXPECT_EQ(Value(None{}), Value(nullptr));
    EXPECT_NE(Value::list({}), Value(Dict{}));
    EXPECT_NE(Value(""), Value(None{}));
}

TEST(ValueEquality, ContainersCompareDeeply) {
    EXPECT_EQ(Value::list({1, 2.0, "a"}), Value::list({1.0, 2, "a"}));
    EXPECT_NE(Value::list({1, 2}), Value::list({1, 2, 3}));
    EXPECT_NE(Value::list({1, 2}), Value::list({2, 1}));
    EXPECT_EQ(Value::list({Value::list({1}), Value(Dict{{"k", Value::list({true})}})}),
              Value::list({Value::list({1.0}), Value(Dict{{"k", Value::list({1})}})}));

    const Dict ab{{"a", 1}, {"b", 2}};
    const Dict ba{{"b", 2}, {"a", 1}};
    EXPECT_EQ(ab, ba);
    EXPECT_EQ(Value(ab), Value(ba));
    EXPECT_NE(ab, (Dict{{"a", 1}, {"b", 3}}));
    EXPECT_NE(ab, (Dict{{"a", 1}, {"c", 2}}));
    EXPECT_NE(ab, (Dict{{"a", 1}}));
}

TEST(ValueHash, EqualValuesHashAlike) {
    const std::vector<std::pair<Value, Value>> equal_pairs = {
        {Value(1), Value(1.0)},        {Value(1), Value(true)},       {Value(0), Value(false)},
        {Value(0), Value(-0.0)},       {Value(-7), Value(-7.0)},      {Value("ab"), Value(std::string("ab"))},
        {Value(std::int64_t{1} << 62), Value(0x1p62)},
        {Value(std::numeric_limits<std::int64_t>::min()), Value(-0x1p63)},
        {Value::list({1, "x"}), Value::list({1.0, "x"})},
        {Value(Dict{{"a", 1}, {"b", 2}}), Value(Dict{{"b", 2.0}, {"a", true}})},
    };
    for (const auto& [a, b] : equal_pairs) {
        ASSERT_EQ(a, b) << repr(a) << " vs " << repr(b);
        EXPECT_EQ(hash_value(a), hash_value(b)) << repr(a) << " vs " << repr(b);
    }
    EXPECT_NE(hash_value(Value(0.5)), hash_value(Value(0.25)));
}

TEST(ValueHash, EqualNumbersCollideAsDictKeys) {
    // In the host {1: 'a', 1.0: 'b', True: 'c'} is {1: 'c'}; check both lookup paths.
    for (int filler : {0, 30}) {
        Dict d;
        for (int i = 0; i < filler; ++i) d.set("k" + std::to_string(i), i);
        d.set(1, "a");
        d.set(1.0, "b");
        d.set(true, "c");
        ASSERT_EQ(d.size(), static_cast<std::size_t>(filler) + 1);
        const Dict::Item& item = d.item(d.size() - 1);
        EXPECT_TRUE(item.first.is_int());
        EXPECT_EQ(item.second, Value("c"));
        EXPECT_EQ(d.get(1.0), Value("c"));
        EXPECT_EQ(d.get(true), Value("c"));
        EXPECT_FALSE(d.contains(Value(1.5)));
        EXPECT_FALSE(d.contains(Value("1")));
    }
}

TEST(ValueOrdering, NumbersStringsAndLists) {
    EXPECT_TRUE(less(1, 1.5));
    EXPECT_TRUE(less(false, true));
    EXPECT_TRUE(less(true, 2));
    EXPECT_FALSE(less(2.0, 2));
    EXPECT_TRUE(less_equal(2.0, 2));
    EXPECT_TRUE(greater(3, 2.5));
    EXPECT_TRUE(greater_equal(2, 2.0));
    EXPECT_FALSE(greater(2, 2.0));
    EXPECT_TRUE(less(std::numeric_limits<std::int64_t>::max(), 0x1p63));
    EXPECT_TRUE(greater(std::numeric_limits<std::int64_t>::min(), -0x1p64));
    EXPECT_TRUE(less(-1, -0.5));
    EXPECT_TRUE(greater(0, -0.5));

    EXPECT_TRUE(less("a", "b"));
    EXPECT_TRUE(less("Z", "a"));
    EXPECT_TRUE(less("ab", "abc"));
    EXPECT_TRUE(greater("\xc3\xa9", "z"));  // U+00E9 after ASCII: code point order

    EXPECT_TRUE(less(Value::list({1, 2}), Value::list({1, 3})));
    EXPECT_TRUE(less(Value::list({1, 2}), Value::list({1, 2, 0})));
    EXPECT_FALSE(less(Value::list({1, 2}), Value::list({1.0, 2.0})));
    EXPECT_TRUE(less_equal(Value::list({1, 2}), Value::list({1.0, 2.0})));
    EXPECT_TRUE(greater(Value::list({"b"}), Value::list({"a", "z"})));
}

TEST(ValueOrdering, NanComparesFalse) {
    const Value nan(kNan);
    for (const Value& other : {Value(1), Value(kNan), Value(true), Value(-INFINITY)}) {
        EXPECT_FALSE(less(nan, other));
        EXPECT_FALSE(less(other, nan));
        EXPECT_FALSE(less_equal(nan, other));
        EXPECT_FALSE(greater(nan, other));
        EXPECT_FALSE(greater_equal(other, nan));
    }
}

TEST(ValueOrdering, UnorderableKindsRaiseTypeError) {
    EXPECT_EQ(type_error_of([] { less("a", 1.5); }),
              "'<' not supported between instances of 'str' and 'float'");
    EXPECT_EQ(type_error_of([] { less(1.5, "a", ">"); }),
              "'>' not supported between instances of 'float' and 'str'");
    EXPECT_EQ(type_error_of([] { less_equal(None{}, 1); }),
              "'<=' not supported between instances of 'NoneType' and 'int'");
    EXPECT_EQ(type_error_of([] { greater(Value(Dict{}), Value(Dict{})); }),
              "'>' not supported between instances of 'dict' and 'dict'");
    EXPECT_EQ(type_error_of([] { greater_equal(true, "x"); }),
              "'>=' not supported between instances of 'bool' and 'str'");
    // Lists report the first differing elements.
    EXPECT_EQ(type_error_of([] { less(Value::list({1, "a"}), Value::list({1, 2})); }),
              "'<' not supported between instances of 'str' and 'int'");
}

TEST(DictBasics, InsertionOrderReplaceAndPop) {
    Dict d{{"b", 1}, {"a", 2}, {"c", 3}};
    EXPECT_EQ(Value(d.keys()), Value::list({"b", "a", "c"}));

    d.set("a", 20);
    EXPECT_EQ(Value(d.keys()), Value::list({"b", "a", "c"}));
    EXPECT_EQ(d.at("a"), Value(20));

    const std::optional<Value> popped = d.pop("b");
    ASSERT_TRUE(popped.has_value());
    EXPECT_EQ(*popped, Value(1));
    EXPECT_FALSE(d.pop("b").has_value());
    EXPECT_EQ(Value(d.keys()), Value::list({"a", "c"}));

    d.set("b", 5);
    EXPECT_EQ(Value(d.keys()), Value::list({"a", "c", "b"}));

    // Duplicate keys in the initializer: the last value wins at the first position.
    const Dict dup{{"x", 1}, {"y", 2}, {"x", 3}};
    EXPECT_EQ(Value(dup.keys()), Value::list({"x", "y"}));
    EXPECT_EQ(dup.at("x"), Value(3));

    d.clear();
    EXPECT_TRUE(d.empty());
    EXPECT_EQ(d.find("a"), nullptr);
}

TEST(DictBasics, LookupsAndMissingKeys) {
    Dict d{{"name", "x"}, {2, "two"}, {None{}, "none"}};
    EXPECT_EQ(d.get("name"), Value("x"));
    EXPECT_EQ(d.get(std::string_view("missing"), 7), Value(7));
    EXPECT_TRUE(d.get(Value("missing")).is_none());
    EXPECT_EQ(d.at(2.0), Value("two"));
    EXPECT_EQ(d.at(None{}), Value("none"));
    EXPECT_FALSE(d.contains(std::string_view("2")));

    Value* slot = d.find("name");
    ASSERT_NE(slot, nullptr);
    *slot = "y";
    EXPECT_EQ(d.at("name"), Value("y"));

    try {
        d.at("absent");
        FAIL() << "no KeyError";
    } catch (const KeyError& e) {
        EXPECT_EQ(e.key(), Value("absent"));
        EXPECT_EQ(e.text(), "'absent'");
    }

    // Lists and dicts cannot be keys.
    EXPECT_EQ(type_error_of([&] { d.set(Value::list({1}), 1); }), "unhashable type: 'list'");
    EXPECT_EQ(type_error_of([&] { d.contains(Value(Dict{})); }), "unhashable type: 'dict'");
}

TEST(DictBasics, NanKeyFindsItself) {
    Dict d;
    const Value nan(kNan);
    d.set(nan, 1);
    EXPECT_TRUE(d.contains(nan));
    d.set(nan, 2);
    EXPECT_EQ(d.size(), 1u);
}

TEST(DictLarge, IndexTracksSetPopAndReinsert) {
    constexpr int n = 200;
    Dict d;
    for (int i = 0; i < n; ++i) d.set("key" + std::to_string(i), i);
    for (int i = 0; i < n; i += 3) d.set(i, -i);  // int keys mixed with strings
    // Replacing keeps positions, also through the index.
    for (int i = 0; i < n; i += 5) d.set("key" + std::to_string(i), i * 10);

    std::vector<Value> expected_keys;
    for (int i = 0; i < n; ++i) expected_keys.emplace_back("key" + std::to_string(i));
    for (int i = 0; i < n; i += 3) expected_keys.emplace_back(i);
    ASSERT_EQ(d.size(), expected_keys.size());
    for (std::size_t i = 0; i < expected_keys.size(); ++i) ASSERT_EQ(d.item(i).first, expected_keys[i]);

    // Pop every other string key and a few int keys (by their float twins).
    for (int i = 0; i < n; i += 2) ASSERT_TRUE(d.pop("key" + std::to_string(i)).has_value());
    for (int i = 0; i < n; i += 6) ASSERT_EQ(d.pop(static_cast<double>(i)), Value(-i));
    for (int i = 0; i < n; ++i) {
        const std::string key = "key" + std::to_string(i);
        const Value* by_view = d.find(std::string_view(key));
        const Value* by_value = d.find(Value(key));
        EXPECT_EQ(by_view, by_value);
        if (i % 2 == 0) {
            EXPECT_EQ(by_view, nullptr) << key;
        } else {
            ASSERT_NE(by_view, nullptr) << key;
            EXPECT_EQ(*by_view, Value(i % 5 == 0 ? i * 10 : i));
        }
        const bool int_key = i % 3 == 0 && i % 6 != 0;
        EXPECT_EQ(d.contains(Value(i)), int_key) << i;
    }

    // Re-inserted keys go to the end; the order of the rest is unchanged.
    d.set("key0", "back");
    EXPECT_EQ(d.item(d.size() - 1).first, Value("key0"));
    EXPECT_EQ(d.item(0).first, Value("key1"));

    // Shrinking back to a small dict and growing again keeps every key reachable.
    while (d.size() > 3) d.pop(d.item(0).first);
    for (int i = 0; i < 50; ++i) d.set(1000 + i, i);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(d.at(1000.0 + i), Value(i));
    EXPECT_EQ(d.at("key0"), Value("back"));
}

TEST(DictLarge, RandomOperationsMatchAnOrderedList) {
    // Reference: the same operations on a plain list of items searched linearly. Many distinct
    // keys so that their table slots vary, including runs that wrap around the table end.
    std::mt19937 rng(7);
    std::vector<Value> pool;
    for (int i = 0; i < 1500; ++i) pool.emplace_back(i);
    for (int i = 0; i < 1500; ++i) pool.emplace_back("s" + std::to_string(i));
    Dict d;
    std::vector<std::pair<Value, int>> model;
    const auto model_find = [&](const Value& key) {
        return std::find_if(model.begin(), model.end(), [&](const auto& item) { return item.first == key; });
    };
    for (int step = 0; step < 20000; ++step) {
        // Grow while small, shrink while large, so sizes cross the index threshold often.
        const bool insert = model.empty() || rng() % 100 < (model.size() < 40 ? 70u : 30u);
        if (insert) {
            const Value& key = pool[rng() % pool.size()];
            const auto it = model_find(key);
            d.set(key, step);
            if (it != model.end()) {
                it->second = step;
            } else {
                model.emplace_back(key, step);
            }
        } else {
            // Mostly present keys; sometimes one that is (probably) absent.
            const bool present = rng() % 10 != 0;
            const Value key = present ? model[rng() % model.size()].first : pool[rng() % pool.size()];
            const auto it = model_find(key);
            const std::optional<Value> popped = d.pop(key);
            ASSERT_EQ(popped.has_value(), it != model.end()) << "step " << step;
            if (popped) {
                ASSERT_EQ(*popped, Value(it->second));
                model.erase(it);
            }
        }
        ASSERT_EQ(d.size(), model.size());
        for (const auto& [k, v] : model) {
            const Value* found = d.find(k);
            ASSERT_NE(found, nullptr) << "step " << step << " key " << repr(k);
            ASSERT_EQ(*found, Value(v));
        }
    }
    for (std::size_t i = 0; i < model.size(); ++i) EXPECT_EQ(d.item(i).first, model[i].first);
}

TEST(DictLarge, CopiesAndEqualityWithIndex) {
    Dict a;
    Dict b;
    for (int i = 0; i < 40; ++i) a.set(i, i * i);
    for (int i = 39; i >= 0; --i) b.set(static_cast<double>(i), i * i);
    EXPECT_EQ(a, b);
    Dict c = a.copy();
    c.set(39, 0);
    EXPECT_NE(a, c);
    EXPECT_EQ(c.at(38), Value(38 * 38));
}

TEST(ValueAccessors, WrongKindRaisesTypeError) {
    EXPECT_EQ(type_error_of([] { (void)Value(1.5).as_int(); }), "expected int, got float");
    EXPECT_EQ(type_error_of([] { (void)Value(1).as_str(); }), "expected str, got int");
    EXPECT_EQ(type_error_of([] { (void)Value("x").as_list(); }), "expected list, got str");
    EXPECT_EQ(type_error_of([] { (void)Value(None{}).as_dict(); }), "expected dict, got NoneType");
    EXPECT_EQ(type_error_of([] { (void)Value(1).as_bool(); }), "expected bool, got int");
    EXPECT_EQ(type_error_of([] { (void)Value(true).as_float(); }), "expected float, got bool");
    EXPECT_EQ(Value(7).as_int(), 7);
    EXPECT_EQ(Value("s").as_str(), "s");
}

TEST(ValueToDouble, NumbersAndParsedStrings) {
    EXPECT_EQ(Value(true).to_double(), 1.0);
    EXPECT_EQ(Value(-3).to_double(), -3.0);
    EXPECT_EQ(Value(2.5).to_double(), 2.5);
    EXPECT_EQ(Value("1.5").to_double(), 1.5);
    EXPECT_EQ(Value(" \t-1.5e3\n").to_double(), -1500.0);
    EXPECT_EQ(Value("+.5").to_double(), 0.5);
    EXPECT_EQ(Value("5.").to_double(), 5.0);
    EXPECT_EQ(Value("1_000.25").to_double(), 1000.25);
    EXPECT_TRUE(std::isnan(Value("nan").to_double()));
    EXPECT_TRUE(std::isnan(Value("-NaN").to_double()));
    EXPECT_EQ(Value("inf").to_double(), INFINITY);
    EXPECT_EQ(Value("-Infinity").to_double(), -INFINITY);
    EXPECT_EQ(Value("1e500").to_double(), INFINITY);
    EXPECT_EQ(Value("-1e-500").to_double(), 0.0);
    EXPECT_EQ(Value("0.1").to_double(), 0.1);
}

TEST(ValueToDouble, RejectsWhatTheHostRejects) {
    for (const char* bad : {"x", "", " ", "1__0", "_1", "1_", "1._5", "1e", "0x10", "nan()", "--1", "1 2",
                            "infinit", "."}) {
        try {
            (void)Value(bad).to_double();
            ADD_FAILURE() << "accepted " << bad;
        } catch (const ValueError& e) {
            EXPECT_EQ(std::string(e.what()), "could not convert string to float: " + repr(std::string_view(bad)));
        }
    }
    EXPECT_EQ(type_error_of([] { (void)Value::list({}).to_double(); }),
              "float() argument must be a string or a real number, not 'list'");
    EXPECT_EQ(type_error_of([] { (void)Value(None{}).to_double(); }),
              "float() argument must be a string or a real number, not 'NoneType'");
}

TEST(ValueTruthy, HostTruthTable) {
    for (const Value& falsy : {Value(), Value(false), Value(0), Value(0.0), Value(-0.0), Value(""),
                               Value::list({}), Value(Dict{})}) {
        EXPECT_FALSE(falsy.truthy()) << repr(falsy);
    }
    for (const Value& truthy : {Value(true), Value(-1), Value(0.1), Value(kNan), Value(" "), Value("0"),
                                Value::list({Value()}), Value(Dict{{"", 0}})}) {
        EXPECT_TRUE(truthy.truthy()) << repr(truthy);
    }
}

TEST(ValueReferences, SharingAndDeepCopy) {
    Value inner = Value::list({1, 2});
    Value outer(Dict{{"xs", inner}, {"s", "text"}});
    Value alias = outer;
    alias.as_dict().set("new", 1);
    EXPECT_TRUE(outer.as_dict().contains("new"));
    EXPECT_TRUE(alias.is(outer));

    Value copy = outer.deep_copy();
    EXPECT_EQ(copy, outer);
    EXPECT_FALSE(copy.is(outer));
    copy.as_dict().at("xs").as_list().push_back(3);
    copy.as_dict().set("extra", true);
    EXPECT_EQ(inner.as_list().size(), 2u);
    EXPECT_FALSE(outer.as_dict().contains("extra"));
    // Strings are immutable and shared by the copy.
    EXPECT_TRUE(copy.as_dict().at("s").is(outer.as_dict().at("s")));

    Value nested = Value::list({Value::list({Value::list({1})})});
    Value nested_copy = nested.deep_copy();
    nested_copy.as_list()[0].as_list()[0].as_list()[0] = 9;
    EXPECT_EQ(nested.as_list()[0].as_list()[0].as_list()[0], Value(1));
}

class Point : public Object {
public:
    Point(int x, int y) : x_(x), y_(y) {}
    std::string type_name() const override { return "Point"; }
    std::optional<Value> getattr(std::string_view name) const override {
        if (name == "x") return Value(x_);
        if (name == "y") return Value(y_);
        return std::nullopt;
    }
    bool equals(const Object& other) const override {
        const auto* p = dynamic_cast<const Point*>(&other);
        return p != nullptr && p->x_ == x_ && p->y_ == y_;
    }
    std::size_t hash() const override { return static_cast<std::size_t>(x_ * 31 + y_); }

private:
    int x_;
    int y_;
};

TEST(ValueObjects, IdentityCustomEqualityAndAttributes) {
    const Value rec(ObjectPtr(std::make_shared<AttrObject>("Record", Dict{{"id", 4}})));
    const Value other(ObjectPtr(std::make_shared<AttrObject>("Record", Dict{{"id", 4}})));
    EXPECT_EQ(rec, rec);
    EXPECT_NE(rec, other);
    EXPECT_EQ(rec.as_object().getattr("id"), Value(4));
    EXPECT_FALSE(rec.as_object().getattr("missing").has_value());
    EXPECT_EQ(type_name(rec), "Record");

    const Value p1(ObjectPtr(std::make_shared<Point>(1, 2)));
    const Value p2(ObjectPtr(std::make_shared<Point>(1, 2)));
    EXPECT_EQ(p1, p2);
    EXPECT_EQ(hash_value(p1), hash_value(p2));
    Dict d;
    for (int i = 0; i < 20; ++i) d.set(ObjectPtr(std::make_shared<Point>(i, i)), i);
    d.set(p1, "p");
    EXPECT_EQ(d.at(p2), Value("p"));
    EXPECT_EQ(d.at(ObjectPtr(std::make_shared<Point>(7, 7))), Value(7));
    EXPECT_NE(p1, Value(1));
}

}  // namespace
}  // namespace brindlecap::runtime
