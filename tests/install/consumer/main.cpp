// Resolves a tree and judges one operator through the installed public header.
#include <iostream>
#include <string>

#include <brindlecap/functions/filtrations_evaluation.hpp>

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace rs = brindlecap::functions::registry_and_store;
using brindlecap::runtime::Dict;
using brindlecap::runtime::Value;

int main() {
    Dict signals;
    fe::SignalPool pool;
    for (int i = 0; i < 12; ++i) {
        Dict metadata{{"is_sharpe", 0.25 * i - 1.0},
                      {"is_returns", 0.01 * i},
                      {"is_turnover", 0.5},
                      {"rotation_families_used", Value::list({"event"})},
                      {"expression_complexity", i + 1},
                      {"submission_date", 1.7e9 + i},
                      {"is_active", i % 2 == 0},
                      {"signal_category", i % 3 == 0 ? "momentum" : "value"}};
        const std::string id = "s" + std::to_string(100 + i);
        signals.set(Value(id), Value(metadata));
        pool.insert(id, fe::UsefulSignal::make(metadata));
    }

    const fe::FilterNode tree{"and_", {}, {{"gt", {{"field", "is_sharpe"}, {"value", 0.0}}, {}},
                                           {"eq", {{"field", "signal_category"}, {"value", "value"}}, {}}}};
    const rs::FunctionStore store = rs::build_default_store();
    const fe::FiltrationResult result = fe::resolve_filtrations(pool, tree, store);
    std::cout << "passing:";
    for (const std::string& id : result.passing_ids) std::cout << ' ' << id;
    std::cout << '\n';

    fe::FiltrationEvaluationConfig config;
    config.mode = "mock";
    config.mock_signals = signals;
    config.skip_checks = {4, 5, 6, 7, 8};
    const fe::FiltrationEvaluationResult verdicts =
        fe::evaluate(config, std::vector<fe::EvalFiltrationConfig>{{"top_n", std::nullopt}}, store);
    std::cout << "top_n accepted: " << (verdicts.operator_results.at(0).second.accepted ? "yes" : "no")
              << '\n';
    return 0;
}
