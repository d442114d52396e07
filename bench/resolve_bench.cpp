// resolve_filtrations with the default store over pools of synthetic fixture signals (the
// acceptance fixtures' own builder, no weights), tree
//   and_(gt(is_sharpe, 0.0), or_(in_(rotation_families_used, ["numerical"]), top_pct(is_returns, 0.2)))
//
// Default run: pools of 1e3 .. 1e6 signals; besides time, the heap the pool holds (`pool_MB`),
// the first call's time (`first_ms`: it builds the columns of the three fields and the
// identifiers' order), the column store's heap after it (`columns_MB`), and the peak heap growth
// during one later evaluation (`peak_MB`, `peak_vs_pool`), counted by a global operator new.
// BM_ResolveBornColumnWise: the same signals in a pool built column-wise (ColumnarPoolBuilder).
// `resolve_bench --stress[=N]`: one pool of N signals (10,000,000 by default), built once and
// evaluated a few times; prints build and evaluation times (the first builds the columns) and
// the process's resident memory (current and peak, from /proc/self/status) before and during the
// evaluations.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/order_probe_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/pool_keeper_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/reference_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/snapshot_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/dispatch_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/numeric/generator_internal.hpp"
#include "heap_counter.hpp"

// ---- Pool and tree -------------------------------------------------------------------------------

