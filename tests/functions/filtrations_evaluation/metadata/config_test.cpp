#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/ingest_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/warnings.hpp"
#include "functions/filtrations_evaluation/acceptance/golden_pool.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::Dict;
using runtime::Value;
using test::key_texts;
using test::mock_signals;
namespace eu = evaluation_utils;
using Ids = std::vector<std::string>;

const std::string kMissingTail =
    "]. Populate signal_service metadata before running filtration evaluation in mode='real'.";

class Validation : public ::testing::Test {
protected:
    static FiltrationEvaluationConfig mock_config(int n = 10) {
        FiltrationEvaluationConfig c;
        c.mode = "mock";
        c.mock_signals = mock_signals(n);
        return c;
    }
    FiltrationEvaluationConfig real_config(Ids ids) {
        FiltrationEvaluationConfig c;
        c.mode = "real";
        c.signal_ids = std::move(ids);
        c.market_id = 7;
        c.era_number = 3;
        return c;
    }
    std::string failure(FiltrationEvaluationConfig& c, bool with_store = true) {
        return test::message_of<runtime::ValueError>(
            [&] { detail::validate_and_ingest(c, with_store ? &store : nullptr); });
    }
    // A query that records its calls and answers from `available`.
    void SetUp() override {
        eu::set_signal_metadata_query([this](const Ids& ids, std::int64_t market, std::int64_t era) {
            calls.push_back(ids);
            EXPECT_EQ(market, 7);
            EXPECT_EQ(era, 3);
            return available.copy();
        });
    }

    registry_and_store::FunctionStore store;
    std::vector<Ids> calls;
    Dict available = mock_signals(12);

private:
};

// Each fault applied together with every later one: the earliest still wins.
TEST_F(Validation, FirstFailureWins) {
    using Fault = std::function<void(FiltrationEvaluationConfig&, bool&)>;
    const std::vector<std::pair<Fault, std::string>> faults = {
        {[](auto& c, bool&) { c.N_signals = 5; }, "N_signals must be >= 10, got 5."},
        {[](auto& c, bool&) { c.T = 0; }, "T must be >= 1, got 0."},
        {[](auto& c, bool&) { c.N_alloc = -3; }, "N_alloc must be >= 1, got -3."},
        {[](auto& c, bool&) { c.N_trials = 9; }, "N_trials must be >= 10, got 9."},
        {[](auto& c, bool&) { c.bias_tolerance = 1.0; }, "bias_tolerance must be in (0.0, 1.0), got 1.0."},
        {[](auto&, bool& with_store) { with_store = false; }, "store (FunctionStore) is required."},
        {[](auto& c, bool&) { c.mode = "Mock"; }, "mode must be 'mock' or 'real', got 'Mock'."},
        {[](auto& c, bool&) { c.mock_signals = mock_signals(9); }, "N_signals must be >= 10, got 9."},
        {[](auto& c, bool&) { c.speed_small_T = 0; }, "speed_small_T must be >= 1, got 0."},
        {[](auto& c, bool&) { c.speed_small_N = 0; }, "speed_small_N must be >= 1, got 0."},
        {[](auto& c, bool&) { c.speed_small_limit_s = 0; }, "speed_small_limit_s must be > 0, got 0.0."},
        {[](auto& c, bool&) { c.speed_large_T = -1; }, "speed_large_T must be >= 1, got -1."},
        {[](auto& c, bool&) { c.speed_large_N = 0; }, "speed_large_N must be >= 1, got 0."},
        {[](auto& c, bool&) { c.speed_large_limit_s = -0.5; }, "speed_large_limit_s must be > 0, got -0.5."},
    };
    for (std::size_t first = 0; first < faults.size(); ++first) {
        FiltrationEvaluationConfig c = mock_config();
        bool with_store = true;
        for (std::size_t k = first; k < faults.size(); ++k) faults[k].first(c, with_store);
        EXPECT_EQ(failure(c, with_store), faults[first].second) << "fault " << first;
    }
    // The boundary values pass.
    FiltrationEvaluationConfig edge = mock_config();
    edge.bias_tolerance = 0.999;
    edge.speed_small_limit_s = edge.speed_large_limit_s = 0.001;
    edge.N_trials = 10;
    edge.T = edge.N_alloc = edge.speed_small_T = edge.speed_small_N = edge.speed_large_T = edge.speed_large_N = 1;
    EXPECT_NO_THROW(detail::validate_and_ingest(edge, &store));
}

