#include "cli.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <sstream>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/flatten.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/properties.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/evaluate.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/strict.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/report.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/log.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/warnings.hpp"
#include "brindlecap/version.hpp"
#include "demo_signals.hpp"
#include "inputs.hpp"
#include "output.hpp"
#include "terminal_text.hpp"

namespace brindlecap::cli {

namespace fe = functions::filtrations_evaluation;
namespace eu = functions::evaluation_utils;
namespace registry_and_store = functions::registry_and_store;
using runtime::Dict;
using runtime::Value;

namespace {

struct Options {
    bool json = false;
    std::string color = "auto";
    std::string progress = "auto";
    bool verbose = false;

    // evaluate
    fe::FiltrationEvaluationConfig config;
    std::vector<std::string> operators;
    std::string signals;
    std::string db;
    std::string signal_ids;
    std::int64_t market_id = 0;
    std::int64_t era_number = 0;
    bool has_signal_ids = false;
    bool has_market_id = false;
    bool has_era_number = false;
    std::string reproducers;   // directory
    std::string expect;        // replay: a reproducer folder's expect.json
    std::string replay_command = "filtrations resolve --pool {pool} --tree {tree}";
    std::string html;          // file
    std::string command_line;  // as typed, for the report
    bool strict = false;       // the strict profile's checks as plug-ins for this run
    std::vector<std::string> references;  // NAME=MODULE:ATTRIBUTE
    std::vector<std::string> properties;  // NAME=PROP[,PROP...]
    std::string test_cases;    // file
    std::string junit;         // file

    // resolve / products / flatten
    std::string pool;
    std::string tree;
    std::string products;
    std::string product_type;
    std::string is_stats;
    std::string os_stats;
    std::string meta;

    const std::vector<registry_and_store::StoreEntry>* host_operators = nullptr;
    const fe::OperatorReferences* host_references = nullptr;
    std::vector<std::string> host_operator_specs;  // --operator, read by the host before the run
};

// Where a failure happened, for the error line ("resolving tree 'x' over pool 'y'").
struct Context {
    std::string where;
};

// Process-wide settings the commands change, put back when the command ends.
class ScopedSettings {
public:
    explicit ScopedSettings(std::ostream& err) : err_(err) {
        previous_handler_ = runtime::set_warning_handler([this](const runtime::Warning& w) {
            if (!missing_.add(w.message)) err_ << "filtrations: warning: " << escape_controls(w.message, true) << "\n";
        });
    }
    ~ScopedSettings() {
        report_missing_fields();
        runtime::set_warning_handler(std::move(previous_handler_));
        if (store_) eu::configure_signal_metadata_store(*store_);
        if (query_) eu::set_signal_metadata_query(std::move(*query_));
        if (verbose_) runtime::set_log_level(runtime::LogLevel::warning);
    }
    ScopedSettings(const ScopedSettings&) = delete;
    ScopedSettings& operator=(const ScopedSettings&) = delete;

    void use_signal_store(const std::string& db) {
        store_ = eu::configured_signal_metadata_store();
        query_ = eu::set_signal_metadata_query({});  // the database-backed default query
        eu::configure_signal_metadata_store(db);
    }
    void verbose() {
        verbose_ = true;
        runtime::set_log_level(runtime::LogLevel::debug);
    }

    // The warnings of signals lacking metadata fields, as one line: a count and a few ids.
    void report_missing_fields() {
        if (missing_.signals == 0) return;
        err_ << "filtrations: warning: " << missing_.summary() << "\n";
        missing_ = {};
    }

private:
    // The ingestion's warning per signal lacking expected fields ("Signal 'ID' metadata missing
    // fields: A, B. ..."), counted.
    struct MissingFields {
        static constexpr std::string_view START = "Signal '";
        static constexpr std::string_view MIDDLE = "' metadata missing fields: ";
        static constexpr std::size_t EXAMPLES = 3;
        std::size_t signals = 0;
        std::vector<std::string> examples;
        std::map<std::string, std::size_t> fields;  // field -> signals lacking it
        std::string tail;                           // what the warning says after the fields

        bool add(const std::string& message) {
            const std::size_t middle = message.rfind(MIDDLE);
            if (!message.starts_with(START) || middle == std::string::npos) return false;
            const std::size_t list_at = middle + MIDDLE.size();
            const std::size_t list_end = message.find(". ", list_at);
            ++signals;
            if (examples.size() < EXAMPLES) examples.push_back(message.substr(START.size(), middle - START.size()));
            const std::string list = message.substr(list_at, list_end == std::string::npos ? list_end : list_end - list_at);
            for (std::size_t at = 0; at <= list.size();) {
                const std::size_t comma = std::min(list.find(", ", at), list.size());
                ++fields[list.substr(at, comma - at)];
                at = comma + 2;
            }
            if (list_end != std::string::npos) tail = message.substr(list_end + 2);
            return true;
        }
        std::string summary() const {
            std::string text = std::to_string(signals) + (signals == 1 ? " signal lacks" : " signals lack") +
                               " metadata fields (";
            bool first = true;
            for (const auto& [field, count] : fields) {
                text += (first ? "" : ", ") + field + " in " + std::to_string(count);
                first = false;
            }
            text += "): ";
            for (std::size_t i = 0; i < examples.size(); ++i) text += (i ? ", '" : "'") + examples[i] + "'";
            if (signals > examples.size()) text += " and " + std::to_string(signals - examples.size()) + " more";
            return escape_controls(text + (tail.empty() ? "." : ". " + tail));  // one line, whatever the ids hold
        }
    };

