#include "brindlecap/numeric/generator_internal.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <map>

#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "runtime/value_printer.hpp"

namespace {

using brindlecap::numeric::default_rng;
using brindlecap::numeric::Generator;
using brindlecap::numeric::Pcg64State;
using brindlecap::runtime::List;
using brindlecap::runtime::Value;

const Value& golden() {
    static const Value data =
        brindlecap::runtime::read_json_file(std::string(BRINDLECAP_TEST_DATA_DIR) + "/numpy_random/golden.json");
    return data;
}

const Value& at(const Value& d, const char* key) { return d.as_dict().at(key); }
bool has(const Value& d, const char* key) { return d.as_dict().contains(key); }
std::size_t size_of(const Value& v) { return static_cast<std::size_t>(v.as_int()); }
std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

template <class T>
std::vector<T> ints(const Value& list) {
    std::vector<T> out;
    for (const Value& v : list.as_list()) out.push_back(static_cast<T>(v.as_int()));
    return out;
}

// Golden doubles are hex floats ("0x1.8p-1").
#define EXPECT_SAME_DOUBLE(expected_hex, actual)                                                         \
    EXPECT_EQ(bits(std::strtod((expected_hex).as_str().c_str(), nullptr)), bits(actual)) << "expected " \
                                                                                         << (expected_hex).as_str()

bool same_state(const Pcg64State& a, const Pcg64State& b) {
    return a.state == b.state && a.inc == b.inc && a.has_uint32 == b.has_uint32 && a.uinteger == b.uinteger;
}

// Replays one golden program (calls, "repeat" blocks) on a generator, checking every output in turn.
struct ProgramReplay {
    Generator& gen;
    const List& outputs;
    std::size_t next = 0;
    std::map<std::string, std::int64_t> vars;

    void run(const Value& program) {
        for (const Value& item : program.as_list()) {
            if (has(item, "repeat")) {
                for (std::int64_t r = 0; r < at(item, "repeat").as_int(); ++r) run(at(item, "body"));
            } else {
                call(item);
            }
        }
    }

    // An int, or "$name" of an output bound earlier.
    std::int64_t resolve(const Value& v) const { return v.is_str() ? vars.at(v.as_str().substr(1)) : v.as_int(); }

    void call(const Value& descriptor) {
        Value d = descriptor.deep_copy();
        if (Value* size = d.as_dict().find("size"); size != nullptr && size->is_str()) *size = resolve(*size);
        ASSERT_LT(next, outputs.size());
        const Value& expected = outputs[next];
        SCOPED_TRACE("output #" + std::to_string(next++) + ": " + brindlecap::runtime::to_json(d));
        if (has(d, "generator")) {
            Generator fresh = default_rng(static_cast<std::uint64_t>(resolve(at(at(d, "generator"), "default_rng"))));
            check(fresh, d, expected);
        } else {
            check(gen, d, expected);
        }
        if (has(d, "bind")) vars[at(d, "bind").as_str()] = expected.as_int();
    }

    static void check(Generator& g, const Value& d, const Value& expected) {
        const std::string& fn = at(d, "fn").as_str();
        if (fn == "next_uint64") {
            EXPECT_EQ(std::stoull(expected.as_str()), g.next_uint64());
        } else if (fn == "random") {
            EXPECT_SAME_DOUBLE(expected, g.random());
        } else if (fn == "integers") {
            const std::int64_t low = at(d, "low").as_int(), high = at(d, "high").as_int();
            if (has(d, "size")) {
                EXPECT_EQ(ints<std::int64_t>(expected), g.integers(low, high, size_of(at(d, "size"))));
            } else {
                EXPECT_EQ(expected.as_int(), g.integers(low, high));
            }
        } else if (fn == "uniform") {
            EXPECT_SAME_DOUBLE(expected, g.uniform(at(d, "low").to_double(), at(d, "high").to_double()));
        } else if (fn == "standard_normal") {
            check_normal(g, d, expected);
        } else if (fn == "choice") {
            check_choice(g, d, expected);
        } else if (fn == "shuffle") {
            List x = at(d, "x").as_list();
            g.shuffle(x);
            EXPECT_EQ(expected, Value(x));
        } else {
            FAIL() << "unknown call " << fn;
        }
    }