TEST_F(Validation, ModeAndInputMessages) {
    const auto message = [&](std::function<void(FiltrationEvaluationConfig&)> change, bool real = false) {
        FiltrationEvaluationConfig c = real ? real_config({"sig_0"}) : mock_config();
        change(c);
        return failure(c);
    };
    EXPECT_EQ(message([](auto& c) { c.mode.reset(); }), "mode is required. Use 'mock' or 'real'.");
    EXPECT_EQ(message([](auto& c) { c.mock_signals.reset(); }),
              "mock_signals is required when mode='mock'. Provide a Dict[str, Dict[str, Any]] with signal metadata.");
    EXPECT_EQ(message([](auto& c) { c.mock_signals = Dict{}; }),
              "mock_signals dict is empty. Provide at least one signal with metadata.");
    EXPECT_EQ(message([](auto& c) { c.mock_signals = mock_signals(10); }, true),
              "mock_signals is only valid when mode='mock'; real-mode filtration evaluation requires signal_ids "
              "backed by DB metadata.");
    EXPECT_EQ(message([](auto& c) { c.signal_ids.reset(); }, true),
              "signal_ids is required when mode='real'. Provide a List[str] of signal IDs.");
    EXPECT_EQ(message([](auto& c) { c.market_id.reset(), c.era_number.reset(); }, true),
              "market_id is required when mode='real'. Pass the runtime market identity before filtration ingestion.");
    EXPECT_EQ(message([](auto& c) { c.era_number.reset(); }, true),
              "era_number is required when mode='real'. Pass the runtime era identity before filtration ingestion.");
    FiltrationEvaluationConfig listy = mock_config();
    listy.mock_signals->set(Value("sig_list"), Value::list({1, 2}));
    EXPECT_EQ(test::message_of<runtime::AttributeError>([&] { detail::validate_and_ingest(listy, &store); }),
              "'list' object has no attribute 'keys'");
}

TEST_F(Validation, CountComesFromTheIngestedData) {
    // A rejected count leaves the configuration as it was: nothing is ingested.
    FiltrationEvaluationConfig early = mock_config(12);
    early.N_signals = 5;
    EXPECT_EQ(failure(early), "N_signals must be >= 10, got 5.");
    EXPECT_FALSE(early.signal_metadata.has_value());
    // A bad speed parameter is reported after ingestion has written its outcome.
    FiltrationEvaluationConfig late = mock_config(11);
    late.N_signals = 500;
    late.speed_large_N = 0;
    EXPECT_EQ(failure(late), "speed_large_N must be >= 1, got 0.");
    EXPECT_EQ(late.N_signals, 11);
    EXPECT_EQ(late.signal_metadata->size(), 11u);

    // The ingested metadata is a copy: changing it leaves the caller's mock data as given.
    FiltrationEvaluationConfig c = mock_config();
    runtime::WarningCollector collector;
    detail::validate_and_ingest(c, &store);
    EXPECT_TRUE(collector.warnings().empty());
    EXPECT_EQ(key_texts(*c.signal_metadata), key_texts(*c.mock_signals));
    Value ingested = c.signal_metadata->at(Value("sig_0"));
    ingested.as_dict().at("rotation_families_used").as_list().push_back("carry");
    EXPECT_EQ(*c.mock_signals, mock_signals(10));
}

