#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/ingest_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/warnings.hpp"
#include "case_file.hpp"
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

// The fields a case sets: null clears an optional one, a number for mock_signals stands for that
// many mock signals.
void set_fields(FiltrationEvaluationConfig& c, const Dict& set) {
    for (const ConfigField& field : config_fields()) {
        const Value* v = set.find(field.name);
        if (v == nullptr) continue;
        visit_member(field.member, c, [&](auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, std::int64_t>) {
                m = v->as_int();
            } else if constexpr (std::is_same_v<T, double>) {
                m = v->to_double();
            } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
                m = v->is_none() ? T() : T(v->as_str());
            } else if constexpr (std::is_same_v<T, std::optional<std::int64_t>>) {
                m = v->is_none() ? T() : T(v->as_int());
            } else if constexpr (std::is_same_v<T, std::optional<std::vector<std::string>>>) {
                m = v->is_none() ? T() : T(test::strings(*v));
            } else if constexpr (std::is_same_v<T, std::optional<Dict>>) {
                m = v->is_none() ? T() : T(v->is_int() ? mock_signals(static_cast<int>(v->as_int())) : v->as_dict().deep_copy());
            } else {
                ADD_FAILURE() << "cannot set " << field.name;
            }
        });
    }
}

// tests/data/cases/config.jsonl. Each "fault" is applied together with every later one: the
// earliest still wins.
TEST_F(Validation, CasesFromTheTable) {
    const auto outcome = [&](FiltrationEvaluationConfig& c, bool with_store) -> std::string {
        try {
            detail::validate_and_ingest(c, with_store ? &store : nullptr);
            return "ok";
        } catch (const runtime::Exception& e) {
            return e.kind() + ": " + e.message();
        }
    };
    std::vector<test::Case> faults;
    for (const test::Case& c : test::read_cases("config.jsonl")) {
        if (c.has("fault")) {
            faults.push_back(c);
            continue;
        }
        FiltrationEvaluationConfig config = c.has("real") ? real_config({"sig_0"}) : mock_config();
        set_fields(config, c["set"].as_dict());
        EXPECT_EQ(outcome(config, true), c.str("error", "ok")) << c.where;
    }
    for (std::size_t first = 0; first < faults.size(); ++first) {
        FiltrationEvaluationConfig config = mock_config();
        bool with_store = true;
        for (std::size_t k = first; k < faults.size(); ++k) {
            set_fields(config, faults[k]["fault"].as_dict());
            with_store = with_store && !faults[k]["fault"].as_dict().contains("store");
        }
        EXPECT_EQ(outcome(config, with_store), faults[first].str("error")) << faults[first].where;
    }
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
