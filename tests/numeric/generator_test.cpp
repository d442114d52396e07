#include "brindlecap/numeric/generator_internal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "runtime/value_printer.hpp"

namespace {

using brindlecap::numeric::default_rng;
using brindlecap::numeric::Generator;
using brindlecap::numeric::Matrix;
using brindlecap::numeric::Pcg64State;
using brindlecap::numeric::detail::uint128;
using nlohmann::json;

const json& golden() {
    static const json data = [] {
        std::ifstream in(std::string(BRINDLECAP_TEST_DATA_DIR) + "/numpy_random/golden.json");
        if (!in) throw std::runtime_error("cannot open numpy_random/golden.json");
        return json::parse(in);
    }();
    return data;
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

double parse_hex_double(const json& s) { return std::strtod(s.get<std::string>().c_str(), nullptr); }

uint128 parse_hex_u128(const std::string& s) {
    uint128 v = 0;
    for (char c : s.substr(2)) v = (v << 4) | static_cast<uint128>(std::stoi(std::string(1, c), nullptr, 16));
    return v;
}

#define EXPECT_SAME_DOUBLE(expected_hex, actual) \
    EXPECT_EQ(bits(parse_hex_double(expected_hex)), bits(actual)) << "expected " << (expected_hex)

bool same_state(const Pcg64State& a, const Pcg64State& b) {
    return a.state == b.state && a.inc == b.inc && a.has_uint32 == b.has_uint32 && a.uinteger == b.uinteger;
}

// SHA-256 of a byte buffer, as lowercase hex (the digest the golden file records for long streams).
std::string sha256_hex(std::vector<unsigned char> msg) {
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const std::uint64_t bit_len = static_cast<std::uint64_t>(msg.size()) * 8;
    msg.push_back(0x80);
    while (msg.size() % 64 != 56) msg.push_back(0);
    for (int i = 7; i >= 0; --i) msg.push_back(static_cast<unsigned char>(bit_len >> (8 * i)));
    using std::rotr;
    for (std::size_t off = 0; off < msg.size(); off += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const unsigned char* p = &msg[off + 4 * static_cast<std::size_t>(i)];
            w[i] = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
        }
        for (int i = 16; i < 64; ++i) {
            w[i] = w[i - 16] + (rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
                   (rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10));
        }
        std::uint32_t v[8];
        std::copy(h, h + 8, v);
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = v[7] + (rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25)) +
                                     ((v[4] & v[5]) ^ (~v[4] & v[6])) + k[i] + w[i];
            const std::uint32_t t2 =
                (rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22)) + ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
            std::copy_backward(v, v + 7, v + 8);
            v[4] += t1;
            v[0] = t1 + t2;
        }
        for (int i = 0; i < 8; ++i) h[i] += v[i];
    }
    std::string out;
    char buf[9];
    for (auto x : h) {
        std::snprintf(buf, sizeof buf, "%08x", x);
        out += buf;
    }
    return out;
}

// Replays one golden program on a generator and checks every output against numpy's.
class ProgramReplay {
public:
    ProgramReplay(Generator& gen, const json& outputs) : gen_(gen), outputs_(outputs) {}

    void run(const json& program) {
        for (const auto& item : program) {
            if (item.contains("repeat")) {
                for (int r = 0; r < item["repeat"].get<int>(); ++r) run(item["body"]);
            } else {
                call(item);
            }
        }
    }

    std::size_t consumed() const { return next_; }

private:
    std::int64_t resolve(const json& v) const {
        return v.is_string() ? vars_.at(v.get<std::string>().substr(1)) : v.get<std::int64_t>();
    }