TEST_F(Validation, OneSortedWarningPerIncompleteSignal) {
    FiltrationEvaluationConfig c = mock_config();
    Dict partial = mock_signals(1).at(Value("sig_0")).as_dict().deep_copy();
    partial.pop(Value("signal_category"));
    partial.pop(Value("is_turnover"));
    c.mock_signals->set(Value("sig_partial"), Value(partial));
    c.mock_signals->set(Value("it's"), Value(Dict{}));
    runtime::WarningCollector collector;
    detail::validate_and_ingest(c, &store);
    EXPECT_EQ(c.N_signals, 12);
    const std::string tail = ". Operators referencing these fields will be represented as NaN in mock-only evaluation.";
    ASSERT_EQ(collector.warnings().size(), 2u);
    EXPECT_EQ(collector.warnings()[0].message,
              "Signal 'sig_partial' metadata missing fields: is_turnover, signal_category" + tail);
    EXPECT_EQ(collector.warnings()[1].message,
              "Signal 'it's' metadata missing fields: expression_complexity, is_active, is_returns, is_sharpe, "
              "is_turnover, rotation_families_used, signal_category, submission_date" +
                  tail);
    EXPECT_EQ(collector.warnings()[1].category, "UserWarning");
    EXPECT_EQ(collector.warnings()[1].stacklevel, 2);

    // A host that turns warnings into errors still finds the ingested outcome.
    FiltrationEvaluationConfig strict_config = mock_config();
    strict_config.mock_signals->set(Value("sig_bare"), Value(Dict{{"is_sharpe", 1.0}}));
    runtime::WarningsAsErrors strict;
    EXPECT_THROW(detail::validate_and_ingest(strict_config, &store), runtime::UserWarning);
    EXPECT_EQ(strict_config.N_signals, 11);
    EXPECT_EQ(strict_config.signal_metadata->size(), 11u);
}

TEST_F(Validation, RealModeIngestsInRequestOrderOrFailsClosed) {
    Ids ids;
    for (int i = 11; i >= 0; --i) ids.push_back("sig_" + std::to_string(i));
    ids.push_back("sig_4");
    FiltrationEvaluationConfig c = real_config(ids);
    detail::validate_and_ingest(c, &store);
    EXPECT_EQ(calls, std::vector<Ids>{ids});
    EXPECT_EQ(c.N_signals, 12);
    EXPECT_EQ(key_texts(*c.signal_metadata), Ids(ids.begin(), ids.end() - 1));  // repeats stored once
    EXPECT_FALSE(c.signal_metadata->at(Value("sig_3")).is(available.at(Value("sig_3"))));

    // Missing signals are named in request order; the configuration stays untouched.
    FiltrationEvaluationConfig missing = real_config({"sig_0", "zeta", "sig_1", "alpha", "zeta"});
    missing.signal_metadata = Dict{{"previous", Dict{}}};
    EXPECT_EQ(failure(missing), "Real-mode signal metadata missing for signal_ids: ['zeta', 'alpha', 'zeta'" + kMissingTail);
    EXPECT_EQ(key_texts(*missing.signal_metadata), Ids{"previous"});
    EXPECT_EQ(missing.N_signals, 0);

    available.at(Value("sig_2")).as_dict().pop(Value("is_turnover"));
    available.at(Value("sig_5")).as_dict().pop(Value("signal_category"));
    available.at(Value("sig_5")).as_dict().pop(Value("is_active"));
    FiltrationEvaluationConfig incomplete = real_config(ids);
    EXPECT_EQ(failure(incomplete),
              "Real-mode signal metadata is incomplete: {'sig_5': ['is_active', 'signal_category'], 'sig_2': "
              "['is_turnover']}. Missing fields must be backfilled; real evaluation will not use NaN metadata defaults.");
    EXPECT_FALSE(incomplete.signal_metadata.has_value());

    // No identifiers: the query runs, nothing is ingested, the count check fails.
    FiltrationEvaluationConfig empty = real_config({});
    EXPECT_EQ(failure(empty), "N_signals must be >= 10, got 0.");
    EXPECT_TRUE(empty.signal_metadata->empty());
    available.set(Value("odd"), Value(3));
    FiltrationEvaluationConfig odd = real_config({"odd"});
    EXPECT_THROW(detail::validate_and_ingest(odd, &store), runtime::TypeError);
    EXPECT_FALSE(odd.signal_metadata.has_value());
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
