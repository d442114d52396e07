#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/ids.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "tree_support.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::Dict;
using runtime::Value;
using testing::make_pool;
using Ids = std::vector<std::string>;

KeyIndexPtr index_of(const Ids& ids) {
    auto index = std::make_shared<KeyIndex>();
    for (const auto& id : ids) index->add(id);
    return index;
}

IdSet set_over(const KeyIndexPtr& universe, const Ids& ids) {
    IdSet s = IdSet::over(universe);
    for (const auto& id : ids) s.insert(id);
    return s;
}

TEST(IdSetTest, KeyIndexAndMembershipOverOneUniverse) {
    KeyIndex index;
    EXPECT_EQ(index.add("b"), 0u);
    EXPECT_EQ(index.add("a"), 1u);
    EXPECT_EQ(index.add("b"), 0u);  // an existing identifier keeps its position
    EXPECT_FALSE(index.find("c").has_value());
    // A copy owns its identifiers and grows on its own.
    auto copy = std::make_unique<KeyIndex>(index);
    copy->add("c");
    const KeyIndex survivor = *copy;
    copy.reset();
    EXPECT_EQ(index.size(), 2u);
    EXPECT_EQ(survivor.id(2), "c");
    EXPECT_EQ(survivor.find("c"), 2u);

    IdSet s = IdSet::over(index_of({"s0", "s1", "s2"}));
    for (const char* id : {"s2", "s0", "s0", "zz"}) s.insert(id);  // zz is outside the universe
    EXPECT_EQ(s.size(), 3u);
    EXPECT_TRUE(s.contains("zz") && !s.contains("s1"));
    EXPECT_EQ(s.others(), Ids({"zz"}));
    EXPECT_EQ(s.to_vector(), Ids({"s0", "s2", "zz"}));
    EXPECT_TRUE(s.erase("s0"));
    EXPECT_FALSE(s.erase("s0"));
    EXPECT_TRUE(s.erase("zz"));
    EXPECT_EQ(s.to_vector(), Ids({"s2"}));

    for (const std::size_t n : {0u, 1u, 63u, 64u, 65u, 130u}) {
        Ids ids;
        for (std::size_t i = 0; i < n; ++i) ids.push_back("id" + std::to_string(1000 + i));
        const IdSet all = IdSet::all_of(index_of(ids));
        EXPECT_EQ(all.to_vector(), ids);
        EXPECT_TRUE((all - all).empty());
        EXPECT_EQ(all | IdSet::over(all.universe()), all);
    }
}

