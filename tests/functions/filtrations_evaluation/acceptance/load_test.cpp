// Many acceptance runs in one process: every run gives the recorded outcomes (timings aside) and
// the heap in use does not grow from run to run.

#include <malloc.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/acceptance/evaluate.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/text.hpp"
#include "functions/filtrations_evaluation/acceptance/golden_pool.hpp"
#include "functions/filtrations_evaluation/acceptance/outcome_fingerprint.hpp"

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace rs = brindlecap::functions::registry_and_store;
using brindlecap::runtime::Dict;
using brindlecap::runtime::Value;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizer runtimes keep their own heap (and LeakSanitizer covers leaks there); a few runs still
// compare outcomes.
constexpr int kRuns = 12;
constexpr bool kHeapMeasurable = false;
#else
constexpr int kRuns = 100;
constexpr bool kHeapMeasurable = true;
#endif

// Bytes of live heap allocations (all arenas, mmapped chunks included).
std::size_t heap_in_use() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

fe::FiltrationEvaluationConfig load_config() {
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.seed = 11;
    c.T = 8;
    c.N_alloc = 4;
    c.N_trials = 10;
    c.speed_small_T = 10;
    c.speed_small_N = 20;
    c.speed_large_T = 10;
    c.speed_large_N = 40;
    c.mock_signals = brindlecap::test::mock_signals(24);
    return c;
}

// Every verdict, detail and evidence of the sixteen built-ins' run, one line each, as recorded in
// tests/data/load_run_outcomes.txt (BRINDLECAP_WRITE_OUTCOMES=1 rewrites it after a deliberate
// change of output).
std::vector<std::string> recorded_outcomes(const std::vector<std::string>& outcomes) {
    const std::string file = std::string(BRINDLECAP_TEST_DATA_DIR) + "/load_run_outcomes.txt";
    if (std::getenv("BRINDLECAP_WRITE_OUTCOMES") != nullptr) {
        std::ofstream out(file, std::ios::binary);
        for (const std::string& line : outcomes) out << line << '\n';
    }
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(PipelineLoad, RepeatedRunsGiveTheSameOutcomesWithFlatMemory) {
    const rs::FunctionStore store = rs::build_default_store();
    std::vector<std::string> first;
    std::size_t heap_after_10 = 0;
    for (int run = 1; run <= kRuns; ++run) {
        {
            fe::FiltrationEvaluationConfig config = load_config();
            const fe::FiltrationEvaluationResult result = fe::evaluate(config, std::nullopt, store);
            const std::vector<std::string> outcomes = brindlecap::test::outcome_fingerprint(result);
            if (run == 1) {
                first = outcomes;
                ASSERT_EQ(result.operator_results.size(), 16U);
                const std::vector<std::string> recorded = recorded_outcomes(outcomes);
                ASSERT_EQ(outcomes.size(), recorded.size());
                for (std::size_t i = 0; i < outcomes.size(); ++i) EXPECT_EQ(outcomes[i], recorded[i]);
            } else {
                ASSERT_EQ(outcomes, first) << "run " << run;
            }
        }
        if (run == 10) heap_after_10 = heap_in_use();
    }
    if (!kHeapMeasurable) return;
    const std::size_t heap_after_last = heap_in_use();
    // A leak of a few kilobytes per run would show as megabytes here; allocator noise is far less.
    const std::size_t bound = 256 * 1024;
    EXPECT_LE(heap_after_last, heap_after_10 + bound)
        << "heap in use grew from " << heap_after_10 << " to " << heap_after_last << " bytes over " << kRuns - 10
        << " runs";
}
