// The strict profile: off by default, numbered after the plug-ins, and what it catches in C++
// operators that the canonical checks accept.

#include <gtest/gtest.h>

#include "brindlecap/functions/filtrations_evaluation/acceptance/properties.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/strict.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/report.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
namespace rs = brindlecap::functions::registry_and_store;
using Children = std::vector<IdSet>;

fe::OperatorCheckResult judged(const std::string& name, const fe::Operator& op,
                               const fe::OperatorProperties& properties = {}, const fe::OperatorReferences& references = {}) {
    rs::FunctionStore store;
    store.register_entry(rs::StoreEntry{name, "filtration", op, "", "", Value()});
    fe::FiltrationEvaluationConfig config;
    config.mode = "mock";
    config.mock_signals = demo_config().signal_metadata;
    config.skip_checks = {8};
    config.properties = properties;
    config.references = references;
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

// Faults the canonical eight accept, the strict check that must name each, and for one fault of
// each check that writes replayable reproducers: what its shrunk counterexample says.
struct Fault {
    const char* name;
    const char* op_name;
    fe::Operator op;
    const char* caught_by;
    const char* shown = nullptr;
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
        {"gt in single precision", "gt", select_where("gt", [=](const Value& v, const Dict& p) {
             const Value& t = p.at("value");
             if (v.is_str() || t.is_str()) return rt::greater(v, t);
             return static_cast<float>(num(v)) > static_cast<float>(num(t));
         }), "strict_relations", "complement: the same call of lte"},
        {"and_ of the first two children", "and_", combinator([](const IdSet&, const Children& k) {
             return k.size() < 2 ? k.at(0) : k[0] & k[1];
         }), "strict_relations", "relation: "},
        {"not_ ignores extra children", "not_", combinator([](const IdSet& keys, const Children& k) { return keys - k.at(0); }),
         "strict_validation", "expected: raises FilterValidationError"},
        {"gt writes the target back", "gt", fe::field_operator("gt", [](const fe::PreparedField& f, const Dict& p) {
             const_cast<Dict&>(p).set("value", Value(p.at("value").to_double()));
             IdSet out = IdSet::over(f.pool_keys.universe());
             for (const auto& pv : f.values) {
                 if (rt::greater(*pv.value, p.at("value"))) out.insert(pv.id);
             }
             return fe::OperatorResult(out);
         }), "strict_immutable", "changed: parameters {'field': 'x', 'value': "},
        // Its count is all of its time (against the harness's own per-signal work even under
        // ASan): a clean n^2.
        {"gt counting each id among every value's id", "gt", fe::field_operator("gt", [](const fe::PreparedField& f, const Dict& p) {
             IdSet out = IdSet::over(f.pool_keys.universe());
             for (const auto& pv : f.values) {
                 const auto copies = std::count_if(f.values.begin(), f.values.end(), [&](const auto& other) { return other.id == pv.id; });
                 if (copies == 1 && rt::greater(*pv.value, p.at("value"))) out.insert(pv.id);
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

// A fault's reproducer is shrunk to a few signals and replays as its check made the call: the
// faulty operator fails its expect.json, the built-in of the same name passes it.
TEST(StrictProfile, FindingsBecomeShrunkReproducersThatReplayAgainstTheirExpectation) {
    const auto dir = std::filesystem::path(::testing::TempDir()) / "strict_reproducers";
    for (const Fault& fault : faults()) {
        if (fault.shown == nullptr) continue;
        SCOPED_TRACE(fault.name);
        std::filesystem::remove_all(dir);
        fe::RunRecorder recorder;
        {
            const fe::StrictProfile strict;
            (void)judged(fault.op_name, fault.op);
        }
        const auto folders = fe::write_reproducers(recorder.observations(), dir, "tool resolve --pool {pool} --tree {tree}");
        const auto f = std::find_if(folders.begin(), folders.end(), [&](const auto& f) { return f.check == fault.caught_by; });
        ASSERT_NE(f, folders.end());
        EXPECT_TRUE(f->reproduced);
        EXPECT_LE(f->signals, 3U) << f->original_signals;
        EXPECT_EQ(f->replay.rfind("tool replay --pool ", 0), 0U) << f->replay;
        const std::string text = fe::counterexample_text(f->counterexample);
        EXPECT_NE(text.find(fault.shown), std::string::npos) << text;

        const fe::SignalPool pool = fe::pool_from_value(rt::read_json_file((f->path / "pool.json").string()));
        const fe::FilterNode call = fe::tree_from_value(rt::read_json_file((f->path / "tree.json").string()));
        const Value expect = rt::read_json_file((f->path / "expect.json").string());
        for (const bool faulty : {true, false}) {
            rs::FunctionStore store = rs::build_default_store();
            if (faulty) store.register_entry(rs::StoreEntry{fault.op_name, "filtration", fault.op, "", "", Value()});
            const fe::ReplayVerdict verdict = fe::replay_expectation(pool, call, expect, store);
            EXPECT_EQ(verdict.holds, !faulty) << verdict.text;
        }
    }
}

// New operators without an oracle, judged by what they declare: the correct one passes every
// strict check, each fault breaks a declared property. With an oracle, the declared shape chooses
// the differential cases (an in_ that wants every target, judged as a numeric comparison, would
// only meet errors on both sides).
TEST(StrictProfile, DeclaredPropertiesStandInForAnOracle) {
    const auto above = [](bool or_equal) {
        return select_where("my_above", [or_equal](const Value& v, const Dict& p) {
            return v.is_number() && (or_equal ? rt::greater_equal(v, p.at("value")) : rt::greater(v, p.at("value")));
        });
    };
    const fe::Operator all_tags = select_where("my_tags", [](const Value& v, const Dict& p) {
        if (!v.is_list()) return false;
        for (const Value& want : p.at("values").as_list()) {
            if (std::find(v.as_list().begin(), v.as_list().end(), want) == v.as_list().end()) return false;
        }
        return true;
    });
    struct Row {
        const char* what;
        fe::Operator op;
        std::vector<std::string> properties;
        fe::OperatorReferences references;
        std::vector<std::string> failing;
    };
    const std::vector<Row> rows = {
        {"gt", above(false), {"numeric", "pointwise", "monotone=decreasing", "complement=lte"}, {}, {}},
        {"gte declared the complement of lte", above(true), {"numeric", "complement=lte"}, {}, {"strict_relations"}},
        {"gt declared increasing", above(false), {"numeric", "monotone=increasing"}, {}, {"strict_relations"}},
        {"and_ of the first two children", combinator([](const IdSet& keys, const Children& k) {
             return k.empty() ? keys : k.size() < 2 ? k[0] : k[0] & k[1];
         }), {"laws=and"}, {}, {"strict_relations"}},
        {"all of the targets, an oracle and the list shape", all_tags, {"list"}, {{"my_op", builtin("in_")}},
         {"strict_oracle"}},
    };
    const fe::StrictProfile strict;
    for (const Row& row : rows) {
        std::vector<std::string> found;
        for (const std::string& check : failed(judged("my_op", row.op, {{"my_op", row.properties}}, row.references))) {
            if (check.starts_with("strict_")) found.push_back(check);
        }
        EXPECT_EQ(found, row.failing) << row.what;
    }
    // Neither an oracle nor properties: the strict checks skip and say how to give either.
    const fe::OperatorCheckResult unjudged = judged("my_op", above(false));
    const auto none = std::find_if(unjudged.checks.begin(), unjudged.checks.end(),
                                   [](const auto& check) { return check.first == "strict_relations"; })->second;
    EXPECT_EQ(none.status, CheckStatus::skip);
    EXPECT_NE(none.details.find("--property my_op=PROP"), std::string::npos) << none.details;
    EXPECT_NE(none.details.find("--reference my_op="), std::string::npos) << none.details;
}

TEST(StrictProfile, BadPropertiesAreRefusedBeforeTheRunByTheirPlace) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{"numeric", "pointwize"}, "properties['my_op'][1]: unknown property 'pointwize'"},
        {{"numeric", "list"}, "properties['my_op'][1]: a second shape 'list'"},
        {{"monotone=up"}, "properties['my_op'][0]: monotone takes increasing or decreasing"},
        {{"rank_n", "pointwise"}, "properties['my_op'][1]: pointwise: a rank_n operator selects by position"},
        {{"string", "monotone=increasing"}, "[1]: monotone: a string operator has no order"},
        {{"complement=my_other"}, "[0]: complement=my_other: not a built-in, and no oracle"},
        {{"string", "complement=lte"}, "[1]: complement=lte: lte is not called as a string operator is"},
        {{"laws=and", "pointwise"}, "[1]: pointwise: a combinator operator has no field"},
        {{"laws=xor"}, "[0]: laws takes and, or or not"},
        {{}, "properties['my_op']: no property given"},
    };
    for (const auto& [properties, message] : rows) {
        try {
            (void)judged("my_op", builtin("gt"), {{"my_op", properties}});
            ADD_FAILURE() << message << ": accepted";
        } catch (const rt::ValueError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW((void)judged("gt", builtin("gt"), {{"gt", {"numeric"}}}), rt::ValueError);
    EXPECT_EQ(fe::property_option("my_op=numeric,complement=lte"),
              (std::pair<std::string, std::vector<std::string>>{"my_op", {"numeric", "complement=lte"}}));
    EXPECT_THROW((void)fe::property_option("=numeric"), rt::ValueError);
}

}  // namespace