    void call(json d) {
        if (d.contains("size") && d["size"].is_string()) d["size"] = resolve(d["size"]);
        ASSERT_LT(next_, outputs_.size());
        const json& expected = outputs_[next_];
        SCOPED_TRACE("output #" + std::to_string(next_) + ": " + d.dump());
        ++next_;
        if (d.contains("generator")) {
            Generator fresh = default_rng(static_cast<std::uint64_t>(resolve(d["generator"]["default_rng"])));
            check(fresh, d, expected);
        } else {
            check(gen_, d, expected);
        }
        if (d.contains("bind")) vars_[d["bind"].get<std::string>()] = expected.get<std::int64_t>();
    }

    static void check(Generator& g, const json& d, const json& expected) {
        const std::string fn = d["fn"];
        if (fn == "next_uint64") {
            EXPECT_EQ(std::stoull(expected.get<std::string>()), g.next_uint64());
        } else if (fn == "random") {
            EXPECT_SAME_DOUBLE(expected, g.random());
        } else if (fn == "integers") {
            const auto low = d["low"].get<std::int64_t>();
            const auto high = d["high"].get<std::int64_t>();
            if (d.contains("size")) {
                EXPECT_EQ(expected.get<std::vector<std::int64_t>>(),
                          g.integers(low, high, static_cast<std::size_t>(d["size"].get<std::int64_t>())));
            } else {
                EXPECT_EQ(expected.get<std::int64_t>(), g.integers(low, high));
            }
        } else if (fn == "uniform") {
            EXPECT_SAME_DOUBLE(expected, g.uniform(d["low"].get<double>(), d["high"].get<double>()));
        } else if (fn == "standard_normal") {
            check_normal(g, d, expected);
        } else if (fn == "choice") {
            check_choice(g, d, expected);
        } else if (fn == "shuffle") {
            auto x = d["x"].get<std::vector<json>>();
            g.shuffle(x);
            EXPECT_EQ(expected, json(x));
        } else {
            FAIL() << "unknown call " << fn;
        }
    }

    static void check_normal(Generator& g, const json& d, const json& expected) {
        if (!d.contains("size")) {
            const double v = g.standard_normal();
            EXPECT_SAME_DOUBLE(expected, d.value("post", "") == "abs" ? std::fabs(v) : v);
            return;
        }
        const json& size = d["size"];
        if (size.is_array()) {
            const Matrix m = g.standard_normal(size[0].get<std::size_t>(), size[1].get<std::size_t>());
            ASSERT_EQ(m.rows(), expected.size());
            for (std::size_t r = 0; r < m.rows(); ++r) {
                ASSERT_EQ(m.cols(), expected[r].size());
                for (std::size_t c = 0; c < m.cols(); ++c) EXPECT_SAME_DOUBLE(expected[r][c], m(r, c));
            }
            return;
        }
        std::vector<double> v(static_cast<std::size_t>(size.get<std::int64_t>()));
        g.standard_normal(v.data(), v.size());
        if (d.value("record", "") != "digest") {
            ASSERT_EQ(expected.size(), v.size());
            for (std::size_t i = 0; i < v.size(); ++i) EXPECT_SAME_DOUBLE(expected[i], v[i]);
            return;
        }
        ASSERT_EQ(expected["count"].get<std::size_t>(), v.size());
        for (std::size_t i = 0; i < expected["first"].size(); ++i) EXPECT_SAME_DOUBLE(expected["first"][i], v[i]);
        std::size_t large = 0;
        for (const auto& [index, hex] : expected["abs_gt_3.5"].items()) EXPECT_SAME_DOUBLE(hex, v.at(std::stoul(index)));
        for (double x : v) large += std::fabs(x) > 3.5;
        EXPECT_EQ(large, expected["abs_gt_3.5"].size());
        std::vector<unsigned char> bytes(v.size() * 8);
        for (std::size_t i = 0; i < v.size(); ++i) {
            for (int b = 0; b < 8; ++b) bytes[8 * i + b] = static_cast<unsigned char>(bits(v[i]) >> (8 * b));
        }
        EXPECT_EQ(expected["sha256_le_f64"].get<std::string>(), sha256_hex(std::move(bytes)));
    }

