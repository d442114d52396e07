// evaluate() with all eight checks over the sixteen built-ins of build_default_store() on the
// demo signal set (the synthetic fixture metadata for N_signals 24, seed 2026, T 50,
// N_alloc 50), default configuration, one thread; also with a RunRecorder alive.
// Also: one check at a time (the others skipped), and the peak heap growth of a run for
// several N_trials, through a counting global operator new.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <set>
#include <stdexcept>

#include "brindlecap/functions/filtrations_evaluation/acceptance/evaluate.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/report.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/order_probe_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/pool_keeper_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/reference_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/snapshot_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "heap_counter.hpp"

namespace {

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace fd = brindlecap::functions::filtrations_evaluation::detail;

const brindlecap::runtime::Dict& demo_metadata() {
    static const brindlecap::runtime::Dict metadata = [] {
        fe::FiltrationEvaluationConfig c;
        c.N_signals = 24;
        c.seed = 2026;
        brindlecap::runtime::Dict out;
        const fd::PoolPtr pool = fd::generate_synthetic_signals(c);
        for (const auto& [id, signal] : *pool) out.set(id, *signal.metadata);
        return out;
    }();
    return metadata;
}

fe::FiltrationEvaluationConfig demo_config() {
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.mock_signals = demo_metadata();
    return c;
}

const brindlecap::functions::registry_and_store::FunctionStore& store() {
    static const auto s = brindlecap::functions::registry_and_store::build_default_store();
    return s;
}

std::int64_t accepted(const fe::FiltrationEvaluationResult& result) {
    std::int64_t n = 0;
    for (const auto& [name, verdict] : result.operator_results) n += verdict.accepted ? 1 : 0;
    return n;
}

void BM_EvaluateDemo(benchmark::State& state) {
    std::int64_t ok = 0;
    for (auto _ : state) {
        auto config = demo_config();
        const auto result = fe::evaluate(config, std::nullopt, store());
        ok = accepted(result);
        benchmark::DoNotOptimize(ok);
    }
    if (ok != 16) state.SkipWithError("not all sixteen built-ins were accepted");
    state.counters["accepted"] = static_cast<double>(ok);
}
BENCHMARK(BM_EvaluateDemo)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

// The same run recorded for reproducers and the report (RunRecorder alive; the built-ins fail no
// comparison, so what is recorded is the bias trials and speed timings).
void BM_EvaluateDemoRecorded(benchmark::State& state) {
    std::int64_t ok = 0;
    for (auto _ : state) {
        auto config = demo_config();
        fe::RunRecorder recorder;
        const auto result = fe::evaluate(config, std::nullopt, store());
        ok = accepted(result);
        benchmark::DoNotOptimize(recorder.observations().disagreement_count());
    }
    if (ok != 16) state.SkipWithError("not all sixteen built-ins were accepted");
}
BENCHMARK(BM_EvaluateDemoRecorded)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

// Check k alone (all others skipped).
void BM_EvaluateOneCheck(benchmark::State& state) {
    const auto only = state.range(0);
    for (auto _ : state) {
        auto config = demo_config();
        for (std::int64_t k = 1; k <= 8; ++k) {
            if (k != only) config.skip_checks.insert(k);
        }
        benchmark::DoNotOptimize(fe::evaluate(config, std::nullopt, store()));
    }
}
BENCHMARK(BM_EvaluateOneCheck)->DenseRange(1, 8)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly(true);

// Peak heap growth during one run; the demo metadata and store are built beforehand.
void BM_EvaluatePeakHeap(benchmark::State& state) {
    demo_metadata();
    store();
    std::int64_t peak_growth = 0;
    for (auto _ : state) {
        auto config = demo_config();
        config.N_trials = state.range(0);
        const std::int64_t before = heap_now.load();
        heap_peak.store(before);
        {
            const auto result = fe::evaluate(config, std::nullopt, store());
            benchmark::DoNotOptimize(accepted(result));
        }
        peak_growth = heap_peak.load() - before;
    }
    state.counters["peak_MB"] = static_cast<double>(peak_growth) / 1e6;
}
BENCHMARK(BM_EvaluatePeakHeap)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
