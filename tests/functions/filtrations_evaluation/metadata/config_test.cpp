#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/warnings.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::Dict;
using runtime::Value;
namespace eu = evaluation_utils;

constexpr const char* kNaNTail =
    ". Operators referencing these fields will be represented as NaN in mock-only evaluation.";

template <class E>
std::string error_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.message();
    }
    ADD_FAILURE() << "expected an error";
    return {};
}

// A metadata dict carrying all eight expected fields.
Dict full_metadata(double sharpe) {
    return Dict{{"is_sharpe", sharpe},
                {"is_returns", 0.1},
                {"is_turnover", 0.2},
                {"rotation_families_used", Value::list({"momentum", "value"})},
                {"expression_complexity", 3},
                {"submission_date", 1.7e9},
                {"is_active", true},
                {"signal_category", "alpha"}};
}

std::string signal_id(int i) { return "sig_" + std::to_string(100 + i); }

Dict mock_signals(int n) {
    Dict signals;
    for (int i = 0; i < n; ++i) signals.set(Value(signal_id(i)), Value(full_metadata(0.1 * i)));
    return signals;
}

std::vector<std::string> key_texts(const Dict& d) {
    std::vector<std::string> out;
    for (const auto& [k, v] : d) out.push_back(runtime::str(k));
    return out;
}

class Validation : public ::testing::Test {
protected:
    FiltrationEvaluationConfig mock_config(int n = 10) {
        FiltrationEvaluationConfig c;
        c.mode = "mock";
        c.mock_signals = mock_signals(n);
        return c;
    }

    std::string failure(FiltrationEvaluationConfig& c, bool with_store = true) {
        return error_message<runtime::ValueError>(
            [&] { detail::validate_and_ingest(c, with_store ? &store : nullptr); });
    }

    registry_and_store::FunctionStore store;
};

// Each fault applied together with every later one: the earliest still wins.
TEST_F(Validation, FirstFailureWins) {
    struct Fault {
        std::function<void(FiltrationEvaluationConfig&, bool&)> apply;
        std::string message;
    };
    const std::vector<Fault> faults = {
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
        {[](auto& c, bool&) { c.speed_large_limit_s = -0.5; },
         "speed_large_limit_s must be > 0, got -0.5."},
    };
    for (std::size_t first = 0; first < faults.size(); ++first) {
        FiltrationEvaluationConfig c = mock_config();
        bool with_store = true;
        for (std::size_t k = first; k < faults.size(); ++k) faults[k].apply(c, with_store);
        EXPECT_EQ(failure(c, with_store), faults[first].message) << "fault " << first;
    }
}

TEST_F(Validation, ModeAndMockInputMessages) {
    FiltrationEvaluationConfig c = mock_config();
    c.mode.reset();
    c.mock_signals.reset();
    EXPECT_EQ(failure(c), "mode is required. Use 'mock' or 'real'.");

    c.mode = "mock";
    EXPECT_EQ(failure(c),
              "mock_signals is required when mode='mock'. Provide a Dict[str, Dict[str, Any]] with "
              "signal metadata.");

    c.mock_signals = Dict{};
    c.speed_small_T = 0;
    EXPECT_EQ(failure(c), "mock_signals dict is empty. Provide at least one signal with metadata.");
    EXPECT_FALSE(c.signal_metadata.has_value());

    c = mock_config();
    c.bias_tolerance = 0.0;
    EXPECT_EQ(failure(c), "bias_tolerance must be in (0.0, 1.0), got 0.0.");
}

TEST_F(Validation, BoundaryValuesPass) {
    FiltrationEvaluationConfig c = mock_config();
    c.bias_tolerance = 0.999;
    c.speed_small_limit_s = 0.001;
    c.speed_large_limit_s = 0.001;
    c.N_trials = 10;
    c.T = 1;
    c.N_alloc = 1;
    c.speed_small_T = c.speed_small_N = c.speed_large_T = c.speed_large_N = 1;
    EXPECT_NO_THROW(detail::validate_and_ingest(c, &store));
}

