// Judge your own filtration operator: a `gt` written with >= instead of >, registered in a store
// beside the built-ins and run through the acceptance pipeline on a signals file.
//
//   judge_my_operator examples/signals.json

#include <iostream>
#include <string>

#include <brindlecap/functions/filtrations_evaluation.hpp>

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace runtime = brindlecap::runtime;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: judge_my_operator SIGNALS.json\n";
        return 2;
    }

    // A field-leaf operator receives the prepared field (id, value pairs without NaN) and the
    // node's parameters, and returns the passing ids.
    const fe::Operator sloppy_gt =
        fe::field_operator("my_gt", [](const fe::PreparedField& field, const runtime::Dict& params) {
            const double target = params.at("value").to_double();
            fe::IdSet passing;
            for (const fe::PreparedValue& pv : field.values) {
                if (pv.value->to_double() >= target) passing.insert(pv.id);  // should be >
            }
            return fe::OperatorResult(std::move(passing));
        });

    // Register it under the name it is judged as. The checks pick the reference, the default
    // parameters and the field types by name, so a stand-in for gt is registered as "gt".
    fe::FunctionStore store = fe::build_default_store();
    store.register_entry(fe::StoreEntry{.name = "gt", .function_type = "filtration", .factory = sloppy_gt});

    // Mock mode: the signals' metadata comes from the caller (id -> metadata).
    fe::FiltrationEvaluationConfig config;
    config.mode = "mock";
    config.mock_signals = runtime::read_json_file(argv[1]).as_dict();
    config.skip_checks = {8};  // no timing here

    const fe::FiltrationEvaluationResult result =
        fe::evaluate(config, std::vector<fe::EvalFiltrationConfig>{{"gt", std::nullopt}}, store);
    for (const auto& [name, verdict] : result.operator_results) {
        std::cout << name << ": " << (verdict.accepted ? "accepted" : "rejected") << '\n';
        for (const auto& [check, outcome] : verdict.checks) {
            std::cout << "  " << check << ": " << to_string(outcome.status);
            if (outcome.status == fe::CheckStatus::fail) std::cout << " (" << outcome.details << ')';
            std::cout << '\n';
        }
    }
    return result.operator_results.front().second.accepted ? 0 : 1;
}
