// resolve_filtrations over large pools with the built-in operators:
// and_(gt(is_sharpe), or_(in_(signal_category), top_pct(is_turnover))).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "brindlecap/functions/filtrations_evaluation/tree/dispatch.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/numeric/generator.hpp"

namespace {

namespace fe = brindlecap::functions::filtrations_evaluation;
using brindlecap::runtime::Dict;
using brindlecap::runtime::Value;

const char* const kCategories[] = {"momentum", "value", "carry", "quality", "reversal"};

// Identifiers in a shuffled order when `shuffled`, else ascending.
fe::SignalPool make_pool(std::size_t n, bool shuffled) {
    brindlecap::numeric::Generator rng(7);
    fe::SignalPool pool;
    pool.reserve(n);
    char id[32];
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t k = shuffled ? (i * 2654435761u) % n : i;
        std::snprintf(id, sizeof id, "sig_%07zu", k);
        Dict md{{"is_sharpe", rng.standard_normal()},
                {"is_turnover", rng.uniform(0.0, 1.0)},
                {"signal_category", kCategories[i % 5]},
                {"is_active", i % 3 != 0}};
        pool.insert(id, fe::UsefulSignal::make(std::move(md)));
    }
    return pool;
}

fe::FilterNode tree() {
    fe::FilterNode gt{"gt", {{"field", "is_sharpe"}, {"value", 0.0}}, {}};
    fe::FilterNode in{"in_", {{"field", "signal_category"}, {"values", Value::list({"value", "carry"})}}, {}};
    fe::FilterNode top{"top_pct", {{"field", "is_turnover"}, {"pct", 0.1}}, {}};
    fe::FilterNode either{"or_", {}, {in, top}};
    return fe::FilterNode{"and_", {}, {gt, either}};
}

void BM_ResolveFiltrations(benchmark::State& state) {
    const fe::SignalPool pool = make_pool(static_cast<std::size_t>(state.range(0)), state.range(1) != 0);
    const auto store = brindlecap::functions::registry_and_store::build_default_store();
    const fe::FilterNode root = tree();
    for (auto _ : state) {
        fe::FiltrationResult r = fe::resolve_filtrations(pool, root, store);
        benchmark::DoNotOptimize(r.passing_ids.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ResolveFiltrations)
    ->ArgsProduct({{10'000, 1'000'000}, {0, 1}})
    ->ArgNames({"signals", "shuffled"})
    ->Unit(benchmark::kMillisecond);

void BM_PreprocessField(benchmark::State& state) {
    const fe::SignalPool pool = make_pool(static_cast<std::size_t>(state.range(0)), false);
    const Dict params{{"field", "is_sharpe"}};
    for (auto _ : state) {
        fe::PreparedField f = fe::detail::preprocess_field(pool, params, "gt");
        benchmark::DoNotOptimize(f.values.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PreprocessField)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

}  // namespace
