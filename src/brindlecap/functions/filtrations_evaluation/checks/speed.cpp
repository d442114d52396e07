// Speed check: timed operator calls on a small and a large synthetic pool, each against its own
// wall-clock limit; a benchmark clearly over its limit is cut short.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/check_support_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/run_observer_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"
#include "brindlecap/runtime/clock_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/log.hpp"
#include "brindlecap/runtime/process_state_internal.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

std::atomic<SpeedClock>& clock_slot() {
    static std::atomic<SpeedClock> slot{&runtime::monotonic};
    return slot;
}

struct BenchmarkResult {
    double elapsed = 0.0;
    std::vector<double> samples;  // sampled call durations, seconds
    std::int64_t calls = 0;
};

// Count from the configuration, already validated to be at least 1.
std::size_t count_of(std::int64_t n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }

class Benchmark {
public:
    Benchmark(const std::string& op_name, const Operator& op_impl, const FiltrationEvaluationConfig& config,
              OperatorCategory category, SpeedClock clock)
        : op_name_(op_name), op_impl_(op_impl), config_(config), category_(category), clock_(clock) {}

    BenchmarkResult run(std::int64_t bench_T, std::int64_t bench_N, double limit_s, const std::string& prefix) const {
        // Built like the fixture's synthetic branch from a fresh generator; operators never read
        // the weights, so they are skipped. Building is not timed.
        numeric::Generator g = make_rng(config_.seed);
        const PoolPtr pool = synthetic_pool(count_of(bench_N), "speed_" + prefix + "_", config_.T, config_.N_alloc,
                                            g, Weights::skipped);
        pool_keeper().append(pool);

        const double bail = limit_s * 1.1;
        const std::int64_t sample_interval = std::max<std::int64_t>(bench_T / 50, 1);
        const std::int64_t check_interval = std::max<std::int64_t>(1, std::min<std::int64_t>(50, bench_T / 20));

        BenchmarkResult result;
        result.samples.reserve(static_cast<std::size_t>(std::min<std::int64_t>(bench_T, 64)));
        const double start = clock_();
        for (std::int64_t t = 0; t < bench_T; ++t) {
            const bool sampled = t % sample_interval == 0;
            double sample_start = 0.0;
            if (sampled) sample_start = clock_();
            attempt([&] { (void)call_operator(op_name_, op_impl_, *pool, category_); },
                    [&](const std::exception& e) {
                        module_log().warning("speed_benchmark_iteration_failed",
                                             {{"op_name", op_name_}, {"iteration", t}}, &e);
                    });
            if (sampled) result.samples.push_back(clock_() - sample_start);
            result.calls = t + 1;
            if (t % check_interval == check_interval - 1 && clock_() - start > bail) break;
        }
        result.elapsed = clock_() - start;
        if (RunObserver* observer = run_observer()) {
            observer->speed_run(op_name_, prefix, result.samples, result.calls, result.elapsed, limit_s);
        }
        return result;
    }

private:
    const std::string& op_name_;
    const Operator& op_impl_;
    const FiltrationEvaluationConfig& config_;
    OperatorCategory category_;
    SpeedClock clock_;
};

void record_run(Dict& evidence, const std::string& prefix, double elapsed, double limit_s, std::int64_t T,
                std::int64_t N) {
    evidence.set(Value(prefix + "_elapsed_s"), elapsed);
    evidence.set(Value(prefix + "_time_s"), elapsed);
    evidence.set(Value(prefix + "_limit_s"), limit_s);
    evidence.set(Value(prefix + "_T"), T);
    evidence.set(Value(prefix + "_N"), N);
}

std::string too_slow(const char* which, double elapsed, double limit_s) {
    return std::string(which) + " benchmark too slow: " + runtime::fixed(elapsed, 3) + "s > " + runtime::repr(limit_s) +
           "s";
}

}  // namespace

SpeedClock set_speed_clock(SpeedClock clock) { return clock_slot().exchange(clock); }

namespace {
const runtime::detail::RegisteredSlot speed_clock_slot{
    "speed clock", [] { set_speed_clock(&runtime::monotonic); }, runtime::detail::SlotHolds::library_values};
}  // namespace

CheckOutcome run_check_8_speed(const std::string& op_name, const Operator& op_impl,
                               FiltrationEvaluationConfig& config, numeric::Generator&) {
    const SpeedClock clock = clock_slot().load();
    try {
        const Benchmark bench(op_name, op_impl, config, operator_category(op_name), clock);
        Dict evidence;

        const BenchmarkResult small =
            bench.run(config.speed_small_T, config.speed_small_N, config.speed_small_limit_s, "small");
        record_run(evidence, "small", small.elapsed, config.speed_small_limit_s, config.speed_small_T,
                   config.speed_small_N);
        if (!small.samples.empty()) {
            std::vector<double> sorted = small.samples;
            std::sort(sorted.begin(), sorted.end());
            const std::size_t count = sorted.size();
            const auto p99_index = std::min(static_cast<std::size_t>(static_cast<double>(count) * 0.99), count - 1);
            evidence.set("median_us", sorted[count / 2] * 1e6);
            evidence.set("p99_us", sorted[p99_index] * 1e6);
            evidence.set("throughput_per_sec", static_cast<double>(small.calls) / std::max(small.elapsed, 1e-9));
        }
        if (small.elapsed > config.speed_small_limit_s) {
            return CheckOutcome{CheckStatus::fail, too_slow("Small", small.elapsed, config.speed_small_limit_s),
                                std::move(evidence)};
        }

        const BenchmarkResult large =
            bench.run(config.speed_large_T, config.speed_large_N, config.speed_large_limit_s, "large");
        record_run(evidence, "large", large.elapsed, config.speed_large_limit_s, config.speed_large_T,
                   config.speed_large_N);
        if (large.elapsed > config.speed_large_limit_s) {
            return CheckOutcome{CheckStatus::fail, too_slow("Large", large.elapsed, config.speed_large_limit_s),
                                std::move(evidence)};
        }
        return CheckOutcome{CheckStatus::pass, "Speed benchmark passed", std::move(evidence)};
    } catch (const std::exception& e) {
        runtime::rethrow_if_fatal(e);
        const std::string text = runtime::error_text(e);
        return CheckOutcome{CheckStatus::fail, "Speed check error: " + text,
                            Dict{{"exception_type", runtime::error_kind(e)}, {"exception_msg", text}}};
    }
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
