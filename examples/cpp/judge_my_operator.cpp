// Judge your own filtration operator: a `gt` written with >= instead of >, registered in a store
// beside the built-ins and run through the acceptance pipeline on a signals file.
//
//   judge_my_operator examples/signals.json
//   judge_my_operator examples/signals.json --reproducers build/repro --html build/report.html
//   judge_my_operator resolve --pool POOL.json --tree TREE.json    (replays a reproducer)

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <brindlecap/functions/filtrations_evaluation.hpp>

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace rs = brindlecap::functions::registry_and_store;
namespace runtime = brindlecap::runtime;

namespace {

// The default store with the sloppy gt in place of the built-in one.
rs::FunctionStore my_store() {
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
    rs::FunctionStore store = rs::build_default_store();
    store.register_entry(rs::StoreEntry{.name = "gt", .function_type = "filtration", .factory = sloppy_gt});
    return store;
}

// A reproducer's tree over its pool, with this program's operators.
int replay(const std::string& pool_file, const std::string& tree_file) {
    const fe::SignalPool pool = fe::pool_from_value(runtime::read_json_file(pool_file));
    const fe::FilterNode tree = fe::tree_from_value(runtime::read_json_file(tree_file));
    try {
        const fe::FiltrationResult result = fe::resolve_filtrations(pool, tree, my_store());
        std::cout << result.signal_count << " of " << result.total_pool_size << " signals pass "
                  << tree.function_name << ":";
        for (const std::string& id : result.passing_ids) std::cout << ' ' << id;
        std::cout << '\n';
        return 0;
    } catch (const fe::EmptyFiltrationError& e) {
        std::cout << "0 of " << pool.size() << " signals pass " << tree.function_name << '\n';
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 5 && args[0] == "resolve" && args[1] == "--pool" && args[3] == "--tree") {
        return replay(args[2], args[4]);
    }
    std::optional<std::string> reproducers;
    std::optional<std::string> html;
    bool usage = args.empty() || args.size() % 2 == 0;
    for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--reproducers") {
            reproducers = args[i + 1];
        } else if (args[i] == "--html") {
            html = args[i + 1];
        } else {
            usage = true;
        }
    }
    if (usage) {
        std::cerr << "usage: judge_my_operator SIGNALS.json [--reproducers DIR] [--html FILE]\n"
                     "       judge_my_operator resolve --pool POOL.json --tree TREE.json\n";
        return 2;
    }
    if (reproducers) {
        try {
            fe::check_reproducer_directory(*reproducers);  // a directory of someone else's: say so before the run
        } catch (const std::exception& e) {
            std::cerr << "judge_my_operator: " << e.what() << '\n';
            return 2;
        }
    }
    const rs::FunctionStore store = my_store();

    // Mock mode: the signals' metadata comes from the caller (id -> metadata).
    fe::FiltrationEvaluationConfig config;
    config.mode = "mock";
    config.mock_signals = runtime::read_json_file(args[0]).as_dict();
    config.skip_checks = {8};  // no timing here

    // Reproducers and the report need what the checks saw: record it while the run lasts.
    std::optional<fe::RunRecorder> recorder;
    if (reproducers || html) recorder.emplace();
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

    if (recorder) {
        const fe::RunObservations seen = recorder->observations();
        std::vector<fe::ReproducerFolder> folders;
        if (reproducers) {
            // Replaying needs this program's store: the replay command is this program's resolve.
            folders = fe::write_reproducers(seen, *reproducers,
                                            fe::shell_quote(argv[0]) + " resolve --pool {pool} --tree {tree}");
            for (const fe::ReproducerFolder& f : folders) {
                std::cout << f.relative_path << ": " << f.check << ", " << f.label << "; " << f.signals << " of "
                          << f.original_signals << " signals\n  " << f.replay << '\n';
            }
        }
        if (html) {
            std::string command = fe::shell_quote(argv[0]);
            for (const std::string& a : args) command += ' ' + fe::shell_quote(a);
            fe::HtmlReportOptions page;
            page.title = "judge_my_operator: a sloppy gt";
            page.source = "'" + args[0] + "'";
            page.command = command;
            page.reproducers = folders;
            fe::write_html_report(*html, result, seen, page);
            std::cout << "report: " << *html << '\n';
        }
    }
    return result.operator_results.front().second.accepted ? 0 : 1;
}