    std::ostream& err_;
    MissingFields missing_;
    runtime::WarningHandler previous_handler_;
    std::optional<std::optional<std::string>> store_;
    std::optional<eu::SignalMetadataQuery> query_;
    bool verbose_ = false;
};

bool use_color(const Options& o, const Terminal& t) {
    return o.color == "always" || (o.color == "auto" && t.stdout_is_tty);
}

std::string describe_tree(const std::string& arg) {
    std::error_code ec;
    if (arg == "-") return "the tree from standard input";
    return std::filesystem::exists(arg, ec) ? "tree '" + arg + "'" : "the inline tree";
}

// Standard input can be read once: at most one input may be "-".
void check_standard_input(const Options& o) {
    std::vector<std::string> readers;
    using Input = std::pair<const char*, const std::string&>;
    for (const auto& [option, value] : {Input{"--pool", o.pool}, Input{"--tree", o.tree},
                                        Input{"--signals", o.signals}, Input{"--products", o.products},
                                        Input{"--is", o.is_stats}, Input{"--os", o.os_stats},
                                        Input{"--meta", o.meta}}) {
        if (value == "-") readers.push_back(option);
    }
    if (o.has_signal_ids && o.signal_ids == "@-") readers.push_back("--signal-ids");
    if (readers.size() > 1) {
        throw InputError("standard input can be read by one option only; " + readers[0] + " and " +
                         readers[1] + " both read it ('-')");
    }
}

// How a command that threw ends: the error line, the lines under it, and the JSON kind and message.
struct Failure {
    std::string line;
    std::string context_lines;
    std::string kind;
    std::string message;
};

Failure describe_failure(const std::exception& e, const Context& ctx) {
    // Running out of memory or threads is not the input's fault; it is said as such.
    const std::string during = ctx.where.empty() ? "" : " (" + ctx.where + ")";
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) {
        return {"out of memory" + during, "", "MemoryError", "out of memory" + during};
    }
    if (const auto* system = dynamic_cast<const std::system_error*>(&e);
        system != nullptr && system->code() == std::errc::resource_unavailable_try_again) {
        const std::string message = "could not start a thread" + during + ": " + system->what();
        return {message, "", "MemoryError", message};
    }
    const std::string kind = runtime::error_kind(e);
    const std::string text = runtime::error_text(e);
    if (const auto* input = dynamic_cast<const InputError*>(&e)) {
        return {text, input->context_lines, kind, text};
    }
    return {(ctx.where.empty() ? "" : ctx.where + ": ") + kind + ": " + text, "", kind, text};
}

// ---- evaluate ------------------------------------------------------------------------------------

// The built-ins, and the host's own operators after them (one with a built-in's name replaces it).
registry_and_store::FunctionStore command_store(const Options& o) {
    registry_and_store::FunctionStore store = registry_and_store::build_default_store();
    if (o.host_operators != nullptr) {
        for (const auto& entry : *o.host_operators) store.register_entry(entry);
    }
    return store;
}

// --reproducers and --html. The built-ins of the default store replay through `filtrations
// resolve`; a front end with operators of its own gives its command (--replay-command).
// Returns the failed checks' counterexamples (the reproducers' own when they were written).
std::vector<fe::Counterexample> write_evaluation_files(const Options& o, const fe::FiltrationEvaluationResult& result,
                                                       const fe::RunObservations& observations,
                                                       const std::string& source, Context& ctx, std::ostream& err) {
    std::vector<fe::ReproducerFolder> folders;
    if (!o.reproducers.empty()) {
        ctx.where = "writing reproducers under '" + o.reproducers + "'";
        folders = fe::write_reproducers(observations, o.reproducers, o.replay_command);
        err << "filtrations: " << folders.size() << (folders.size() == 1 ? " reproducer" : " reproducers")
            << " written under " << escape_controls(o.reproducers) << "\n";
    }
    std::vector<fe::Counterexample> counterexamples;
    if (!o.reproducers.empty()) {
        counterexamples = fe::counterexamples_of(folders);
    } else if (observations.disagreement_count() > 0) {
        ctx.where = "shrinking the counterexamples";
        counterexamples = fe::shrink_counterexamples(observations);
    }
    if (!o.junit.empty()) {
        ctx.where = "writing the JUnit report '" + o.junit + "'";
        fe::write_junit_xml(o.junit, result, counterexamples);
        err << "filtrations: JUnit report written to " << escape_controls(o.junit) << "\n";
    }
    if (!o.html.empty()) {
        ctx.where = "writing the report '" + o.html + "'";
        fe::HtmlReportOptions page;
        page.source = source;
        page.command = o.command_line;
        page.reproducers = std::move(folders);
        page.counterexamples = counterexamples;
        fe::write_html_report(o.html, result, observations, std::move(page));
        err << "filtrations: report written to " << escape_controls(o.html) << "\n";
    }
    return counterexamples;
}

// --reference NAME=MODULE:ATTRIBUTE: an oracle from the runtime's module table (the built-in
// kernels' modules, and a host's own).
std::pair<std::string, fe::Operator> reference_of(const std::string& spec) {
    const std::size_t equals = spec.find('=');
    const std::size_t colon = spec.rfind(':');
    if (equals == std::string::npos || equals == 0 || colon == std::string::npos || colon < equals + 2 ||
        colon + 1 == spec.size()) {
        throw InputError("--reference expects NAME=MODULE:ATTRIBUTE, got '" + spec + "'");
    }
    const std::string module = spec.substr(equals + 1, colon - equals - 1);
    try {
        return {spec.substr(0, equals),
                functions::filtrations::resolve_builtin_filtration_target(module, spec.substr(colon + 1))};
    } catch (const runtime::Exception& e) {
        throw InputError("cannot load the reference '" + spec + "': " + e.kind() + ": " + e.message());
    }
}

// The oracles of --reference and the host's, the declared properties of --property, and the
// cases of --test-cases on the operators they name (which must be judged).
void add_oracles(const Options& o, fe::FiltrationEvaluationConfig& cfg,
                 std::optional<std::vector<fe::EvalFiltrationConfig>>& operator_configs,
                 const registry_and_store::FunctionStore& store) {
    if (o.host_references != nullptr) {
        for (const auto& [name, oracle] : *o.host_references) cfg.references[name] = oracle;
    }
    for (const std::string& spec : o.references) {
        auto [name, oracle] = reference_of(spec);
        cfg.references[name] = std::move(oracle);
    }
    try {
        for (const std::string& spec : o.properties) {
            auto [name, properties] = fe::property_option(spec);
            std::vector<std::string>& into = cfg.properties[name];
            into.insert(into.end(), properties.begin(), properties.end());
        }
        fe::validate_properties(cfg);
    } catch (const runtime::ValueError& e) {
        throw InputError(e.message());
    }
    if (o.test_cases.empty()) return;
    auto cases = fe::read_test_cases_json(o.test_cases);
    if (!operator_configs) {
        operator_configs.emplace();
        for (const std::string& name : store.list_by_function_type("filtration")) {
            operator_configs->push_back({name, std::nullopt});
        }
    }
    for (auto& op_config : *operator_configs) {
        const auto it = cases.find(op_config.name);
        if (it == cases.end()) continue;
        op_config.test_cases = std::move(it->second);
        cases.erase(it);
    }
    if (!cases.empty()) {
        throw InputError("test cases file '" + o.test_cases + "' names '" + cases.begin()->first +
                         "', which this run does not judge (see --operators)");
    }
}

int cmd_evaluate(Options& o, const Terminal& terminal, ScopedSettings& settings, Context& ctx,
                 std::string& out, std::ostream& err) {
    fe::FiltrationEvaluationConfig& cfg = o.config;

    std::string source;
    if (!o.db.empty()) {
        cfg.mode = "real";
        if (o.has_signal_ids) cfg.signal_ids = load_signal_ids(o.signal_ids);
        if (o.has_market_id) cfg.market_id = o.market_id;
        if (o.has_era_number) cfg.era_number = o.era_number;
        settings.use_signal_store(o.db);
        source = "signal metadata database '" + o.db + "'";
    } else if (!o.signals.empty()) {
        cfg.mode = "mock";
        cfg.mock_signals = load_signals_file(o.signals);
        source = "signals file '" + o.signals + "'";
    } else {
        cfg.mode = "mock";
        cfg.mock_signals =
            signals_from_value(runtime::parse_json(demo_signals_json()), "embedded demo signal set");
        source = "the embedded demo signal set";
    }

    std::optional<std::vector<fe::EvalFiltrationConfig>> operator_configs;
    if (!o.operators.empty()) {
        operator_configs.emplace();
        for (const std::string& name : o.operators) operator_configs->push_back({name, std::nullopt});
    }

    const bool progress = o.progress == "always" || (o.progress == "auto" && terminal.stderr_is_tty);
    if (progress) {
        auto started = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
        cfg.operator_progress_callback = [&err, started](const std::string& name,
                                                         const fe::OperatorCheckResult& verdict,
                                                         std::int64_t done, std::int64_t total) {
            const auto now = std::chrono::steady_clock::now();
            const double seconds = std::chrono::duration<double>(now - *started).count();
            *started = now;
            const int digits = static_cast<int>(std::to_string(total).size());
            const std::string took =
                seconds < 1.0 ? fmt::format("{:.0f} ms", seconds * 1000.0) : fmt::format("{:.1f} s", seconds);
            err << fmt::format("[{:>{}}/{}] {} {} ({})\n", done, digits, total, escape_controls(name),
                               verdict.accepted ? "accepted" : "rejected", took)
                << std::flush;
        };
    }

    if (!o.reproducers.empty()) {
        ctx.where = "--reproducers";
        fe::check_reproducer_directory(o.reproducers);  // before the run, not after it
    }
    const registry_and_store::FunctionStore store = command_store(o);
    add_oracles(o, cfg, operator_configs, store);
    ctx.where = "evaluate";
    // Recorded for the failed checks' counterexamples (readable output, --junit) and the files.
    std::optional<fe::RunRecorder> recorder;
    if (!o.json || !o.reproducers.empty() || !o.html.empty() || !o.junit.empty()) recorder.emplace();
    std::optional<fe::StrictProfile> strict;
    if (o.strict) strict.emplace();
    const fe::FiltrationEvaluationResult result = fe::evaluate(cfg, std::move(operator_configs), store);
    settings.report_missing_fields();
    std::vector<fe::Counterexample> counterexamples;
    if (recorder) counterexamples = write_evaluation_files(o, result, recorder->observations(), source, ctx, err);

    bool all_accepted = true;
    for (const auto& [name, verdict] : result.operator_results) all_accepted = all_accepted && verdict.accepted;

    if (o.json) {
        out = json_text(evaluation_result_value(result));
    } else {
        out = fmt::format("{} operators, {} signals from {} ({} mode), seed {}\n\n",
                          result.operator_results.size(), result.config.N_signals,
                          escape_controls(source), *result.config.mode, result.config.seed);
        out += render_verdict_matrix(result, info_check_names(result.config), use_color(o, terminal), counterexamples);
    }
    return all_accepted ? EXIT_OK : EXIT_REJECTED;
}

// ---- resolve / products ------------------------------------------------------------------------

// Writes the empty outcome of a tree: diagnostics on `out`, the message on `err`.
int empty_outcome(const Options& o, const Terminal& terminal, const FilterNode& tree,
                  const fe::EmptyFiltrationError& e, std::string& out, std::ostream& err) {
    if (o.json) {
        out = json_text(error_value(e.kind(), e.message(), &e.filter_diagnostics));
    } else {
        out = render_diagnostics(tree, e.filter_diagnostics, true, use_color(o, terminal));
    }
    err << "filtrations: " << escape_controls(e.message(), true) << "\n";
    return EXIT_REJECTED;
}

// ---- where a TypeError came from -----------------------------------------------------------------
//
// A comparison of values that do not compare ("'>' not supported between instances of 'str' and
// 'float'") raises a TypeError that names neither the operator nor the signal. The tool finds
// them by resolving again on parts of the pool: the first leaf that raises it alone, then the
// shortest prefix of the pool on which it does. The prefix's last signal brought the error in:
// on its own it is the culprit; else (an operator that compares signals with each other) so is
// the first signal of the prefix that it needs beside it.

bool raises_type_error(const fe::SignalPool& pool, const FilterNode& leaf,
                       const registry_and_store::FunctionStore& store) {
    try {
        (void)fe::resolve_filtrations(pool, leaf, store);
    } catch (const runtime::Interrupt&) {
        throw;
    } catch (const std::exception& e) {
        runtime::rethrow_if_fatal(e);
        return runtime::error_kind(e) == "TypeError";
    }
    return false;
}

// The first `end` signals of the pool, then `also` (signals by position, or a signal of its own).
fe::SignalPool pool_part(const fe::SignalPool& pool, std::size_t end,
                         const std::vector<std::pair<std::string, fe::UsefulSignal>>& also) {
    fe::SignalPool part;
    for (std::size_t i = 0; i < end; ++i) part.insert(pool.id(i), pool.signal(i));
    for (const auto& [id, signal] : also) part.insert(id, signal);
    return part;
}

// The smallest end in [1, last] for which raises(end) holds, given that raises(last) does.
template <typename Raises>
std::size_t first_raising_end(std::size_t last, Raises raises) {
    std::size_t lo = 1, hi = last;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (raises(mid)) hi = mid;
        else lo = mid + 1;
    }
    return lo;
}

