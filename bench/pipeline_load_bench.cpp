// Load of the acceptance pipeline: 100 consecutive evaluations of the sixteen built-in operators
// on the demo signal set (24 synthetic signals, seed 2026, T 50, N_alloc 50; evaluation seed 0,
// default settings) in one process. Reports the time per run and the heap in use and resident
// set after runs 1, 10 and 100; fails when a run's outcomes (timings aside) differ from the first.

#include <malloc.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/acceptance/evaluate.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/order_probe_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/pool_keeper_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/reference_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/snapshot_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/text.hpp"
#include "functions/filtrations_evaluation/acceptance/outcome_fingerprint.hpp"

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace rs = brindlecap::functions::registry_and_store;
using brindlecap::runtime::Dict;
using brindlecap::runtime::Value;

namespace {

constexpr int kRuns = 100;

double heap_mib() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<double>(m.uordblks + m.hblkhd) / (1024.0 * 1024.0);
}

double rss_mib() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

Dict demo_signals() {
    brindlecap::numeric::Generator g = fe::detail::make_rng(2026);
    const fe::detail::PoolPtr pool = fe::detail::synthetic_pool(24, "synth_", 50, 50, g, fe::detail::Weights::skipped);
    Dict out;
    for (const auto entry : *pool) out.set(Value(entry.id), Value(*entry.signal.metadata));
    return out;
}

void BM_EvaluateHundredRuns(benchmark::State& state) {
    const rs::FunctionStore store = rs::build_default_store();
    const Dict signals = demo_signals();
    for (auto _ : state) {
        std::vector<std::string> first;
        int mismatched_runs = 0;
        double seconds = 0.0;
        for (int run = 1; run <= kRuns; ++run) {
            {
                fe::FiltrationEvaluationConfig config;
                config.mode = "mock";
                config.seed = 0;
                config.mock_signals = signals.deep_copy();
                const auto start = std::chrono::steady_clock::now();
                const fe::FiltrationEvaluationResult result = fe::evaluate(config, std::nullopt, store);
                seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                const std::vector<std::string> outcomes = brindlecap::test::outcome_fingerprint(result);
                if (run == 1) first = outcomes;
                else if (outcomes != first) ++mismatched_runs;
            }
            if (run == 1 || run == 10 || run == kRuns) {
                const std::string tag = std::to_string(run);
                state.counters["heap_MiB_run" + tag] = heap_mib();
                state.counters["rss_MiB_run" + tag] = rss_mib();
            }
        }
        state.counters["s_per_run"] = seconds / kRuns;
        state.counters["mismatched_runs"] = mismatched_runs;
        if (mismatched_runs > 0) state.SkipWithError("a run's outcomes differ from the first run's");
    }
}
BENCHMARK(BM_EvaluateHundredRuns)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
