// resolve_filtrations with the default store on pools of 1e3 .. 1e6 signals, tree
//   and_(gt(is_sharpe, 0.0), or_(in_(rotation_families_used, ["numerical"]), top_pct(is_returns, 0.2)))
// Besides time, reports the peak heap growth during one evaluation (the pool excluded) through
// a counting global operator new.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"

// ---- Heap accounting -----------------------------------------------------------------------------

namespace {
std::atomic<std::int64_t> heap_now{0};
std::atomic<std::int64_t> heap_peak{0};

void* counted_alloc(std::size_t n) {
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    const std::int64_t now = heap_now.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)),
                                                std::memory_order_relaxed) +
                             static_cast<std::int64_t>(malloc_usable_size(p));
    std::int64_t peak = heap_peak.load(std::memory_order_relaxed);
    while (now > peak && !heap_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return p;
}

void counted_free(void* p) noexcept {
    if (p == nullptr) return;
    heap_now.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    std::free(p);
}
}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

// ---- Pool and tree -------------------------------------------------------------------------------

namespace {

namespace fe = brindlecap::functions::filtrations_evaluation;
using brindlecap::runtime::Dict;
using brindlecap::runtime::Value;

// Deterministic values without a generator dependency (splitmix64).
struct Mix {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double normal_ish() { return (uniform() + uniform() + uniform() - 1.5) * 2.0; }
};

fe::SignalPool make_pool(std::size_t n) {
    // Keys and the vocabulary are shared across signals, as a host would intern them.
    const Value k_is_sharpe("is_sharpe"), k_os_sharpe("os_sharpe"), k_is_returns("is_returns"),
        k_os_returns("os_returns"), k_is_turnover("is_turnover"), k_os_turnover("os_turnover"),
        k_families("rotation_families_used"), k_complexity("expression_complexity"),
        k_date("submission_date"), k_active("is_active"), k_category("signal_category");
    const std::vector<Value> families = {"numerical",  "latitudinal", "longitudinal",
                                         "collection", "comparison",  "event"};
    const std::vector<Value> categories = {"momentum", "value", "volatility", "quality"};

    Mix mix{2026};
    fe::SignalPool pool;
    pool.reserve(n);
    char id[32];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(id, sizeof id, "synth_%07zu", i);
        const std::size_t k = 1 + mix.next() % 3;
        const std::size_t first = mix.next() % families.size();
        brindlecap::runtime::List used;
        for (std::size_t j = 0; j < k; ++j) used.push_back(families[(first + j) % families.size()]);
        Dict md;
        md.set(k_is_sharpe, mix.normal_ish());
        md.set(k_os_sharpe, mix.normal_ish());
        md.set(k_is_returns, 0.1 * mix.normal_ish());
        md.set(k_os_returns, 0.1 * mix.normal_ish());
        md.set(k_is_turnover, mix.uniform());
        md.set(k_os_turnover, mix.uniform());
        md.set(k_families, Value(std::move(used)));
        md.set(k_complexity, static_cast<long long>(1 + mix.next() % 20));
        md.set(k_date, 1.7e9 + 1e7 * mix.uniform());
        md.set(k_active, (mix.next() & 1) == 0);
        md.set(k_category, categories[mix.next() % categories.size()]);
        pool.insert(id, fe::UsefulSignal::make(std::move(md)));
    }
    return pool;
}

fe::FilterNode make_tree() {
    return fe::FilterNode{
        "and_",
        {},
        {fe::FilterNode{"gt", {{"field", "is_sharpe"}, {"value", 0.0}}, {}},
         fe::FilterNode{"or_",
                        {},
                        {fe::FilterNode{"in_",
                                        {{"field", "rotation_families_used"},
                                         {"values", Value::list({"numerical"})}},
                                        {}},
                         fe::FilterNode{"top_pct", {{"field", "is_returns"}, {"pct", 0.2}}, {}}}}}};
}

const fe::SignalPool& pool_of(std::size_t n) {
    static std::map<std::size_t, std::unique_ptr<fe::SignalPool>> pools;
    auto& slot = pools[n];
    if (!slot) slot = std::make_unique<fe::SignalPool>(make_pool(n));
    return *slot;
}

void BM_ResolveFiltrations(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const fe::SignalPool& pool = pool_of(n);
    const fe::FilterNode tree = make_tree();
    const auto store = brindlecap::functions::registry_and_store::build_default_store();
    fe::resolve_filtrations(pool, tree, store);  // loads and caches the operators

    std::int64_t passing = 0;
    std::int64_t peak_extra = 0;
    for (auto _ : state) {
        const std::int64_t before = heap_now.load(std::memory_order_relaxed);
        heap_peak.store(before, std::memory_order_relaxed);
        const fe::FiltrationResult result = fe::resolve_filtrations(pool, tree, store);
        peak_extra = std::max(peak_extra, heap_peak.load(std::memory_order_relaxed) - before);
        passing = result.signal_count;
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
    state.counters["passing"] = static_cast<double>(passing);
    state.counters["peak_MB"] = static_cast<double>(peak_extra) / (1024.0 * 1024.0);
    state.counters["peak_B_per_signal"] = static_cast<double>(peak_extra) / static_cast<double>(n);
}

BENCHMARK(BM_ResolveFiltrations)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