std::string signal_text(const fe::SignalPool& pool, std::size_t pos, const std::string& field) {
    const Value* value = pool.signal(pos).metadata->find(field);
    std::string shown = value != nullptr ? runtime::repr(*value) : "nothing";
    if (shown.size() > 60) shown = shown.substr(0, 57) + "...";
    return runtime::repr(std::string_view(pool.id(pos))) + " holding " + shown;
}

// "operator gt, field 'is_sharpe', signal 's7' holding 'abc'"; empty when no leaf raises alone.
std::string type_error_context(const fe::SignalPool& pool, const FilterNode& tree,
                               const registry_and_store::FunctionStore& store) {
    std::vector<const FilterNode*> pending{&tree};  // leaves left to right, without recursion
    while (!pending.empty()) {
        const FilterNode& node = *pending.back();
        pending.pop_back();
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child) pending.push_back(&*child);
        const Value* field_value = node.params.find("field");
        if (!node.children.empty() || field_value == nullptr || !field_value->is_str()) continue;
        if (!raises_type_error(pool, node, store)) continue;
        const std::string& field = field_value->as_str();
        const std::string text = "operator " + node.function_name + ", field " + runtime::repr(std::string_view(field));

        // Signals of its own: `blank` holds NaN under the field (the operator sees no value of it,
        // and a field whose first value is a number stays numeric: the first signal decides a
        // field's type), `plain` a plain value of the first signal's kind.
        std::string own_id = "_";
        while (pool.contains(own_id)) own_id += "_";
        const auto own = [&](Value value) {
            return std::pair<std::string, fe::UsefulSignal>{own_id, fe::UsefulSignal::make(Dict{{field, std::move(value)}})};
        };
        const auto blank = own(std::numeric_limits<double>::quiet_NaN());
        const Value* first = pool.signal(0).metadata->find(field);
        const bool numeric = first != nullptr && first->is_number();
        std::vector<std::pair<std::string, fe::UsefulSignal>> probes{blank};
        if (first != nullptr && first->is_bool()) probes.push_back(own(Value(false)));
        if (first != nullptr && first->is_int()) probes.push_back(own(Value(0)));
        if (first != nullptr && first->is_float()) probes.push_back(own(Value(0.0)));
        if (first != nullptr && first->is_str()) probes.push_back(own(Value("")));
        if (first != nullptr && first->is_list()) probes.push_back(own(Value::list({})));
        for (const auto& probe : probes) {
            if (raises_type_error(pool_part(pool, 0, {probe}), node, store)) return text;  // its parameters
        }

        const std::size_t end = first_raising_end(
            pool.size(), [&](std::size_t n) { return raises_type_error(pool_part(pool, n, {}), node, store); });
        const std::size_t last = end - 1;
        const std::pair<std::string, fe::UsefulSignal> culprit{pool.id(last), pool.signal(last)};
        if (last == 0 || raises_type_error(pool_part(pool, 0, numeric ? std::vector{blank, culprit} : std::vector{culprit}),
                                           node, store)) {
            return text + ", signal " + signal_text(pool, last, field);
        }
        const std::size_t other = first_raising_end(last, [&](std::size_t n) {
                                      return raises_type_error(pool_part(pool, n, {culprit}), node, store);
                                  }) - 1;
        return text + ", signals " + signal_text(pool, other, field) + " and " + signal_text(pool, last, field);
    }
    return "";
}

