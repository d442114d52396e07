// top_pct, bottom_pct, top_n, bottom_n: keep the first positions of the ranking by value and
// every value tied with the last kept one.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations/builtin_operators_internal.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations::detail {
namespace {

using Kind = Value::Kind;

constexpr std::int64_t EXACT_INT_LIMIT = std::int64_t{1} << 53;

enum class Direction { Top, Bottom };

const Value* given(const Dict& params, std::string_view key) {
    const Value* v = params.find(key);
    return (v == nullptr || v->is_none()) ? nullptr : v;
}

double numeric_param(const Value& v, const std::string& name, std::string_view key) {
    if (v.is_float()) return v.as_float();
    if (v.is_int()) return static_cast<double>(v.as_int());
    if (v.is_bool()) return v.as_bool() ? 1.0 : 0.0;
    throw FilterValidationError("Operator '" + name + "' requires a numeric '" + std::string(key) +
                                "', got " + runtime::type_name(v));
}

// The requested size of the selection: a fraction of the values (pct, which wins when both are
// given) or a count (n). Validated before any value is looked at.
class RankSize {
public:
    RankSize(const Dict& params, const std::string& name, bool pct_operator) {
        const Value* pct = given(params, "pct");
        const Value* n = given(params, "n");
        if (pct != nullptr) {
            is_pct_ = true;
            amount_ = numeric_param(*pct, name, "pct");
            if (std::isnan(amount_)) throw FilterValidationError("pct must be in (0.0, 1.0], got nan");
        } else if (n != nullptr) {
            if (n->is_int()) {
                // Exact for any integer: only its relation to the value count matters.
                const std::int64_t i = n->as_int();
                amount_ = i < 1 ? 0.0 : (i > EXACT_INT_LIMIT ? HUGE_VAL : static_cast<double>(i));
            } else {
                amount_ = numeric_param(*n, name, "n");
                if (std::isnan(amount_)) throw FilterValidationError("Count must be >= 1, got nan");
            }
        } else {
            throw FilterValidationError(pct_operator
                                            ? "Operator '" + name + "' requires a 'pct' parameter"
                                            : "Operator '" + name + "' requires an 'n' parameter");
        }
    }

    // Positions to keep out of `count` values: ceil(count * pct) with at least one, or n truncated;
    // never more than count. Infinite amounts are compared, never converted.
    std::size_t positions(std::size_t count) const {
        const double total = static_cast<double>(count);
        double k = is_pct_ ? std::max(std::ceil(total * amount_), 1.0) : std::trunc(amount_);
        if (!(k < total)) return count;
        return k < 1.0 ? 0 : static_cast<std::size_t>(k);
    }

private:
    bool is_pct_ = false;
    double amount_ = 0.0;
};

// Numbers (booleans count as 0/1): nth_element on (value, index) pairs, then a scan for ties.
// Returns false, before selecting anything, when some value is not such a number.
bool rank_numbers(const PreparedField& f, Direction dir, const RankSize& size, Selection& sel) {
    std::vector<std::pair<double, std::uint32_t>> keyed;
    keyed.reserve(f.values.size());
    const std::uint32_t n_values = static_cast<std::uint32_t>(f.values.size());
    for (std::uint32_t i = 0; i < n_values; ++i) {
        if (i + 16 < n_values) __builtin_prefetch(f.values[i + 16].value);
        const Value& v = *f.values[i].value;
        double x;
        switch (v.kind()) {
            case Kind::floating:
                x = v.as_float();
                if (std::isnan(x)) continue;  // unordered: never ranked
                break;
            case Kind::integer: {
                const std::int64_t n = v.as_int();
                if (n < -EXACT_INT_LIMIT || n > EXACT_INT_LIMIT) return false;
                x = static_cast<double>(n);
                break;
            }
            case Kind::boolean:
                x = v.as_bool() ? 1.0 : 0.0;
                break;
            default:
                return false;
        }
        keyed.emplace_back(x, i);
    }

    const std::size_t k = size.positions(keyed.size());
    if (k == 0) return true;
    if (k < keyed.size()) {
        const auto nth = keyed.begin() + static_cast<std::ptrdiff_t>(k - 1);
        if (dir == Direction::Top) {
            std::nth_element(keyed.begin(), nth, keyed.end(),
                             [](const auto& a, const auto& b) { return a.first > b.first; });
        } else {
            std::nth_element(keyed.begin(), nth, keyed.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        }
        const double cutoff = nth->first;
        for (const auto& [x, i] : keyed) {
            if (dir == Direction::Top ? x >= cutoff : x <= cutoff) sel.add(f.values[i]);
        }
    } else {
        for (const auto& entry : keyed) sel.add(f.values[entry.second]);
    }
    return true;
}

// Any other values: a full sort by Python ordering, which raises TypeError for mixed kinds.
void rank_values(const PreparedField& f, Direction dir, const RankSize& size, Selection& sel) {
    std::vector<std::uint32_t> order;
    order.reserve(f.values.size());
    for (std::uint32_t i = 0; i < f.values.size(); ++i) {
        if (!f.values[i].value->is_nan()) order.push_back(i);
    }
    const std::size_t k = size.positions(order.size());
    if (k == 0) return;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        const Value& va = *f.values[a].value;
        const Value& vb = *f.values[b].value;
        return dir == Direction::Top ? runtime::less(vb, va) : runtime::less(va, vb);
    });
    const Value& cutoff = *f.values[order[k - 1]].value;
    for (std::uint32_t i : order) {
        const Value& v = *f.values[i].value;
        if (dir == Direction::Top ? runtime::greater_equal(v, cutoff) : runtime::less_equal(v, cutoff)) {
            sel.add(f.values[i]);
        }
    }
}