namespace {

namespace fe = brindlecap::functions::filtrations_evaluation;
using brindlecap::runtime::Value;

constexpr double MB = 1024.0 * 1024.0;

struct BuiltPool {
    fe::detail::PoolPtr pool;
    std::int64_t heap_bytes = 0;
    double first_ms = -1.0;         // the first evaluation
    double first_cpu_ms = -1.0;     // its process CPU time
    std::int64_t column_bytes = 0;  // the column store after it
};

const std::vector<std::string> TREE_FIELDS = {"is_sharpe", "rotation_families_used", "is_returns"};

BuiltPool make_pool(std::size_t n) {
    const std::int64_t before = heap_now.load(std::memory_order_relaxed);
    brindlecap::numeric::Generator g = fe::detail::make_rng(2026);
    BuiltPool out;
    out.pool = fe::detail::synthetic_pool(n, "synth_", 0, 0, g, fe::detail::Weights::skipped);
    out.heap_bytes = heap_now.load(std::memory_order_relaxed) - before;
    return out;
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

// The same signals born column-wise: one values array per field.
BuiltPool born_copy(const fe::SignalPool& rows) {
    const std::int64_t before = heap_now.load(std::memory_order_relaxed);
    std::vector<std::string> ids;
    std::vector<std::string> fields;
    for (std::size_t pos = 0; pos < rows.size(); ++pos) {
        ids.push_back(rows.id(pos));
        for (const auto& [key, value] : *rows.signal(pos).metadata) {
            if (std::find(fields.begin(), fields.end(), key.as_str()) == fields.end()) fields.push_back(key.as_str());
        }
    }
    fe::ColumnarPoolBuilder builder(std::move(ids));
    for (const std::string& field : fields) {
        std::vector<Value> values(rows.size());
        std::vector<std::uint8_t> present(rows.size());
        for (std::size_t pos = 0; pos < rows.size(); ++pos) {
            if (const Value* v = rows.signal(pos).metadata->find(field)) {
                values[pos] = *v;
                present[pos] = 1;
            }
        }
        builder.add_values(field, values, present);
    }
    BuiltPool out;
    out.pool = std::make_shared<fe::SignalPool>(std::move(builder).build());
    out.heap_bytes = heap_now.load(std::memory_order_relaxed) - before;
    return out;
}

BuiltPool& pool_of(std::size_t n, bool born) {
    static std::map<std::pair<std::size_t, bool>, BuiltPool> pools;
    auto& slot = pools[{n, born}];
    if (!slot.pool) slot = born ? born_copy(*pool_of(n, false).pool) : make_pool(n);
    return slot;
}

void resolve_pool(benchmark::State& state, bool born) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    BuiltPool& built = pool_of(n, born);
    const fe::FilterNode tree = make_tree();
    const auto store = brindlecap::functions::registry_and_store::build_default_store();
    if (built.first_ms < 0) {
        const auto start = std::chrono::steady_clock::now();
        const std::clock_t cpu = std::clock();
        fe::resolve_filtrations(*built.pool, tree, store);  // builds the columns, loads the operators
        built.first_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        built.first_cpu_ms = 1e3 * static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
        built.column_bytes = static_cast<std::int64_t>(fe::detail::column_store_bytes(*built.pool, TREE_FIELDS));
    } else {
        fe::resolve_filtrations(*built.pool, tree, store);  // loads and caches the operators
    }

    std::int64_t passing = 0;
    std::int64_t peak_extra = 0;
    for (auto _ : state) {
        const std::int64_t before = heap_now.load(std::memory_order_relaxed);
        heap_peak.store(before, std::memory_order_relaxed);
        const fe::FiltrationResult result = fe::resolve_filtrations(*built.pool, tree, store);
        peak_extra = std::max(peak_extra, heap_peak.load(std::memory_order_relaxed) - before);
        passing = result.signal_count;
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
    state.counters["passing"] = static_cast<double>(passing);
    state.counters["pool_MB"] = static_cast<double>(built.heap_bytes) / MB;
    state.counters["pool_B_per_signal"] = static_cast<double>(built.heap_bytes) / static_cast<double>(n);
    state.counters["first_ms"] = built.first_ms;
    state.counters["first_cpu_ms"] = built.first_cpu_ms;
    state.counters["columns_MB"] = static_cast<double>(built.column_bytes) / MB;
    state.counters["peak_MB"] = static_cast<double>(peak_extra) / MB;
    state.counters["peak_vs_pool"] = static_cast<double>(peak_extra) / static_cast<double>(built.heap_bytes);
}

void BM_ResolveFiltrations(benchmark::State& state) { resolve_pool(state, false); }
void BM_ResolveBornColumnWise(benchmark::State& state) { resolve_pool(state, true); }

double min_of(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK(BM_ResolveFiltrations)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", min_of);
BENCHMARK(BM_ResolveBornColumnWise)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", min_of);

// Field preparation alone (one leaf's walk over the pool's metadata), for the breakdown in
// bench/README.md.
void BM_PreprocessField(benchmark::State& state) {
    const BuiltPool& built = pool_of(static_cast<std::size_t>(state.range(0)), false);
    const brindlecap::runtime::Dict params{{"field", "is_sharpe"}};
    for (auto _ : state) {
        fe::PreparedField f = fe::detail::preprocess_field(*built.pool, params, "gt");
        benchmark::DoNotOptimize(f.values.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PreprocessField)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", min_of);

// ---- Stress run ----------------------------------------------------------------------------------

// VmRSS / VmHWM of this process in MB.
double status_mb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t len = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':') {
            return std::strtod(line.c_str() + len + 1, nullptr) / 1024.0;
        }
    }
    return -1.0;
}

// Resets VmHWM to the current resident size (Linux: clear_refs 5).
void reset_peak_rss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void evaluate_rounds(const fe::SignalPool& pool, int rounds) {
    const fe::FilterNode tree = make_tree();
    const auto store = brindlecap::functions::registry_and_store::build_default_store();
    for (int round = 0; round < rounds; ++round) {
        const double rss_before = status_mb("VmRSS");
        reset_peak_rss();
        const std::int64_t heap_before = heap_now.load(std::memory_order_relaxed);
        heap_peak.store(heap_before, std::memory_order_relaxed);
        const auto start = std::chrono::steady_clock::now();
        std::clock_t cpu = std::clock();
        const fe::FiltrationResult result = fe::resolve_filtrations(pool, tree, store);
        const double wall = seconds_since(start);
        const double cpu_s = static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
        std::printf("evaluation %d: %.3f s wall, %.3f s cpu, %lld passing; RSS %.0f MB before, peak %.0f MB "
                    "(+%.0f MB); heap peak +%.0f MB, column store %.0f MB\n",
                    round + 1, wall, cpu_s, static_cast<long long>(result.signal_count), rss_before,
                    status_mb("VmHWM"), status_mb("VmHWM") - rss_before,
                    static_cast<double>(heap_peak.load(std::memory_order_relaxed) - heap_before) / MB,
                    static_cast<double>(fe::detail::column_store_bytes(pool, TREE_FIELDS)) / MB);
        std::fflush(stdout);
    }
}

// A row pool of fixture signals (the first evaluation builds its columns), then the same signals
// born column-wise, the row pool dropped.
int run_stress(std::size_t n, int rounds) {
    std::printf("stress: %zu signals, %d evaluations\n", n, rounds);
    const double rss_start = status_mb("VmRSS");
    auto start = std::chrono::steady_clock::now();
    BuiltPool built = make_pool(n);
    std::printf("pool built in %.1f s: heap %.0f MB (%.0f B/signal), RSS %.0f MB (%.0f MB before), peak RSS %.0f MB\n",
                seconds_since(start), static_cast<double>(built.heap_bytes) / MB,
                static_cast<double>(built.heap_bytes) / static_cast<double>(n), status_mb("VmRSS"), rss_start,
                status_mb("VmHWM"));
    std::fflush(stdout);
    evaluate_rounds(*built.pool, rounds);

    start = std::chrono::steady_clock::now();
    BuiltPool born = born_copy(*built.pool);
    built = BuiltPool{};
    std::printf("the same signals born column-wise in %.1f s: heap %.0f MB (%.0f B/signal); rows dropped, RSS %.0f MB\n",
                seconds_since(start), static_cast<double>(born.heap_bytes) / MB,
                static_cast<double>(born.heap_bytes) / static_cast<double>(n), status_mb("VmRSS"));
    std::fflush(stdout);
    evaluate_rounds(*born.pool, rounds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--stress", 8) == 0) {
            const std::size_t n = argv[i][8] == '=' ? std::strtoull(argv[i] + 9, nullptr, 10) : 10'000'000;
            return run_stress(n, 4);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