int cmd_resolve(const Options& o, const Terminal& terminal, Context& ctx, std::string& out,
                std::ostream& err) {
    const fe::SignalPool pool = load_pool_file(o.pool);
    const FilterNode tree = load_tree_argument(o.tree);
    const registry_and_store::FunctionStore store = command_store(o);
    ctx.where = "resolving " + describe_tree(o.tree) + " over pool '" + o.pool + "'";
    try {
        const fe::FiltrationResult result = fe::resolve_filtrations(pool, tree, store);
        out = o.json ? json_text(resolve_result_value(result))
                     : render_resolve(tree, result, use_color(o, terminal));
        return EXIT_OK;
    } catch (const fe::EmptyFiltrationError& e) {
        return empty_outcome(o, terminal, tree, e, out, err);
    } catch (const runtime::Exception& e) {
        if (e.kind() == "TypeError") {
            const std::string context = type_error_context(pool, tree, store);
            if (!context.empty()) ctx.where += " (" + context + ")";
        }
        throw;
    }
}

// The one operator call of a reproducer folder (its tree's root), outside tree validation.
int cmd_replay(const Options& o, Context& ctx, std::string& out) {
    const fe::SignalPool pool = load_pool_file(o.pool);
    const FilterNode call = load_tree_argument(o.tree);
    const registry_and_store::FunctionStore store = command_store(o);
    ctx.where = "calling " + call.function_name + " over pool '" + o.pool + "'";
    if (!o.expect.empty()) {
        const fe::ReplayVerdict verdict =
            fe::replay_expectation(pool, call, Value(load_object_file(o.expect, "expectation file")), store);
        out = o.json ? json_text(Value(Dict{{"holds", verdict.holds}, {"text", verdict.text}}))
                     : escape_controls(verdict.text, true);
        return verdict.holds ? EXIT_OK : EXIT_REJECTED;
    }
    const std::vector<std::string> ids = fe::replay_call(pool, call, store).sorted();
    if (o.json) {
        runtime::List selected;
        for (const std::string& id : ids) selected.emplace_back(id);
        out = json_text(Value(Dict{{"passing_ids", Value::list(std::move(selected))},
                                   {"signal_count", Value(static_cast<std::int64_t>(ids.size()))},
                                   {"total_pool_size", Value(static_cast<std::int64_t>(pool.size()))}}));
    } else {
        out = fmt::format("{} of {} signals selected by {}\n", ids.size(), pool.size(),
                          escape_controls(call.function_name));
        if (!ids.empty()) out += wrap_ids(ids);
    }
    return EXIT_OK;
}