TEST_F(Validation, SignalCountComesFromTheData) {
    FiltrationEvaluationConfig c = mock_config(12);
    c.N_signals = 500;
    detail::validate_and_ingest(c, &store);
    EXPECT_EQ(c.N_signals, 12);

    // A rejected count leaves the configuration as it was: nothing is ingested.
    FiltrationEvaluationConfig early = mock_config(12);
    early.N_signals = 5;
    EXPECT_EQ(failure(early), "N_signals must be >= 10, got 5.");
    EXPECT_FALSE(early.signal_metadata.has_value());
    EXPECT_EQ(early.N_signals, 5);

    // A bad speed parameter is reported after ingestion has written its outcome.
    FiltrationEvaluationConfig late = mock_config(11);
    late.speed_large_N = 0;
    EXPECT_EQ(failure(late), "speed_large_N must be >= 1, got 0.");
    EXPECT_EQ(late.N_signals, 11);
    ASSERT_TRUE(late.signal_metadata.has_value());
    EXPECT_EQ(late.signal_metadata->size(), 11u);
}

TEST_F(Validation, CompleteMockSignalsIngestWithoutWarnings) {
    FiltrationEvaluationConfig c = mock_config(10);
    runtime::WarningCollector collector;
    detail::validate_and_ingest(c, &store);
    EXPECT_TRUE(collector.warnings().empty());
    EXPECT_EQ(c.N_signals, 10);
    ASSERT_TRUE(c.signal_metadata.has_value());
    EXPECT_EQ(*c.signal_metadata, *c.mock_signals);
    EXPECT_EQ(key_texts(*c.signal_metadata), key_texts(*c.mock_signals));

    // The ingested metadata is a copy: changing it leaves the caller's mock data as given.
    const Value& ingested = c.signal_metadata->at(Value(signal_id(0)));
    EXPECT_FALSE(ingested.is(c.mock_signals->at(Value(signal_id(0)))));
    ingested.as_dict().set("is_sharpe", 99.0);
    ingested.as_dict().at("rotation_families_used").as_list().push_back("carry");
    EXPECT_EQ(c.mock_signals->at(Value(signal_id(0))), Value(full_metadata(0.0)));
}

TEST_F(Validation, OneSortedWarningPerIncompleteSignal) {
    FiltrationEvaluationConfig c = mock_config(10);
    Dict partial = full_metadata(1.0);
    partial.pop(Value("signal_category"));
    partial.pop(Value("is_turnover"));
    c.mock_signals->set(Value("sig_partial"), Value(partial));
    c.mock_signals->set(Value("sig_empty"), Value(Dict{}));
    Dict date_only = full_metadata(2.0);
    date_only.pop(Value("submission_date"));
    c.mock_signals->set(Value("it's"), Value(date_only));

    runtime::WarningCollector collector;
    detail::validate_and_ingest(c, &store);
    EXPECT_EQ(c.N_signals, 13);
    const auto& warnings = collector.warnings();
    ASSERT_EQ(warnings.size(), 3u);
    EXPECT_EQ(warnings[0].message,
              std::string("Signal 'sig_partial' metadata missing fields: is_turnover, signal_category") +
                  kNaNTail);
    EXPECT_EQ(warnings[1].message,
              std::string("Signal 'sig_empty' metadata missing fields: expression_complexity, "
                          "is_active, is_returns, is_sharpe, is_turnover, rotation_families_used, "
                          "signal_category, submission_date") +
                  kNaNTail);
    EXPECT_EQ(warnings[2].message,
              std::string("Signal 'it's' metadata missing fields: submission_date") + kNaNTail);
    for (const auto& w : warnings) {
        EXPECT_EQ(w.category, "UserWarning");
        EXPECT_EQ(w.stacklevel, 2);
    }
}

TEST_F(Validation, WarningsAsErrorsLeaveTheIngestedOutcome) {
    FiltrationEvaluationConfig c = mock_config(10);
    c.mock_signals->set(Value("sig_bare"), Value(Dict{{"is_sharpe", 1.0}}));
    runtime::WarningsAsErrors strict;
    EXPECT_THROW(detail::validate_and_ingest(c, &store), runtime::UserWarning);
    EXPECT_EQ(c.N_signals, 11);
    ASSERT_TRUE(c.signal_metadata.has_value());
    EXPECT_EQ(c.signal_metadata->size(), 11u);
}

TEST_F(Validation, NonMappingMockMetadataRaises) {
    FiltrationEvaluationConfig c = mock_config(10);
    c.mock_signals->set(Value("sig_list"), Value::list({1, 2}));
    EXPECT_EQ(error_message<runtime::AttributeError>([&] { detail::validate_and_ingest(c, &store); }),
              "'list' object has no attribute 'keys'");
}

