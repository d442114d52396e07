#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
using ::testing::ElementsAre;

const char* const kLeaked = "{'nan_test_000', 'nan_test_001', 'nan_test_002'}";

std::vector<std::string> nan_ids() { return {"nan_test_000", "nan_test_001", "nan_test_002"}; }

// neq as the complement of the equal values over the pool keys: NaN signals end up in it.
fe::Operator complement_neq() {
    return fe::field_operator("neq", [](const fe::PreparedField& prepared, const Dict& params) {
        IdSet out = prepared.pool_keys;
        const Value& target = params.at(Value("value"));
        for (const auto& pv : prepared.values) {
            if (*pv.value == target) out.erase(pv.id);
        }
        return fe::OperatorResult(std::move(out));
    });
}

struct Probe {
    std::string field;
    Dict params;
    std::vector<std::string> ids;  // identifiers handed over in prepared.values
};

// Records every field-leaf call and selects nothing.
fe::Operator recorder(const std::string& name, std::vector<Probe>& calls) {
    return fe::field_operator(name, [&calls](const fe::PreparedField& prepared, const Dict& params) {
        Probe p{prepared.field_name, params.copy(), {}};
        for (const auto& pv : prepared.values) p.ids.emplace_back(pv.id);
        calls.push_back(std::move(p));
        return fe::OperatorResult(IdSet::over(prepared.pool_keys.universe()));
    });
}

TEST(NanCheck, ProbesEveryFieldTypeOfTheOperator) {
    auto config = demo_config();
    auto rng = fd::make_rng(8);
    std::vector<Probe> calls;
    const fe::CheckOutcome eq = fd::run_check_4_nan("eq", recorder("eq", calls), config, rng);
    EXPECT_EQ(verdict(eq), "pass: NaN correctly excluded for 4 field types");
    ASSERT_EQ(calls.size(), 4U);
    std::string params;
    for (const Probe& c : calls) params += rt::repr(Value(c.params)) + " ";
    EXPECT_EQ(params, "{'field': 'is_active', 'value': True} {'field': 'signal_category', 'value': 'momentum'} "
                      "{'field': 'submission_date', 'value': 0.0} {'field': 'is_sharpe', 'value': 0.0} ");
    // Every signal reaches a boolean field; NaN signals are gone from numeric ones.
    EXPECT_EQ(calls[0].ids.size(), 10U);
    EXPECT_THAT(calls[3].ids, ElementsAre("nan_test_003", "nan_test_004", "nan_test_005", "nan_test_006",
                                          "nan_test_007", "nan_test_008", "nan_test_009"));

    calls.clear();
    const fe::CheckOutcome in = fd::run_check_4_nan("in_", recorder("in_", calls), config, rng);
    EXPECT_EQ(in.details, "NaN correctly excluded for 2 field types");
    EXPECT_THAT(strings_of(in.evidence.get("field_types_tested")), ElementsAre("categorical", "list_str"));
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(calls[0].params, (Dict{{"field", "signal_category"}, {"values", Value::list({"momentum"})}}));
    EXPECT_EQ(calls[1].params, (Dict{{"field", "rotation_families_used"}, {"values", Value::list({"numerical"})}}));
}

TEST(NanCheck, ComplementOperatorLeaksNanSignals) {
    const fe::CheckOutcome out = run_seeded(fd::run_check_4_nan, "neq", complement_neq(), 8);
    EXPECT_EQ(verdict(out),
              "fail: NaN leaked for date: " + std::string(kLeaked) + "; NaN leaked for numeric: " + kLeaked);
    EXPECT_EQ(strings_of(out.evidence.get("nan_leaked")), nan_ids());
}

TEST(NanCheck, PerTypeErrorsAndEmptyFiltration) {
    auto op = fe::field_operator("eq", [](const fe::PreparedField& prepared, const Dict&) -> fe::OperatorResult {
        if (prepared.field_type == fe::FieldType::boolean) throw rt::ValueError("no booleans");
        if (prepared.field_type == fe::FieldType::categorical) throw fe::EmptyFiltrationError("nothing left");
        return IdSet::over(prepared.pool_keys.universe());
    });
    const fe::CheckOutcome out = run_seeded(fd::run_check_4_nan, "eq", op, 8);
    EXPECT_EQ(verdict(out),
              "fail: Error testing boolean: no booleans; EmptyFiltrationError for categorical (correct for all-NaN); "
              "NaN correctly excluded for 3 field types");
    EXPECT_THAT(strings_of(out.evidence.get("errors")), ElementsAre("boolean: ValueError: no booleans"));
}