int cmd_products(const Options& o, const Terminal& terminal, Context& ctx, std::string& out,
                 std::ostream& err) {
    const Dict products = load_object_file(o.products, "products file");
    const FilterNode tree = load_tree_argument(o.tree);
    ctx.where = "filtering products '" + o.products + "' with " + describe_tree(o.tree);
    try {
        const fe::ProductFiltrationResult result =
            fe::resolve_product_filtrations(Value(products), tree, o.product_type);
        out = o.json ? json_text(json_safe(Value(result.to_dict())))
                     : render_products(tree, result, use_color(o, terminal));
        return EXIT_OK;
    } catch (const fe::EmptyFiltrationError& e) {
        return empty_outcome(o, terminal, tree, e, out, err);
    }
}

// ---- flatten ---------------------------------------------------------------------------------------

int cmd_flatten(const Options& o, Context& ctx, std::string& out) {
    const Dict is_stats = load_object_file(o.is_stats, "is stats file");
    const Dict os_stats = load_object_file(o.os_stats, "os stats file");
    const Dict meta = load_object_file(o.meta, "metadata file");
    ctx.where = "flattening '" + o.is_stats + "', '" + o.os_stats + "' and '" + o.meta + "'";
    const Dict flattened = fe::flatten_signal_metadata(Value(is_stats), Value(os_stats), Value(meta));
    out = o.json ? json_text(Value(flattened)) : render_flattened(flattened);
    return EXIT_OK;
}

// ---- db ----------------------------------------------------------------------------------------------

// {"db": path, "created": bool, "rows": rows written, "market_id": m, "era_number": e}; market and
// era are null when nothing was imported.
Value db_result_value(const Options& o, bool created, std::optional<std::size_t> rows) {
    return Value(Dict{{"db", Value(o.db)},
                      {"created", Value(created)},
                      {"rows", Value(static_cast<std::int64_t>(rows.value_or(0)))},
                      {"market_id", rows ? Value(o.market_id) : Value()},
                      {"era_number", rows ? Value(o.era_number) : Value()}});
}

int cmd_db_init(const Options& o, Context& ctx, std::string& out) {
    std::optional<Dict> signals;
    if (!o.signals.empty()) signals = load_signals_file(o.signals);
    std::error_code ec;
    const bool existed = std::filesystem::exists(o.db, ec);
    ctx.where = "signal metadata database '" + o.db + "'";
    eu::create_signal_metadata_db(o.db);
    std::optional<std::size_t> rows;
    if (signals) {
        try {
            rows = eu::import_signal_metadata(o.db, *signals, o.market_id, o.era_number);
        } catch (...) {
            // The import is all or nothing; a database created for it goes too.
            if (!existed) std::filesystem::remove(o.db, ec);
            throw;
        }
    }
    if (o.json) {
        out = json_text(db_result_value(o, !existed, rows));
        return EXIT_OK;
    }
    const std::string db = escape_controls(o.db);
    out = existed ? "signal metadata database " + db + " already existed and is ready"
                  : "created signal metadata database " + db;
    if (rows) {
        out += fmt::format("{} {} signals (market {}, era {})", existed ? "; imported" : " with",
                           *rows, o.market_id, o.era_number);
    }
    out += "\n";
    return EXIT_OK;
}

int cmd_db_import(const Options& o, Context& ctx, std::string& out) {
    const Dict signals = load_signals_file(o.signals);
    std::error_code ec;
    if (!std::filesystem::exists(o.db, ec)) {
        throw InputError("signal metadata database '" + o.db +
                         "' does not exist; create it with 'filtrations db init --db " + o.db + "'");
    }
    ctx.where = "importing into signal metadata database '" + o.db + "'";
    const std::size_t rows = eu::import_signal_metadata(o.db, signals, o.market_id, o.era_number);
    out = o.json ? json_text(db_result_value(o, false, rows))
                 : fmt::format("imported {} signals into {} (market {}, era {})\n", rows,
                               escape_controls(o.db), o.market_id, o.era_number);
    return EXIT_OK;
}

// ---- command line --------------------------------------------------------------------------------
//
// Option values are read here rather than by CLI11, which reads 0412 as octal and 0x10 as hex,
// clamps numbers beyond int64, takes nan for a limit, drops the empty items of "a,,b" and takes
// the argument after an option as its value even when that is another option.

[[noreturn]] void refuse(const std::string& option, const std::string& problem) {
    throw CLI::ValidationError(option, problem);
}

bool looks_like_option(const std::string& text) {
    return text.size() > 1 && text[0] == '-' &&
           (text[1] == '-' || std::isalpha(static_cast<unsigned char>(text[1])));
}

// For the options that take text ("-" alone, standard input, is a value); numbers are refused
// by their own reading.
const CLI::Validator A_VALUE(
    [](std::string& text) {
        return looks_like_option(text) ? "expected a value, got the option '" + text + "'"
                                       : std::string();
    },
    "");

// For the options that name a file or directory: an empty path is refused, or `--db "$DB"` with
// DB unset would read as a run without --db.
const CLI::Validator A_PATH(
    [](std::string& text) { return text.empty() ? std::string("expected a value, got an empty one") : std::string(); },
    "");

// An optional sign and decimal digits (0412 is 412), within int64.
std::int64_t integer_value(const std::string& option, const std::string& text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        refuse(option, "'" + text + "' is not a decimal integer");
    }
    const std::string_view number = text[0] == '+' ? digits : std::string_view(text);
    std::int64_t value = 0;
    if (std::from_chars(number.data(), number.data() + number.size(), value).ec != std::errc()) {
        refuse(option, text + " is out of range (" +
                           std::to_string(std::numeric_limits<std::int64_t>::min()) + " to " +
                           std::to_string(std::numeric_limits<std::int64_t>::max()) + ")");
    }
    return value;
}