// Installs a query for the life of a test and records its calls.
class RealMode : public Validation {
protected:
    void SetUp() override {
        previous_ = eu::set_signal_metadata_query(
            [this](const std::vector<std::string>& ids, std::int64_t market, std::int64_t era) {
                calls.push_back({ids, market, era});
                if (fail_with) fail_with();
                Dict out;
                for (const auto& [k, v] : available) out.set(k, v);
                return out;
            });
    }
    void TearDown() override { eu::set_signal_metadata_query(previous_); }

    FiltrationEvaluationConfig real_config(std::vector<std::string> ids) {
        FiltrationEvaluationConfig c;
        c.mode = "real";
        c.signal_ids = std::move(ids);
        c.market_id = 7;
        c.era_number = 3;
        return c;
    }

    void offer(int n) {
        for (int i = 0; i < n; ++i) available.set(Value(signal_id(i)), Value(full_metadata(0.5)));
    }

    struct Call {
        std::vector<std::string> ids;
        std::int64_t market;
        std::int64_t era;
    };
    std::vector<Call> calls;
    Dict available;
    std::function<void()> fail_with;

private:
    eu::SignalMetadataQuery previous_;
};

TEST_F(RealMode, IngestsInRequestOrderAndStoresRepeatsOnce) {
    offer(12);
    std::vector<std::string> ids;
    for (int i = 11; i >= 0; --i) ids.push_back(signal_id(i));
    ids.push_back(signal_id(4));
    FiltrationEvaluationConfig c = real_config(ids);
    c.N_signals = 500;
    detail::validate_and_ingest(c, &store);

    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].ids, ids);
    EXPECT_EQ(calls[0].market, 7);
    EXPECT_EQ(calls[0].era, 3);
    EXPECT_EQ(c.N_signals, 12);
    ASSERT_TRUE(c.signal_metadata.has_value());
    EXPECT_EQ(key_texts(*c.signal_metadata), (std::vector<std::string>(ids.begin(), ids.end() - 1)));
    const Value& stored = c.signal_metadata->at(Value(signal_id(3)));
    EXPECT_EQ(stored, available.at(Value(signal_id(3))));
    EXPECT_FALSE(stored.is(available.at(Value(signal_id(3)))));
}

TEST_F(RealMode, MissingSignalsAreNamedInRequestOrder) {
    offer(12);
    FiltrationEvaluationConfig c = real_config(
        {signal_id(0), "zeta", signal_id(1), "alpha", "zeta", signal_id(2)});
    c.signal_metadata = Dict{{"previous", Dict{}}};
    c.N_signals = 0;
    EXPECT_EQ(failure(c),
              "Real-mode signal metadata missing for signal_ids: ['zeta', 'alpha', 'zeta']. "
              "Populate signal_service metadata before running filtration evaluation in "
              "mode='real'.");
    EXPECT_EQ(key_texts(*c.signal_metadata), (std::vector<std::string>{"previous"}));
    EXPECT_EQ(c.N_signals, 0);
}

TEST_F(RealMode, IncompleteMetadataFailsClosed) {
    offer(12);
    Dict no_turnover = full_metadata(1.0);
    no_turnover.pop(Value("is_turnover"));
    Dict two_missing = full_metadata(1.0);
    two_missing.pop(Value("signal_category"));
    two_missing.pop(Value("is_active"));
    available.set(Value("c"), Value(two_missing));
    available.set(Value("a"), Value(no_turnover));
    std::vector<std::string> ids = {"c", signal_id(0), "a", "c"};
    for (int i = 1; i < 12; ++i) ids.push_back(signal_id(i));
    FiltrationEvaluationConfig c = real_config(ids);
    EXPECT_EQ(failure(c),
              "Real-mode signal metadata is incomplete: {'c': ['is_active', 'signal_category'], "
              "'a': ['is_turnover']}. Missing fields must be backfilled; real evaluation will not use "
              "NaN metadata defaults.");
    EXPECT_FALSE(c.signal_metadata.has_value());
    EXPECT_EQ(c.N_signals, 0);
}