TEST(IdSetTest, KeyIndexGrowsWithoutMovingIdentifiers) {
    KeyIndex index;
    std::vector<const std::string*> seen;
    for (std::uint32_t i = 0; i < 5000; ++i) {
        ASSERT_EQ(index.add("id" + std::to_string(i)), i);
        if (i % 97 == 0) seen.push_back(&index.id(i));
    }
    for (std::size_t k = 0; k < seen.size(); ++k) EXPECT_EQ(seen[k], &index.id(k * 97));
    for (std::uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(index.find("id" + std::to_string(i)), i);
    EXPECT_FALSE(index.find("id5000").has_value());
}

TEST(IdSetTest, AlgebraWithinAndAcrossUniverses) {
    const auto u = index_of({"a", "b", "c", "d"});
    const IdSet x = set_over(u, {"a", "b", "x1"});
    const IdSet y = set_over(u, {"b", "c", "x1", "x2"});
    EXPECT_EQ((x & y).to_vector(), Ids({"b", "x1"}));
    EXPECT_EQ((x | y).to_vector(), Ids({"a", "b", "c", "x1", "x2"}));
    EXPECT_EQ((x - y).to_vector(), Ids({"a"}));
    EXPECT_EQ((y - x).to_vector(), Ids({"c", "x2"}));
    EXPECT_EQ(x, set_over(u, {"x1", "b", "a"}));
    EXPECT_FALSE(x == y);

    const IdSet p = set_over(index_of({"a", "b", "c"}), {"a", "b", "c"});
    const IdSet q = set_over(index_of({"c", "b", "d"}), {"b", "c", "d"});
    EXPECT_EQ((p & q).sorted(), Ids({"b", "c"}));
    EXPECT_EQ((p | q).sorted(), Ids({"a", "b", "c", "d"}));
    EXPECT_EQ((q - p).sorted(), Ids({"d"}));
    EXPECT_EQ(set_over(p.universe(), {"b", "c"}), set_over(q.universe(), {"c", "b"}));
    // Sets without a universe behave as plain string sets; a union adopts the other's universe.
    const IdSet plain{"d", "a", "q"};
    EXPECT_EQ((plain & p).sorted(), Ids({"a"}));
    EXPECT_EQ((plain - p).sorted(), Ids({"d", "q"}));
    EXPECT_EQ(IdSet(Ids{"a", "b", "c"}), p);
    IdSet acc{"c", "zz"};
    acc |= set_over(p.universe(), {"a"});
    EXPECT_EQ(acc.universe(), p.universe());
    EXPECT_EQ(acc.others(), Ids({"zz"}));
    EXPECT_EQ(acc.sorted(), Ids({"a", "c", "zz"}));

    // Many at once: members by position, the others merged in order without repeats.
    IdSet many = set_over(u, {"x5", "a"});
    const std::vector<std::string_view> more = {"x9", "c", "x1", "x5", "x9", "b", "x0"};
    many.insert_all(more);
    EXPECT_EQ(many, set_over(u, {"a", "b", "c", "x0", "x1", "x5", "x9"}));
    EXPECT_EQ(many.others(), Ids({"x0", "x1", "x5", "x9"}));
    EXPECT_EQ(many.size(), 7u);

    const IdSet r = set_over(p.universe(), {"a", "b", "x"}).rebased(index_of({"c", "a", "d"}));
    EXPECT_EQ(r.others(), Ids({"b", "x"}));
    EXPECT_EQ(r.to_vector(), Ids({"a", "b", "x"}));
}

TEST(IdSetTest, SortedByCodePoint) {
    // Identifiers that agree on their first 8 or 16 bytes, prefixes of one another, bytes above
    // 0x7f, an embedded NUL, and "a10" < "a9", "Z" < "a".
    const Ids tricky = {"signal_0000000000b", "signal_0000000000a", "signal_0000000000", "signal_00", "signal_0",
                        std::string("signal_0\0", 9), "signal_\xF0\x9F\x98\x80", "signal_~", "Signal_0", "", "b",
                        "a10", "\xC3\xA9", "a9", "Z"};
    Ids expected = tricky;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(IdSet::all_of(index_of(tricky)).sorted(), expected);
    EXPECT_EQ(expected.back(), "\xC3\xA9");

    // Pool orders: shuffled, ascending runs (unpadded numbering, two interleaved sources, one
    // straggler at the end) and descending; subsets also hold ids outside the universe.
    std::mt19937 rng(3);
    Ids shuffled, runs, interleaved, descending;
    for (int i = 0; i < 5000; ++i) shuffled.push_back("id" + std::to_string(rng() % 100000));
    std::sort(shuffled.begin(), shuffled.end());
    shuffled.erase(std::unique(shuffled.begin(), shuffled.end()), shuffled.end());
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    for (int i = 0; i < 3000; ++i) runs.push_back("synth_" + std::to_string(i));
    for (int i = 0; i < 2000; ++i) interleaved.push_back((i % 2 ? "b" : "a") + std::to_string(i));
    interleaved.push_back("0");
    for (int i = 999; i >= 0; --i) descending.push_back("s" + std::to_string(i));
    for (const Ids* order : {&shuffled, &runs, &interleaved, &descending}) {
        const IdSet every = IdSet::all_of(index_of(*order));
        Ids expected_order = *order;
        std::sort(expected_order.begin(), expected_order.end());
        EXPECT_EQ(every.sorted(), expected_order);
        IdSet some = IdSet::over(every.universe());
        Ids picked = {"a", "s10x"};
        for (const auto& id : picked) some.insert(id);
        for (std::size_t i = 0; i < order->size(); i += 1 + rng() % 5) {
            some.insert((*order)[i]);
            picked.push_back((*order)[i]);
        }
        std::sort(picked.begin(), picked.end());
        EXPECT_EQ(some.sorted(), picked);
    }
}

TEST(SignalPoolTest, InsertionOrderReplaceAndGrowth) {
    SignalPool pool = make_pool({{"b", {{"x", 1}}}, {"a", {{"x", 2}}}});
    pool.insert("b", UsefulSignal::make({{"x", 3}}));  // replaced in place
    ASSERT_EQ(pool.size(), 2u);
    EXPECT_EQ(pool.id(0), "b");
    EXPECT_EQ(pool.signal(0).metadata->at(Value("x")), Value(3));
    EXPECT_EQ(pool.find("a")->metadata->at(Value("x")), Value(2));
    EXPECT_EQ(pool.find("c"), nullptr);
    Ids walked;
    for (const auto entry : pool) walked.push_back(entry.id);
    EXPECT_EQ(walked, Ids({"b", "a"}));

    // Sets made before an insert stay valid and still combine with the grown pool's.
    const IdSet before = pool.keys();
    pool.insert("c", UsefulSignal::make({}));
    EXPECT_EQ(before.to_vector(), Ids({"b", "a"}));
    EXPECT_FALSE(before.contains("c"));
    EXPECT_EQ((pool.keys() - before).to_vector(), Ids({"c"}));
    // A copied pool grows on its own.
    SignalPool copy = pool;
    copy.insert("d", UsefulSignal::make({}));
    EXPECT_FALSE(pool.contains("d"));
    EXPECT_EQ(copy.keys().sorted(), Ids({"a", "b", "c", "d"}));
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