// A decimal number such as 2, 0.05 or 1e-3; nan, inf and numbers beyond double are refused.
double finite_value(const std::string& option, const std::string& text) {
    std::string_view number = text;
    if (!number.empty() && number[0] == '+') number.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec == std::errc::invalid_argument || end != number.data() + number.size() ||
        (number.size() < text.size() && number[0] == '-')) {
        refuse(option, "'" + text + "' is not a number");
    }
    if (ec != std::errc() || !std::isfinite(value)) refuse(option, text + " is not a finite number");
    return value;
}

// Comma-separated items, trimmed; an empty item ("", ",", "a,,b") is refused.
std::vector<std::string> list_items(const std::string& option, const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? comma : comma - start);
        const std::size_t first = item.find_first_not_of(" \t");
        if (first == std::string::npos) refuse(option, "empty item in '" + text + "'");
        items.push_back(item.substr(first, item.find_last_not_of(" \t") - first + 1));
        if (comma == std::string::npos) return items;
        start = comma + 1;
    }
}

// An option whose values `read` turns into the target.
template <typename Read>
CLI::Option* add_read_option(CLI::App* cmd, const std::string& name, const std::string& help,
                             const char* type, Read read) {
    CLI::Option* option = cmd->add_option(
        name,
        [name, read](const CLI::results_t& values) {
            for (const std::string& value : values) read(name, value);
            return true;
        },
        help);
    return option->type_name(type);
}

CLI::Option* add_text(CLI::App* cmd, const std::string& name, std::string& target,
                      const std::string& help) {
    return cmd->add_option(name, target, help)->check(A_VALUE);
}

CLI::Option* add_path(CLI::App* cmd, const std::string& name, std::string& target,
                      const std::string& help) {
    return add_text(cmd, name, target, help)->check(A_PATH);
}

CLI::Option* add_integer(CLI::App* cmd, const std::string& name, std::int64_t& target,
                         const std::string& help) {
    const auto read = [&target](const std::string& option, const std::string& text) {
        target = integer_value(option, text);
    };
    return add_read_option(cmd, name, help, "INT", read);
}

CLI::Option* add_number(CLI::App* cmd, const std::string& name, double& target,
                        const std::string& help) {
    const auto read = [&target](const std::string& option, const std::string& text) {
        target = finite_value(option, text);
    };
    return add_read_option(cmd, name, help, "FLOAT", read);
}

// List options may be given more than once.
CLI::Option* add_names(CLI::App* cmd, const std::string& name, std::vector<std::string>& target,
                       const std::string& help) {
    const auto read = [&target](const std::string& option, const std::string& text) {
        for (std::string& item : list_items(option, text)) target.push_back(std::move(item));
    };
    return add_read_option(cmd, name, help, "LIST", read)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(A_VALUE);
}

CLI::Option* add_integers(CLI::App* cmd, const std::string& name, std::set<std::int64_t>& target,
                          const std::string& help) {
    const auto read = [&target](const std::string& option, const std::string& text) {
        for (const std::string& item : list_items(option, text)) {
            target.insert(integer_value(option, item));
        }
    };
    return add_read_option(cmd, name, help, "LIST", read)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// The default shown in --help.
template <typename T>
CLI::Option* with_default(CLI::Option* option, const T& value) {
    return option->default_str(fmt::format("{}", value));
}

void add_output_options(CLI::App* cmd, Options& o, bool progress) {
    cmd->add_flag("--json", o.json, "Write the result as JSON");
    cmd->add_option("--color", o.color, "Colour the readable output: auto (on a terminal), always, never")
        ->check(CLI::IsMember({"auto", "always", "never"}))
        ->capture_default_str();
    if (progress) {
        cmd->add_option("--progress", o.progress,
                        "Progress line per operator on stderr: auto (on a terminal), always, never")
            ->check(CLI::IsMember({"auto", "always", "never"}))
            ->capture_default_str();
        cmd->add_flag("-v,--verbose", o.verbose, "Show the checks' debug log on stderr");
    }
}

// Where the configuration options come in --help: the run's settings, the bias check's, the
// fixtures' shape, the speed check's.
constexpr std::array<fe::ConfigGroup, 4> OPTION_ORDER{fe::ConfigGroup::base, fe::ConfigGroup::bias,
                                                      fe::ConfigGroup::fixture, fe::ConfigGroup::speed};

CLI::App* add_evaluate(CLI::App& app, Options& o) {
    CLI::App* ev = app.add_subcommand(
        "evaluate",
        "Judge filtration operators by the acceptance checks (default: all built-ins on the "
        "embedded demo signal set)");
    fe::FiltrationEvaluationConfig& c = o.config;
    add_names(ev, "--operators", o.operators,
              "Operators to judge, comma-separated, e.g. gt,top_n (default: all)");
    CLI::Option* signals =
        add_path(ev, "--signals", o.signals,
                 "Mock mode: signals JSON file {id: {metadata}} (- for standard input)");
    CLI::Option* db = add_path(ev, "--db", o.db, "Real mode: SQLite signal metadata database");
    CLI::Option* ids = add_text(ev, "--signal-ids", o.signal_ids,
                                "Real mode: ids a,b,c (as written) or @FILE (one per line, # comments; "
                                "@- for standard input)");
    CLI::Option* market = add_integer(ev, "--market-id", o.market_id, "Real mode: market identity");
    CLI::Option* era = add_integer(ev, "--era-number", o.era_number, "Real mode: era identity");
    signals->excludes(db);
    ids->needs(db);
    market->needs(db);
    era->needs(db);

    // The configuration fields the tool has options for, numbers with their defaults shown.
    for (const fe::ConfigField* field : fe::config_fields(OPTION_ORDER)) {
        if (field->option == nullptr) continue;
        visit_member(field->member, c, [&](auto& value) {
            using T = std::remove_cvref_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::int64_t>) {
                with_default(add_integer(ev, field->option, value, field->help), value);
            } else if constexpr (std::is_same_v<T, double>) {
                with_default(add_number(ev, field->option, value, field->help), value);
            } else if constexpr (std::is_same_v<T, std::set<std::int64_t>>) {
                add_integers(ev, field->option, value, field->help);
            } else if constexpr (std::is_same_v<T, fe::OperatorProperties>) {
                // Read into the configuration with the oracles (add_oracles), a complement may name one.
                ev->add_option(field->option, o.properties, field->help)->check(A_VALUE)->allow_extra_args(false);
            } else {
                throw std::logic_error(std::string("no option reader for ") + field->name);
            }
        });
    }
    add_path(ev, "--reproducers", o.reproducers,
             "Write a folder per failing comparison of the deterministic checks under DIR: a shrunk pool, a "
             "tree and the command that replays it");
    add_text(ev, "--replay-command", o.replay_command,
             "The command a reproducer's README gives, {pool} and {tree} standing for its files")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                const bool both = text.find("{pool}") != std::string::npos && text.find("{tree}") != std::string::npos;
                return both ? "" : "must contain {pool} and {tree}";
            },
            "TEMPLATE"))
        ->capture_default_str();
    add_path(ev, "--html", o.html, "Write a self-contained HTML report of the run to FILE");
    ev->add_flag("--strict", o.strict,
                 "Also run the strict checks (differential, relations, immutability, threads, growth, "
                 "validation) as plug-ins after the canonical ones");
    add_path(ev, "--junit", o.junit, "Write JUnit XML of the run to FILE: a test case per operator and check");
    ev->add_option("--reference", o.references,
                   "NAME=MODULE:ATTRIBUTE: the oracle the correctness check judges operator NAME against (its "
                   "cases are the oracle's selections); may be repeated")
        ->check(A_VALUE)
        ->allow_extra_args(false);
    add_path(ev, "--test-cases", o.test_cases,
             "Correctness cases from a JSON file {operator: [{pool, params, expected, children_results}, ...]}; "
             "a case without expected gets its operator's oracle's selection");
    add_output_options(ev, o, true);
    return ev;
}