TEST_F(RealMode, InputChecksAndQueryErrors) {
    offer(12);
    FiltrationEvaluationConfig with_mock = real_config({signal_id(0)});
    with_mock.mock_signals = mock_signals(10);
    EXPECT_EQ(failure(with_mock),
              "mock_signals is only valid when mode='mock'; real-mode filtration evaluation "
              "requires signal_ids backed by DB metadata.");

    FiltrationEvaluationConfig no_ids = real_config({});
    no_ids.signal_ids.reset();
    EXPECT_EQ(failure(no_ids),
              "signal_ids is required when mode='real'. Provide a List[str] of signal IDs.");

    FiltrationEvaluationConfig no_market = real_config({signal_id(0)});
    no_market.market_id.reset();
    no_market.era_number.reset();
    EXPECT_EQ(failure(no_market),
              "market_id is required when mode='real'. Pass the runtime market identity before "
              "filtration ingestion.");
    FiltrationEvaluationConfig no_era = real_config({signal_id(0)});
    no_era.era_number.reset();
    EXPECT_EQ(failure(no_era),
              "era_number is required when mode='real'. Pass the runtime era identity before "
              "filtration ingestion.");
    EXPECT_TRUE(calls.empty());

    // No identifiers: the query runs, nothing is ingested, the count check fails.
    FiltrationEvaluationConfig empty = real_config({});
    EXPECT_EQ(failure(empty), "N_signals must be >= 10, got 0.");
    EXPECT_EQ(calls.size(), 1u);
    ASSERT_TRUE(empty.signal_metadata.has_value());
    EXPECT_TRUE(empty.signal_metadata->empty());

    struct StoreDown : std::exception {};
    fail_with = [] { throw StoreDown(); };
    FiltrationEvaluationConfig down = real_config({signal_id(0)});
    EXPECT_THROW(detail::validate_and_ingest(down, &store), StoreDown);
    EXPECT_FALSE(down.signal_metadata.has_value());

    fail_with = nullptr;
    available.set(Value("odd"), Value(3));
    FiltrationEvaluationConfig odd = real_config({"odd"});
    EXPECT_THROW(detail::validate_and_ingest(odd, &store), runtime::TypeError);
    EXPECT_FALSE(odd.signal_metadata.has_value());
}

TEST(RealModeStore, DefaultQueryNeedsAConfiguredStore) {
    const auto previous_query = eu::set_signal_metadata_query({});
    const auto previous_path = eu::configured_signal_metadata_store();
    eu::configure_signal_metadata_store(std::nullopt);
    FiltrationEvaluationConfig c;
    c.mode = "real";
    c.signal_ids = std::vector<std::string>{"a"};
    c.market_id = 1;
    c.era_number = 1;
    registry_and_store::FunctionStore store;
    EXPECT_EQ(error_message<runtime::RuntimeError>([&] { detail::validate_and_ingest(c, &store); }),
              "signal metadata store is not configured");
    eu::configure_signal_metadata_store(previous_path);
    eu::set_signal_metadata_query(previous_query);
}

TEST(RealModeStore, IngestsFromASqliteStore) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "brindlecap_ingest_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string db = pattern + "/signals.db";
    eu::create_signal_metadata_db(db);
    eu::import_signal_metadata(db, mock_signals(10), 2, 5);
    eu::import_signal_metadata(db, mock_signals(12), 2, 6);

    const auto previous_query = eu::set_signal_metadata_query({});
    const auto previous_path = eu::configured_signal_metadata_store();
    eu::configure_signal_metadata_store(db);
    FiltrationEvaluationConfig c;
    c.mode = "real";
    c.signal_ids = std::vector<std::string>{};
    for (int i = 0; i < 10; ++i) c.signal_ids->push_back(signal_id(i));
    c.market_id = 2;
    c.era_number = 5;
    registry_and_store::FunctionStore store;
    detail::validate_and_ingest(c, &store);
    EXPECT_EQ(c.N_signals, 10);
    EXPECT_EQ(*c.signal_metadata, mock_signals(10));

    c.signal_ids->push_back(signal_id(11));
    EXPECT_EQ(error_message<runtime::ValueError>([&] { detail::validate_and_ingest(c, &store); }),
              "Real-mode signal metadata missing for signal_ids: ['sig_111']. Populate "
              "signal_service metadata before running filtration evaluation in mode='real'.");
    EXPECT_EQ(c.N_signals, 10);

    eu::configure_signal_metadata_store(previous_path);
    eu::set_signal_metadata_query(previous_query);
    std::filesystem::remove_all(pattern);
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
