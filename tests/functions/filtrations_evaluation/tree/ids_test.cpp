#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/ids.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/records.hpp"
#include "tree_support.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

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

TEST(KeyIndexTest, AddFindAndCopyIndependence) {
    KeyIndex index;
    EXPECT_EQ(index.add("b"), 0u);
    EXPECT_EQ(index.add("a"), 1u);
    EXPECT_EQ(index.add("b"), 0u);  // existing identifier keeps its position
    EXPECT_EQ(index.size(), 2u);
    EXPECT_EQ(index.find("a"), 1u);
    EXPECT_FALSE(index.find("c").has_value());

    auto copy = std::make_unique<KeyIndex>(index);
    copy->add("c");
    EXPECT_EQ(index.size(), 2u);
    EXPECT_FALSE(index.find("c").has_value());
    // The copy's identifiers live in the copy.
    KeyIndex survivor = *copy;
    copy.reset();
    EXPECT_EQ(survivor.id(0), "b");
    EXPECT_EQ(survivor.id(2), "c");
    EXPECT_EQ(survivor.find("c"), 2u);

    KeyIndex assigned;
    assigned = survivor;
    EXPECT_EQ(assigned.id(1), "a");
}

TEST(IdSetTest, MembershipOverOneUniverse) {
    const auto u = index_of({"s0", "s1", "s2"});
    IdSet s = IdSet::over(u);
    EXPECT_TRUE(s.empty());
    s.insert("s2");
    s.insert("s0");
    s.insert("s0");
    s.insert("zz");  // outside the universe
    EXPECT_EQ(s.size(), 3u);
    EXPECT_TRUE(s.contains("s0"));
    EXPECT_FALSE(s.contains("s1"));
    EXPECT_TRUE(s.contains("zz"));
    EXPECT_EQ(s.others(), Ids({"zz"}));
    EXPECT_EQ(s.to_vector(), Ids({"s0", "s2", "zz"}));

    EXPECT_TRUE(s.erase("s0"));
    EXPECT_FALSE(s.erase("s0"));
    EXPECT_TRUE(s.erase("zz"));
    EXPECT_FALSE(s.erase("nope"));
    EXPECT_EQ(s.to_vector(), Ids({"s2"}));
}

TEST(IdSetTest, AllOfAtWordBoundaries) {
    for (const std::size_t n : {0u, 1u, 63u, 64u, 65u, 130u}) {
        Ids ids;
        for (std::size_t i = 0; i < n; ++i) ids.push_back("id" + std::to_string(1000 + i));
        const auto u = index_of(ids);
        const IdSet all = IdSet::all_of(u);
        EXPECT_EQ(all.size(), n);
        EXPECT_EQ(all.to_vector(), ids);
        EXPECT_TRUE((all - all).empty());
        EXPECT_EQ(all | IdSet::over(u), all);
        EXPECT_EQ(all & all, all);
    }
}

TEST(IdSetTest, AlgebraOnSameUniverse) {
    const auto u = index_of({"a", "b", "c", "d"});
    const IdSet x = set_over(u, {"a", "b", "x1"});
    const IdSet y = set_over(u, {"b", "c", "x1", "x2"});
    EXPECT_EQ((x & y).to_vector(), Ids({"b", "x1"}));
    EXPECT_EQ((x | y).to_vector(), Ids({"a", "b", "c", "x1", "x2"}));
    EXPECT_EQ((x - y).to_vector(), Ids({"a"}));
    EXPECT_EQ((y - x).to_vector(), Ids({"c", "x2"}));
    EXPECT_EQ((x & y).size(), 2u);
    EXPECT_EQ((x | y).size(), 5u);
    EXPECT_EQ(x, set_over(u, {"x1", "b", "a"}));
    EXPECT_FALSE(x == y);
}

TEST(IdSetTest, AlgebraAcrossUniverses) {
    const auto u1 = index_of({"a", "b", "c"});
    const auto u2 = index_of({"c", "b", "d"});
    const IdSet x = set_over(u1, {"a", "b", "c"});
    const IdSet y = set_over(u2, {"b", "c", "d"});
    EXPECT_EQ((x & y).sorted(), Ids({"b", "c"}));
    EXPECT_EQ((x | y).sorted(), Ids({"a", "b", "c", "d"}));
    EXPECT_EQ((x - y).sorted(), Ids({"a"}));
    EXPECT_EQ((y - x).sorted(), Ids({"d"}));
    EXPECT_EQ(set_over(u1, {"b", "c"}), set_over(u2, {"c", "b"}));
    EXPECT_FALSE(set_over(u1, {"a", "b"}) == set_over(u2, {"b", "d"}));

    // Sets without a universe behave as plain string sets.
    const IdSet plain{"d", "a", "q"};
    EXPECT_EQ(plain.others(), Ids({"a", "d", "q"}));
    EXPECT_EQ((x & plain).sorted(), Ids({"a"}));
    EXPECT_EQ((plain & x).sorted(), Ids({"a"}));
    EXPECT_EQ((plain - x).sorted(), Ids({"d", "q"}));
    EXPECT_EQ(IdSet(Ids{"a", "b", "c"}), x);
}