const char* TREE_HELP =
    "Filter tree: a JSON file (- for standard input), or an inline expression such as "
    "'and_(gt(field=is_sharpe, value=0.0), top_pct(field=is_turnover, pct=0.1))'";

}  // namespace

namespace {

// The subcommands, to tell afterwards which one the command line chose.
struct Commands {
    CLI::App* evaluate;
    CLI::App* resolve;
    CLI::App* replay;
    CLI::App* products;
    CLI::App* flatten;
    CLI::App* db_init;
    CLI::App* db_import;
};

Commands add_commands(CLI::App& app, Options& o, const std::string& host_operator_help) {
    Commands c{};
    c.evaluate = add_evaluate(app, o);

    c.resolve = app.add_subcommand("resolve", "Evaluate a filter tree over a signal pool");
    add_path(c.resolve, "--pool", o.pool, "Signals JSON file {id: {metadata}} (- for standard input)")->required();
    add_path(c.resolve, "--tree", o.tree, TREE_HELP)->required();
    add_output_options(c.resolve, o, false);

    c.replay = app.add_subcommand("replay", "Call a tree's root operator once on a pool (a reproducer's call), "
                                            "without checking its name against the field types");
    add_path(c.replay, "--pool", o.pool, "Signals JSON file {id: {metadata}} (- for standard input)")->required();
    add_path(c.replay, "--tree", o.tree, TREE_HELP)->required();
    add_path(c.replay, "--expect", o.expect,
             "A reproducer folder's expect.json: make the call as its check did and exit 1 unless it does what "
             "the file expects");
    add_output_options(c.replay, o, false);
    // The commands that use the store take the host's operators.
    if (!host_operator_help.empty()) {
        for (CLI::App* cmd : {c.evaluate, c.resolve, c.replay})
            cmd->add_option("--operator", o.host_operator_specs, host_operator_help)->type_name("SPEC")->check(A_VALUE);
    }

    c.products = app.add_subcommand("products", "Select the prior-layer products that pass a filter tree");
    add_path(c.products, "--products", o.products, "Products JSON file {id: {product}} (- for standard input)")
        ->required();
    add_path(c.products, "--tree", o.tree, TREE_HELP)->required();
    add_text(c.products, "--type", o.product_type, "Layer being built: strategy, allocation or book")
        ->required()
        ->check(CLI::IsMember({"strategy", "allocation", "book"}));
    add_output_options(c.products, o, false);

    c.flatten = app.add_subcommand("flatten", "Merge in-sample, out-of-sample statistics and metadata into one mapping");
    add_path(c.flatten, "--is", o.is_stats, "In-sample statistics JSON object (- for standard input)")->required();
    add_path(c.flatten, "--os", o.os_stats, "Out-of-sample statistics JSON object (- for standard input)")->required();
    add_path(c.flatten, "--meta", o.meta, "Metadata JSON object (- for standard input)")->required();
    c.flatten->add_flag("--json", o.json, "Write the result as JSON");

    CLI::App* db = app.add_subcommand("db", "Create and fill the signal metadata database of real mode");
    db->require_subcommand(1);
    c.db_init = db->add_subcommand("init", "Create the database (and optionally import signals)");
    add_path(c.db_init, "--db", o.db, "SQLite database file")->required();
    CLI::Option* init_signals =
        add_path(c.db_init, "--signals", o.signals, "Signals JSON file to import (- for standard input)");
    CLI::Option* init_market = add_integer(c.db_init, "--market-id", o.market_id, "Market identity of the rows");
    CLI::Option* init_era = add_integer(c.db_init, "--era-number", o.era_number, "Era identity of the rows");
    init_signals->needs(init_market)->needs(init_era);
    init_market->needs(init_signals);
    init_era->needs(init_signals);
    c.db_init->add_flag("--json", o.json, "Write the result as JSON");
    c.db_import = db->add_subcommand("import", "Insert or replace the rows of a signals file");
    add_path(c.db_import, "--db", o.db, "SQLite database file (created by db init)")->required();
    add_path(c.db_import, "--signals", o.signals, "Signals JSON file {id: {metadata}} (- for standard input)")
        ->required();
    add_integer(c.db_import, "--market-id", o.market_id, "Market identity of the rows")->required();
    add_integer(c.db_import, "--era-number", o.era_number, "Era identity of the rows")->required();
    c.db_import->add_flag("--json", o.json, "Write the result as JSON");
    return c;
}

// Edit distance (insertions, deletions, substitutions, transpositions of neighbours).
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// "did you mean '--seed'?" for the first word of `args` that is no option or command of the
// command line but close to one (the chosen command's options first); empty when none is.
std::string did_you_mean(const CLI::App& app, const std::vector<std::string>& args) {
    const CLI::App* command = nullptr;
    std::vector<std::string> commands;
    for (const CLI::App* sub : app.get_subcommands({})) {
        commands.push_back(sub->get_name());
        for (const std::string& a : args) command = command == nullptr && a == sub->get_name() ? sub : command;
    }
    std::vector<std::string> options;
    const auto add_options = [&options](const CLI::App* from) {
        for (const CLI::Option* option : from->get_options({}))
            for (const std::string& name : option->get_lnames()) options.push_back("--" + name);
    };
    if (command != nullptr) add_options(command);
    for (const CLI::App* sub : app.get_subcommands({})) add_options(sub);
    add_options(&app);
    for (const std::string& arg : args) {
        const bool option = arg.starts_with("--");
        const std::string word = option ? arg.substr(0, arg.find('=')) : arg;
        const std::vector<std::string>& known = option ? options : commands;
        if (std::find(known.begin(), known.end(), word) != known.end()) continue;
        if (!option && (command != nullptr || word.starts_with("-"))) continue;  // an option's value
        const std::string* best = nullptr;
        std::size_t best_distance = 0;
        for (const std::string& name : known) {
            const std::size_t distance = edit_distance(word, name);
            if (best == nullptr || distance < best_distance) best = &name, best_distance = distance;
        }
        const std::size_t letters = word.size() - (option ? 2 : 0);
        if (best != nullptr && best_distance > 0 && best_distance <= std::max<std::size_t>(1, letters / 3))
            return "did you mean '" + *best + "'?";
    }
    return "";
}

// Parses the command line; an exit status when it ends the run (help shown, or a usage error).
std::optional<int> parse_command_line(CLI::App& app, const std::vector<std::string>& args, std::ostream& out,
                                      std::ostream& err) {
    std::vector<std::string> argv_text{"filtrations"};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            std::ostringstream help;
            std::ostringstream unused;
            app.exit(e, help, unused);
            std::string text = help.str();
            if (!text.empty() && text.back() != '\n') text += '\n';
            out << text << std::flush;
            return EXIT_OK;
        }
        err << "filtrations: error: " << escape_controls(e.what(), true) << "\n";
        if (const std::string hint = did_you_mean(app, args); !hint.empty()) err << escape_controls(hint, true) << "\n";
        err << "Run 'filtrations --help' (or 'filtrations COMMAND --help') for usage.\n";
        // The command line may not have parsed far enough to set the flag.
        if (std::find(args.begin(), args.end(), "--json") != args.end()) {
            // The class name: get_name() gives a subcommand's name for some errors.
            std::string kind = runtime::error_kind(e);
            if (kind.rfind("CLI::", 0) == 0) kind.erase(0, 5);
            out << json_text(error_value(kind, e.what())) << std::flush;
        }
        return EXIT_BAD_INPUT;
    }
}