    static void check_choice(Generator& g, const json& d, const json& expected) {
        const json& a = d["a"];
        const std::size_t pop = a.is_array() ? a.size() : a.get<std::size_t>();
        auto element = [&](std::size_t i) { return a.is_array() ? a[i] : json(i); };
        if (!d.contains("size")) {
            EXPECT_EQ(expected, a.is_array() ? g.choice(a.get<std::vector<json>>()) : element(g.choice(pop)));
            return;
        }
        const auto k = static_cast<std::size_t>(d["size"].get<std::int64_t>());
        json got = json::array();
        if (d.value("replace", true)) {
            for (std::size_t i = 0; i < k; ++i) got.push_back(element(g.choice(pop)));
        } else {
            for (std::size_t i : g.choice_without_replacement(pop, k)) got.push_back(element(i));
        }
        EXPECT_EQ(expected, got);
    }

    Generator& gen_;
    const json& outputs_;
    std::size_t next_ = 0;
    std::map<std::string, std::int64_t> vars_;
};

std::vector<std::string> stream_names() {
    std::vector<std::string> names;
    for (const auto& s : golden()["streams"]) {
        const std::string name = s["name"];
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

class GoldenStream : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenStream, MatchesNumpyForEverySeed) {
    int seeds = 0;
    for (const auto& s : golden()["streams"]) {
        if (s["name"] != GetParam()) continue;
        ++seeds;
        SCOPED_TRACE("seed " + s["seed"].dump());
        Generator gen = default_rng(s["seed"].get<std::uint64_t>());
        ProgramReplay replay(gen, s["outputs"]);
        replay.run(s["program"]);
        EXPECT_EQ(replay.consumed(), s["outputs"].size());
    }
    EXPECT_GT(seeds, 0);
}

INSTANTIATE_TEST_SUITE_P(Numpy124, GoldenStream, ::testing::ValuesIn(stream_names()),
                         [](const auto& info) { return info.param; });

TEST(GeneratorSeeding, MatchesSeedSequenceAndPcg64State) {
    namespace detail = brindlecap::numeric::detail;
    ASSERT_FALSE(golden()["seeding"].empty());
    for (const auto& [seed_text, expected] : golden()["seeding"].items()) {
        SCOPED_TRACE("seed " + seed_text);
        const std::uint64_t seed = std::stoull(seed_text);
        const auto entropy = detail::seed_entropy(seed);
        EXPECT_EQ(expected["entropy_u32"].get<std::vector<std::uint32_t>>(), entropy);
        const auto pool = detail::seed_pool(entropy);
        EXPECT_EQ((expected["pool_u32"].get<std::array<std::uint32_t, 4>>()), pool);
        EXPECT_EQ(expected["generate_state_8_u32"].get<std::vector<std::uint32_t>>(), detail::seed_generate_state(pool, 8));
        const Pcg64State st = Generator(seed).state();
        EXPECT_TRUE(st.state == parse_hex_u128(expected["pcg64_state_after_seeding"]["state_hex"]));
        EXPECT_TRUE(st.inc == parse_hex_u128(expected["pcg64_state_after_seeding"]["inc_hex"]));
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
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<int> empty;
    const auto invalid = [](auto f) { return brindlecap::test::message_of<std::invalid_argument>(f); };
    EXPECT_EQ(invalid([&] { g.integers(0, 0, 4); }), "low >= high");
    EXPECT_EQ(invalid([&] { g.choice(empty); }), "a cannot be empty unless no samples are taken");
    EXPECT_EQ(invalid([&] { g.choice_without_replacement(6, 7); }),
              "Cannot take a larger sample than population when replace is False");
    EXPECT_EQ(invalid([&] { g.uniform(0.0, -0.0); }), "high - low < 0");
    EXPECT_EQ(invalid([&] { g.uniform(0.0, inf); }), "high - low range exceeds valid bounds");

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