    static void check_normal(Generator& g, const Value& d, const Value& expected) {
        if (!has(d, "size")) {
            const double v = g.standard_normal();
            EXPECT_SAME_DOUBLE(expected, d.as_dict().get("post") == Value("abs") ? std::fabs(v) : v);
            return;
        }
        const Value& size = at(d, "size");
        if (size.is_list()) {
            const auto m = g.standard_normal(size_of(size.as_list()[0]), size_of(size.as_list()[1]));
            ASSERT_EQ(m.rows(), expected.as_list().size());
            for (std::size_t r = 0; r < m.rows(); ++r) {
                ASSERT_EQ(m.cols(), expected.as_list()[r].as_list().size());
                for (std::size_t c = 0; c < m.cols(); ++c) EXPECT_SAME_DOUBLE(expected.as_list()[r].as_list()[c], m(r, c));
            }
            return;
        }
        std::vector<double> v(size_of(size));
        g.standard_normal(v.data(), v.size());
        if (d.as_dict().get("record") != Value("digest")) {
            ASSERT_EQ(expected.as_list().size(), v.size());
            for (std::size_t i = 0; i < v.size(); ++i) EXPECT_SAME_DOUBLE(expected.as_list()[i], v[i]);
            return;
        }
        // A long stream: count, first draws, every draw beyond 3.5 in magnitude, and the sum of all.
        ASSERT_EQ(size_of(at(expected, "count")), v.size());
        const List& first = at(expected, "first").as_list();
        for (std::size_t i = 0; i < first.size(); ++i) EXPECT_SAME_DOUBLE(first[i], v[i]);
        const auto& tails = at(expected, "abs_gt_3.5").as_dict();
        for (const auto& [index, hex] : tails) EXPECT_SAME_DOUBLE(hex, v.at(std::stoul(index.as_str())));
        EXPECT_EQ(static_cast<std::size_t>(std::count_if(v.begin(), v.end(), [](double x) { return std::fabs(x) > 3.5; })),
                  tails.size());
        std::uint64_t sum = 0;  // of the bit patterns, modulo 2**64
        for (const double x : v) sum += bits(x);
        EXPECT_EQ(at(expected, "sum_u64_le_f64").as_str(), std::to_string(sum));
    }

    // `a` is a list to draw from or a population size (then the indices are the elements).
    static void check_choice(Generator& g, const Value& d, const Value& expected) {
        const Value& a = at(d, "a");
        const std::size_t pop = a.is_list() ? a.as_list().size() : size_of(a);
        const auto element = [&](std::size_t i) { return a.is_list() ? a.as_list()[i] : Value(i); };
        if (!has(d, "size")) {
            EXPECT_EQ(expected, a.is_list() ? g.choice(a.as_list()) : element(g.choice(pop)));
            return;
        }
        const std::size_t k = size_of(at(d, "size"));
        List got;
        if (d.as_dict().get("replace", Value(true)).truthy()) {
            for (std::size_t i = 0; i < k; ++i) got.push_back(element(g.choice(pop)));
        } else {
            for (std::size_t i : g.choice_without_replacement(pop, k)) got.push_back(element(i));
        }
        EXPECT_EQ(expected, Value(got));
    }

};

std::vector<std::string> stream_names() {
    std::vector<std::string> names;
    for (const Value& s : at(golden(), "streams").as_list()) {
        const std::string& name = at(s, "name").as_str();
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

class GoldenStream : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenStream, MatchesNumpyForEverySeed) {
    int seeds = 0;
    for (const Value& s : at(golden(), "streams").as_list()) {
        if (at(s, "name").as_str() != GetParam()) continue;
        ++seeds;
        SCOPED_TRACE("seed " + std::to_string(at(s, "seed").as_int()));
        Generator gen = default_rng(static_cast<std::uint64_t>(at(s, "seed").as_int()));
        ProgramReplay replay{gen, at(s, "outputs").as_list()};
        replay.run(at(s, "program"));
        EXPECT_EQ(replay.next, replay.outputs.size());
    }
    EXPECT_GT(seeds, 0);
}

INSTANTIATE_TEST_SUITE_P(Numpy124, GoldenStream, ::testing::ValuesIn(stream_names()),
                         [](const auto& info) { return info.param; });

TEST(GeneratorSeeding, MatchesSeedSequenceAndPcg64State) {
    namespace detail = brindlecap::numeric::detail;
    const auto u128 = [](const Value& hex) {  // "0x..."
        detail::uint128 v = 0;
        for (char c : hex.as_str().substr(2)) v = (v << 4) | static_cast<detail::uint128>(std::stoi(std::string(1, c), nullptr, 16));
        return v;
    };
    ASSERT_FALSE(at(golden(), "seeding").as_dict().empty());
    for (const auto& [seed_text, expected] : at(golden(), "seeding").as_dict()) {
        SCOPED_TRACE("seed " + seed_text.as_str());
        const std::uint64_t seed = std::stoull(seed_text.as_str());
        const auto entropy = detail::seed_entropy(seed);
        EXPECT_EQ(ints<std::uint32_t>(at(expected, "entropy_u32")), entropy);
        const auto pool = detail::seed_pool(entropy);
        EXPECT_EQ(ints<std::uint32_t>(at(expected, "pool_u32")), std::vector<std::uint32_t>(pool.begin(), pool.end()));
        EXPECT_EQ(ints<std::uint32_t>(at(expected, "generate_state_8_u32")), detail::seed_generate_state(pool, 8));
        const Pcg64State st = Generator(seed).state();
        EXPECT_TRUE(st.state == u128(at(at(expected, "pcg64_state_after_seeding"), "state_hex")));
        EXPECT_TRUE(st.inc == u128(at(at(expected, "pcg64_state_after_seeding"), "inc_hex")));
        EXPECT_FALSE(st.has_uint32);
    }
}

// A generator with a pending upper 32-bit half, so buffer handling is covered too.
Generator primed(std::uint64_t seed) {
    Generator g(seed);
    static_cast<void>(g.next_uint32());
    return g;
}

TEST(GeneratorStandardNormal, FillAndSkipAdvanceExactlyLikeScalarCalls) {
    // Every length up to 600 (so some requests end on a slow-path draw), then two long ones.
    std::vector<std::size_t> sizes(601);
    for (std::size_t n = 0; n <= 600; ++n) sizes[n] = n;
    sizes.push_back(2500);
    sizes.push_back(1000003);
    for (std::uint64_t seed : {0ULL, 7ULL, 2024ULL}) {
        for (std::size_t n : sizes) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", n " + std::to_string(n));
            Generator filled = primed(seed), scalar = filled, skipped = filled;
            std::vector<double> v(n);
            filled.standard_normal(v.data(), n);
            skipped.skip_standard_normal(n);
            std::size_t mismatches = 0;
            for (std::size_t i = 0; i < n; ++i) mismatches += bits(v[i]) != bits(scalar.standard_normal());
            EXPECT_EQ(mismatches, 0U);
            EXPECT_TRUE(same_state(filled.state(), scalar.state()));
            EXPECT_TRUE(same_state(skipped.state(), scalar.state()));
            EXPECT_EQ(bits(skipped.standard_normal()), bits(scalar.standard_normal()));
            EXPECT_EQ(filled.next_uint32(), skipped.next_uint32());
        }
    }
}

