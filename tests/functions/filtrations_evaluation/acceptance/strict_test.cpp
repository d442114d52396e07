// The strict profile: off by default, numbered after the plug-ins, and what it catches in C++
// operators that the canonical checks accept.

#include <gtest/gtest.h>

#include "brindlecap/functions/filtrations_evaluation/acceptance/strict.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
namespace rs = brindlecap::functions::registry_and_store;
using Children = std::vector<IdSet>;

fe::OperatorCheckResult judged(const std::string& name, const fe::Operator& op) {
    rs::FunctionStore store;
    store.register_entry(rs::StoreEntry{name, "filtration", op, "", "", Value()});
    fe::FiltrationEvaluationConfig config;
    config.mode = "mock";
    config.mock_signals = demo_config().signal_metadata;
    config.skip_checks = {8};
    return fe::evaluate(config, std::vector<fe::EvalFiltrationConfig>{{name, std::nullopt}}, store)
        .operator_results.front().second;
}

std::vector<std::string> failed(const fe::OperatorCheckResult& result) {
    std::vector<std::string> out;
    for (const auto& [check, outcome] : result.checks) {
        if (outcome.status == CheckStatus::fail) out.push_back(check);
    }
    return out;
}

fe::Operator combinator(std::function<IdSet(const IdSet&, const Children&)> fn) {
    return fe::combinator_operator("c", [fn](const IdSet& keys, const Dict&, const Children& kids) {
        return fe::OperatorResult(fn(keys, kids));
    });
}

// Faults the canonical eight accept, and the strict check that must name each.
struct Fault {
    const char* name;
    const char* op_name;
    fe::Operator op;
    const char* caught_by;
};

std::vector<Fault> faults() {
    const auto num = [](const Value& v) { return v.is_bool() ? double(v.as_bool()) : v.to_double(); };
    return {
        {"eq within 1e-9", "eq", select_where("eq", [=](const Value& v, const Dict& p) {
             return !v.is_str() && !p.at("value").is_str() && std::abs(num(v) - num(p.at("value"))) < 1e-9;
         }), "strict_oracle"},
        {"bottom_n keeps exactly n", "bottom_n", fe::field_operator("bottom_n", [](const fe::PreparedField& f, const Dict& p) {
             std::vector<fe::PreparedValue> v = f.values;
             std::stable_sort(v.begin(), v.end(), [](auto& a, auto& b) { return rt::less(*a.value, *b.value); });
             IdSet out = IdSet::over(f.pool_keys.universe());
             const auto n = static_cast<std::size_t>(p.at("n").to_double());
             for (std::size_t i = 0; i < std::min(n, v.size()); ++i) out.insert(v[i].id);
             return fe::OperatorResult(out);
         }), "strict_oracle"},
        {"and_ of the first two children", "and_", combinator([](const IdSet&, const Children& k) {
             return k.size() < 2 ? k.at(0) : k[0] & k[1];
         }), "strict_relations"},
        {"not_ ignores extra children", "not_", combinator([](const IdSet& keys, const Children& k) { return keys - k.at(0); }),
         "strict_validation"},
        {"gt writes the target back", "gt", fe::field_operator("gt", [](const fe::PreparedField& f, const Dict& p) {
             const_cast<Dict&>(p).set("value", Value(p.at("value").to_double()));
             IdSet out = IdSet::over(f.pool_keys.universe());
             for (const auto& pv : f.values) {
                 if (rt::greater(*pv.value, p.at("value"))) out.insert(pv.id);
             }
             return fe::OperatorResult(out);
         }), "strict_immutable"},
        {"gt deduplicated through a list of every id seen", "gt", fe::field_operator("gt", [](const fe::PreparedField& f, const Dict& p) {
             std::vector<std::string> seen;
             IdSet out = IdSet::over(f.pool_keys.universe());
             for (const auto& pv : f.values) {
                 if (std::find(seen.begin(), seen.end(), pv.id) != seen.end()) continue;
                 seen.emplace_back(pv.id);
                 if (rt::greater(*pv.value, p.at("value"))) out.insert(pv.id);
             }
             return fe::OperatorResult(out);
         }), "strict_growth"},
    };
}

TEST(StrictProfile, OffByDefaultThenNumberedAfterThePlugins) {
    EXPECT_EQ(judged("gt", builtin("gt")).checks.size(), 8U);
    {
        const fe::StrictProfile strict;
        const auto entries = fd::get_plugin_check_entries();
        ASSERT_EQ(entries.size(), 6U);
        EXPECT_EQ(entries.front().first, 9);
        EXPECT_EQ(entries.back().second->name(), "strict_validation");
    }
    EXPECT_TRUE(fe::get_registered_plugins().empty());
}

TEST(StrictProfile, BuiltinsPassAndFaultsTheCanonicalChecksAcceptAreCaught) {
    for (const auto& builtin_row : fd::builtin_operators()) {
        const std::string name(builtin_row.name);
        const fe::StrictProfile strict;
        EXPECT_EQ(failed(judged(name, builtin(name))), std::vector<std::string>{}) << name;
    }
    for (const Fault& fault : faults()) {
        EXPECT_TRUE(judged(fault.op_name, fault.op).accepted) << fault.name << " (canonical checks)";
        const fe::StrictProfile strict;
        const std::vector<std::string> found = failed(judged(fault.op_name, fault.op));
        EXPECT_NE(std::find(found.begin(), found.end(), fault.caught_by), found.end()) << fault.name;
    }
}

}  // namespace