// ---- Over columns ----------------------------------------------------------------------------

// The value at position k - 1 of the ranking (1 <= k < values.size()); reorders values.
template <class T>
T cutoff_of(std::vector<T>& values, std::size_t k, Direction dir) {
    const auto nth = values.begin() + static_cast<std::ptrdiff_t>(k - 1);
    if (dir == Direction::Top) {
        std::nth_element(values.begin(), nth, values.end(), std::greater<T>());
    } else {
        std::nth_element(values.begin(), nth, values.end(), std::less<T>());
    }
    return *nth;
}

// Doubles as unsigned integers of the same order (-0.0 just below 0.0).
std::uint64_t order_key(double d) {
    const auto u = std::bit_cast<std::uint64_t>(d);
    return (u >> 63) != 0 ? ~u : u | (std::uint64_t{1} << 63);
}

// A histogram of the leading 16 bits of the order keys of x's values, NaN counted apart.
class KeyHistogram {
public:
    static constexpr unsigned SHIFT = 48;
    static constexpr std::size_t NAN_BUCKET = std::size_t{1} << (64 - SHIFT);

    KeyHistogram(const double* x, std::size_t n) : counts_(NAN_BUCKET + 1, 0) {
        for (std::size_t p = 0; p < n; ++p) {
            const double v = x[p];
            ++counts_[std::isnan(v) ? NAN_BUCKET : order_key(v) >> SHIFT];
        }
        count_ = n - counts_[NAN_BUCKET];
    }

    std::size_t count() const noexcept { return count_; }

    // The value at ascending position r (0-based, r < count()) of the values that are not NaN:
    // the histogram finds the bucket, a selection within it the value.
    double value_at_rank(const double* x, std::size_t n, std::size_t r) const {
        std::size_t bucket = 0;
        std::size_t below = 0;
        while (below + counts_[bucket] <= r) below += counts_[bucket++];
        std::vector<double> within;
        within.reserve(counts_[bucket]);
        for (std::size_t p = 0; p < n; ++p) {
            const double v = x[p];
            if ((order_key(v) >> SHIFT) == bucket && v == v) within.push_back(v);
        }
        const auto nth = within.begin() + static_cast<std::ptrdiff_t>(r - below);
        std::nth_element(within.begin(), nth, within.end());
        return *nth;
    }

private:
    std::vector<std::uint32_t> counts_;
    std::size_t count_ = 0;
};

// The ranking of rank_numbers and rank_values over a number or integer column (the same set:
// the k-th value of the ranking and every value tied with it or beyond); other columns go the
// row way.
std::optional<IdSet> rank_column(const ColumnCall& call, const std::string& name, Direction dir, bool pct_operator) {
    const RankSize size(call.params, name, pct_operator);
    const Column& c = call.column;
    if (c.kind == ColumnKind::number) {
        const double* x = c.numbers.data();
        const KeyHistogram histogram(x, c.size);
        const std::size_t count = histogram.count();
        const std::size_t k = size.positions(count);
        if (k == 0) return IdSet::over(call.universe);
        if (k >= count) return column_set(call, bits_where(c.size, [=](std::size_t p) { return !std::isnan(x[p]); }));
        const double cutoff = histogram.value_at_rank(x, c.size, dir == Direction::Top ? count - k : k - 1);
        if (dir == Direction::Top) return column_set(call, bits_where(c.size, [=](std::size_t p) { return x[p] >= cutoff; }));
        return column_set(call, bits_where(c.size, [=](std::size_t p) { return x[p] <= cutoff; }));
    }
    if (c.kind == ColumnKind::integer) {
        std::vector<std::int64_t> ranked;
        ranked.reserve(c.present_count);
        for (std::size_t p = 0; p < c.size; ++p) {
            if (c.holds(p)) ranked.push_back(c.integers[p]);
        }
        const std::size_t k = size.positions(ranked.size());
        if (k == 0) return IdSet::over(call.universe);
        if (k >= ranked.size()) return column_set(call, bits_where(c.size, [&](std::size_t p) { return c.holds(p); }));
        const std::int64_t cutoff = cutoff_of(ranked, k, dir);
        return column_set(call, bits_where(c.size, [&](std::size_t p) {
            return c.holds(p) && (dir == Direction::Top ? c.integers[p] >= cutoff : c.integers[p] <= cutoff);
        }));
    }
    return std::nullopt;
}

NamedOperator rank_operator(const std::string& name, Direction dir, bool pct_operator) {
    return {name,
            field_leaf_operator(name,
                                [=](const PreparedField& f, const Dict& params) {
                                    const RankSize size(params, name, pct_operator);
                                    Selection sel(f);
                                    if (!rank_numbers(f, dir, size, sel)) rank_values(f, dir, size, sel);
                                    return std::move(sel).take();
                                }),
            [=](const ColumnCall& call) { return rank_column(call, name, dir, pct_operator); }};
}

}  // namespace

std::vector<NamedOperator> rank_operators() {
    return {
        rank_operator("top_pct", Direction::Top, true),
        rank_operator("bottom_pct", Direction::Bottom, true),
        rank_operator("top_n", Direction::Top, false),
        rank_operator("bottom_n", Direction::Bottom, false),
    };
}

}  // namespace brindlecap::functions::filtrations::detail