TEST(GeneratorArguments, InvalidOrEmptyRequestsDrawNothing) {
    Generator g = primed(5);
    const Pcg64State before = g.state();
    const std::vector<int> empty;
    const auto invalid = [](auto f) { return brindlecap::test::message_of<std::invalid_argument>(f); };
    EXPECT_EQ(invalid([&] { g.integers(0, 0, 4); }), "low >= high");
    EXPECT_EQ(invalid([&] { g.choice(empty); }), "a cannot be empty unless no samples are taken");
    EXPECT_EQ(invalid([&] { g.choice_without_replacement(6, 7); }),
              "Cannot take a larger sample than population when replace is False");
    EXPECT_EQ(invalid([&] { g.uniform(0.0, -0.0); }), "high - low < 0");
    EXPECT_EQ(invalid([&] { g.uniform(0.0, INFINITY); }), "high - low range exceeds valid bounds");

    EXPECT_TRUE(g.choice_without_replacement(9, 0).empty());
    EXPECT_TRUE(g.integers(1, 9, 0).empty());
    EXPECT_EQ(g.integers(-4, -3), -4);
    EXPECT_EQ(g.choice(1), 0U);
    g.skip_standard_normal(0);
    std::vector<int> single{7};
    g.shuffle(single);
    EXPECT_TRUE(same_state(before, g.state()));
}

TEST(GeneratorIntegers, ArrayEqualsScalarCallsAcrossRangeClasses) {
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const std::int64_t min = std::numeric_limits<std::int64_t>::min();
    const std::pair<std::int64_t, std::int64_t> ranges[] = {
        {1, 21}, {0, 3221225472}, {0, 4294967296}, {-7, 4294967290}, {0, 6917529027641081856}, {min, max}};
    for (const auto& [low, high] : ranges) {
        SCOPED_TRACE(std::to_string(low) + ", " + std::to_string(high));
        Generator array = primed(3), scalar = array;
        for (auto v : array.integers(low, high, 501)) {
            EXPECT_EQ(v, scalar.integers(low, high));
            EXPECT_TRUE(v >= low && v < high);
        }
        EXPECT_TRUE(same_state(array.state(), scalar.state()));
    }
}

}  // namespace