// Runs the chosen command; its result goes to `out`, failures to `err` (and `out_stream` under
// --json).
int run_command(const Commands& commands, Options& o, const Terminal& terminal, std::string& out,
                std::ostream& out_stream, std::ostream& err) {
    ScopedSettings settings(err);
    if (o.verbose) settings.verbose();
    Context ctx;
    try {
        check_standard_input(o);
        if (commands.resolve->parsed()) return cmd_resolve(o, terminal, ctx, out, err);
        if (commands.replay->parsed()) return cmd_replay(o, ctx, out);
        if (commands.products->parsed()) return cmd_products(o, terminal, ctx, out, err);
        if (commands.flatten->parsed()) return cmd_flatten(o, ctx, out);
        if (commands.db_init->parsed()) return cmd_db_init(o, ctx, out);
        if (commands.db_import->parsed()) return cmd_db_import(o, ctx, out);
        return cmd_evaluate(o, terminal, settings, ctx, out, err);
    } catch (const runtime::Interrupt&) {
        throw;  // the host's interrupt ends the run, not as an error line
    } catch (const std::exception& e) {
        const Failure failure = describe_failure(e, ctx);
        err << "filtrations: error: " << escape_controls(failure.line, true) << "\n";
        if (!failure.context_lines.empty()) err << failure.context_lines << "\n";
        if (o.json) out_stream << json_text(error_value(failure.kind, failure.message)) << std::flush;
        out.clear();
        return EXIT_BAD_INPUT;
    }
}

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const Terminal& terminal) {
    return run(args, out, err, terminal, {});
}

int run(const std::vector<std::string>& args, std::ostream& out_stream, std::ostream& err, const Terminal& terminal,
        const std::vector<registry_and_store::StoreEntry>& host_operators, const std::string& host_command,
        const std::string& host_operator_help, const fe::OperatorReferences& host_references) {
    Options o;
    o.host_operators = &host_operators;
    o.host_references = &host_references;
    CLI::App app{"Filter signal pools and judge filtration operators. Without a command, runs "
                 "'evaluate' on the embedded demo signal set.",
                 "filtrations"};
    app.set_version_flag("--version", std::string(brindlecap::VERSION));
    app.require_subcommand(0, 1);
    app.footer("Exit status: 0 all accepted / something passes, 1 some operator rejected / "
               "nothing passes, 2 bad input.");
    const Commands commands = add_commands(app, o, host_operator_help);
    if (const std::optional<int> code = parse_command_line(app, args, out_stream, err)) return *code;

    o.has_signal_ids = commands.evaluate->count("--signal-ids") > 0;
    o.has_market_id = commands.evaluate->count("--market-id") > 0;
    o.has_era_number = commands.evaluate->count("--era-number") > 0;

    o.command_line = "filtrations";
    for (const std::string& a : args) o.command_line += " " + fe::shell_quote(a);
    if (!host_command.empty()) o.command_line = host_command;

    std::string out;
    const int code = run_command(commands, o, terminal, out, out_stream, err);
    if (code == EXIT_BAD_INPUT && out.empty()) return code;
    out_stream << out << std::flush;
    if (!out_stream) {
        err << "filtrations: error: cannot write the output\n";
        return EXIT_BAD_INPUT;
    }
    return code;
}

}  // namespace brindlecap::cli