TEST(NanCheck, UnknownOperatorProbe) {
    const auto ignores_params = fe::field_operator("x", [](const fe::PreparedField& prepared, const Dict&) {
        return fe::OperatorResult(prepared.pool_keys);
    });
    // "not above the threshold", built over the pool keys: the NaN signals pass with 0.0.
    const auto leaky = fe::field_operator("x", [](const fe::PreparedField& prepared, const Dict& params) {
        IdSet out = prepared.pool_keys;
        for (const auto& pv : prepared.values) {
            if (pv.value->to_double() > params.at(Value("value")).to_double()) out.erase(pv.id);
        }
        return fe::OperatorResult(std::move(out));
    });
    const std::vector<std::tuple<fe::Operator, const char*, std::string>> cases = {
        {ignores_params, "pass", "Unknown operator does not use comparison params; NaN check skipped"},
        {leaky, "fail", std::string("NaN signals leaked: ") + kLeaked},
        {builtin("gt"), "pass", "NaN correctly excluded (unknown operator)"},
        {raising_leaf("x", fe::EmptyFiltrationError("0 signals")), "pass",
         "EmptyFiltrationError raised (correct for all-NaN)"},
        {raising_leaf("x", rt::TypeError("bad probe")), "fail", "Error: bad probe"},
    };
    for (const auto& [op, status, details] : cases) {
        EXPECT_EQ(verdict(run_seeded(fd::run_check_4_nan, "my_op", op, 8)), status + (": " + details));
    }
}

TEST(NanCheck, CombinatorsRunOnNanFreeChildren) {
    auto config = demo_config();
    auto rng = fd::make_rng(8);
    const std::string through = "Boolean/wrapper: NaN handling verified through children";

    // What each combinator receives: and_ (all, non-NaN), or_ (non-NaN, empty), not_ (non-NaN).
    std::vector<std::vector<IdSet>> seen;
    auto returns_all = [&seen](const IdSet& keys, const Dict&, const std::vector<IdSet>& children) {
        seen.push_back(children);
        return fe::OperatorResult(keys);
    };
    IdSet all_ids;
    for (int i = 0; i < 10; ++i) all_ids.insert("nan_test_00" + std::to_string(i));
    IdSet non_nan = all_ids;
    for (const auto& id : nan_ids()) non_nan.erase(id);

    const fe::CheckOutcome and_out = fd::run_check_4_nan("and_", fe::combinator_operator("and_", returns_all), config, rng);
    EXPECT_EQ(verdict(and_out), "fail: NaN propagation error: ; " + through);
    ASSERT_EQ(seen.size(), 1U);
    ASSERT_EQ(seen[0].size(), 2U);
    EXPECT_EQ(seen[0][0], all_ids);
    EXPECT_EQ(seen[0][1], non_nan);

    // Only and_ is compared: the same result from or_ / not_ passes.
    seen.clear();
    EXPECT_EQ(fd::run_check_4_nan("or_", fe::combinator_operator("or_", returns_all), config, rng).status, fe::CheckStatus::pass);
    EXPECT_EQ(fd::run_check_4_nan("not_", fe::combinator_operator("not_", returns_all), config, rng).status, fe::CheckStatus::pass);
    ASSERT_EQ(seen.size(), 2U);
    ASSERT_EQ(seen[0].size(), 2U);
    EXPECT_EQ(seen[0][0], non_nan);
    EXPECT_TRUE(seen[0][1].empty());
    ASSERT_EQ(seen[1].size(), 1U);
    EXPECT_EQ(seen[1][0], non_nan);

    auto raising = [](const IdSet&, const Dict&, const std::vector<IdSet>&) -> fe::OperatorResult {
        throw rt::RuntimeError("combinator down");
    };
    const fe::CheckOutcome or_err = fd::run_check_4_nan("or_", fe::combinator_operator("or_", raising), config, rng);
    EXPECT_EQ(verdict(or_err), "pass: NaN propagation error: combinator down; " + through);
    const fe::CheckOutcome and_err = fd::run_check_4_nan("and_", fe::combinator_operator("and_", raising), config, rng);
    EXPECT_EQ(verdict(and_err), "fail: NaN propagation error: combinator down; " + through);
}

TEST(NanCheck, DrawsOneSeedAndReportsOuterErrors) {
    auto config = demo_config();
    auto rng = fd::make_rng(31);
    auto expected = fd::make_rng(31);
    fd::run_check_4_nan("gt", builtin("gt"), config, rng);
    expected.integers(0, SEED_BOUND);
    EXPECT_TRUE(same_state(rng, expected));

    // The NaN pool does not depend on signal metadata, so real mode without it still runs.
    fe::FiltrationEvaluationConfig real;
    real.mode = "real";
    EXPECT_EQ(fd::run_check_4_nan("gt", builtin("gt"), real, rng).status, fe::CheckStatus::pass);

    config.T = -1;
    const fe::CheckOutcome out = fd::run_check_4_nan("gt", builtin("gt"), config, rng);
    EXPECT_EQ(verdict(out), "fail: Exception: negative dimensions are not allowed");
}

}  // namespace
