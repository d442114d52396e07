// Throughput of the numpy-compatible generator; items are draws (normals or integers).

#include <benchmark/benchmark.h>

#include <vector>

#include "brindlecap/numeric/generator_internal.hpp"

namespace {

using brindlecap::numeric::Generator;

void BM_StandardNormalMatrix50x50(benchmark::State& state) {
    Generator g(42);
    for (auto _ : state) {
        auto m = g.standard_normal(50, 50);
        benchmark::DoNotOptimize(m.data());
    }
    state.SetItemsProcessed(state.iterations() * 2500);
}
BENCHMARK(BM_StandardNormalMatrix50x50);

void BM_StandardNormalFill(benchmark::State& state) {
    Generator g(42);
    std::vector<double> out(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        g.standard_normal(out.data(), out.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StandardNormalFill)->Arg(2500)->Arg(1 << 20);

void BM_StandardNormalScalar(benchmark::State& state) {
    Generator g(42);
    for (auto _ : state) benchmark::DoNotOptimize(g.standard_normal());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StandardNormalScalar);

void BM_SkipStandardNormal(benchmark::State& state) {
    Generator g(42);
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        g.skip_standard_normal(n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SkipStandardNormal)->Arg(2500)->Arg(1 << 20);

void BM_IntegersScalar(benchmark::State& state) {
    Generator g(42);
    for (auto _ : state) benchmark::DoNotOptimize(g.integers(1, 21));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IntegersScalar);

void BM_IntegersScalarWide(benchmark::State& state) {
    Generator g(42);
    for (auto _ : state) benchmark::DoNotOptimize(g.integers(0, 6917529027641081856));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IntegersScalarWide);

}  // namespace