TEST(IdSetTest, UnionWithoutUniverseAdoptsTheOther) {
    const auto u = index_of({"a", "b", "c"});
    IdSet acc{"c", "zz"};
    acc |= set_over(u, {"a"});
    EXPECT_EQ(acc.universe(), u);
    EXPECT_EQ(acc.others(), Ids({"zz"}));
    EXPECT_EQ(acc.sorted(), Ids({"a", "c", "zz"}));
}

TEST(IdSetTest, RebasedKeepsMembersAndSetsAsideForeignOnes) {
    const auto old_u = index_of({"a", "b", "c"});
    const auto new_u = index_of({"c", "a", "d"});
    const IdSet s = set_over(old_u, {"a", "b", "x"});
    const IdSet r = s.rebased(new_u);
    EXPECT_EQ(r.universe(), new_u);
    EXPECT_EQ(r.others(), Ids({"b", "x"}));
    EXPECT_EQ(r, s);
    EXPECT_EQ(r.to_vector(), Ids({"a", "b", "x"}));
}

TEST(IdSetTest, SortedByCodePoint) {
    // Universe out of order; identifiers sort by code point ("a10" < "a9", "Z" < "a", "é" last).
    const Ids ids = {"b", "a10", "\xC3\xA9", "a9", "Z"};
    const auto u = index_of(ids);
    EXPECT_EQ(IdSet::all_of(u).sorted(), Ids({"Z", "a10", "a9", "b", "\xC3\xA9"}));
    IdSet some = set_over(u, {"b", "a9", "a0", "c"});
    EXPECT_EQ(some.sorted(), Ids({"a0", "a9", "b", "c"}));

    // Identifiers that agree on their first 8 or 16 bytes, prefixes of one another, bytes
    // above 0x7f and an embedded NUL.
    const Ids tricky = {"signal_0000000000b", "signal_0000000000a", "signal_0000000000", "signal_00", "signal_0",
                        std::string("signal_0\0", 9), "signal_\xF0\x9F\x98\x80", "signal_~", "Signal_0", ""};
    Ids expected = tricky;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(IdSet::all_of(index_of(tricky)).sorted(), expected);
    EXPECT_EQ(expected.front(), "");
    EXPECT_EQ(expected.back(), "signal_\xF0\x9F\x98\x80");

    // A large universe in descending order, with foreign ids merged in.
    Ids big;
    for (int i = 999; i >= 0; --i) big.push_back("s" + std::to_string(i));
    IdSet many = IdSet::over(index_of(big));
    for (int i = 0; i < 1000; i += 3) many.insert("s" + std::to_string(i));
    many.insert("s10x");
    many.insert("a");
    Ids all = many.to_vector();
    std::sort(all.begin(), all.end());
    EXPECT_EQ(many.sorted(), all);
}

TEST(SignalPoolTest, InsertionOrderAndReplaceInPlace) {
    using testing::make_pool;
    SignalPool pool = make_pool({{"b", {{"x", 1}}}, {"a", {{"x", 2}}}});
    pool.insert("b", UsefulSignal::make({{"x", 3}}));
    ASSERT_EQ(pool.size(), 2u);
    EXPECT_EQ(pool.id(0), "b");
    EXPECT_EQ(pool.id(1), "a");
    EXPECT_EQ(pool.signal(0).metadata->at(Value("x")), Value(3));
    ASSERT_NE(pool.find("a"), nullptr);
    EXPECT_EQ(pool.find("a")->metadata->at(Value("x")), Value(2));
    EXPECT_EQ(pool.find("c"), nullptr);
    EXPECT_TRUE(pool.contains("a"));

    std::vector<std::string> walked;
    for (const auto entry : pool) walked.push_back(entry.id);
    EXPECT_EQ(walked, Ids({"b", "a"}));
}

TEST(SignalPoolTest, SetsMadeBeforeAnInsertStayValid) {
    using testing::make_pool;
    SignalPool pool = make_pool({{"s1", {}}, {"s2", {}}});
    const IdSet before = pool.keys();
    pool.insert("s3", UsefulSignal::make({}));
    EXPECT_EQ(before.size(), 2u);
    EXPECT_FALSE(before.contains("s3"));
    EXPECT_EQ(before.to_vector(), Ids({"s1", "s2"}));
    EXPECT_NE(before.universe(), pool.index());
    EXPECT_EQ(pool.keys().to_vector(), Ids({"s1", "s2", "s3"}));
    // The old set still combines with sets of the grown pool.
    EXPECT_EQ((pool.keys() - before).to_vector(), Ids({"s3"}));

    // A copied pool grows on its own.
    SignalPool copy = pool;
    copy.insert("s4", UsefulSignal::make({}));
    EXPECT_EQ(pool.size(), 3u);
    EXPECT_FALSE(pool.contains("s4"));
    EXPECT_EQ(copy.keys().sorted(), Ids({"s1", "s2", "s3", "s4"}));
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
