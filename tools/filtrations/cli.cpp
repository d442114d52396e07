#include "cli.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <ostream>
#include <utility>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/flatten.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/flatten_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/evaluate.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/fields_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/log.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/warnings.hpp"
#include "demo_signals.hpp"
#include "inputs.hpp"
#include "output.hpp"

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
    std::vector<std::int64_t> skip;
    std::vector<std::int64_t> info;
    std::string signals;
    std::string db;
    std::string signal_ids;
    std::int64_t market_id = 0;
    std::int64_t era_number = 0;
    bool has_market_id = false;
    bool has_era_number = false;

    // resolve / products / flatten
    std::string pool;
    std::string tree;
    std::string products;
    std::string product_type;
    std::string is_stats;
    std::string os_stats;
    std::string meta;

    const std::vector<registry_and_store::StoreEntry>* host_operators = nullptr;
};

// Where a failure happened, for the error line ("resolving tree 'x' over pool 'y'").
struct Context {
    std::string where;
};

// Process-wide settings the commands change, put back when the command ends.
class ScopedSettings {
public:
    explicit ScopedSettings(std::ostream& err) {
        previous_handler_ = runtime::set_warning_handler([&err](const runtime::Warning& w) {
            err << "filtrations: warning: " << w.message << "\n";
        });
    }
    ~ScopedSettings() {
        runtime::set_warning_handler(std::move(previous_handler_));
        if (store_) eu::configure_signal_metadata_store(*store_);
        if (query_) eu::set_signal_metadata_query(std::move(*query_));
        if (verbose_) runtime::set_log_level(runtime::LogLevel::Warning);
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
        runtime::set_log_level(runtime::LogLevel::Debug);
    }

private:
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
    return std::filesystem::exists(arg, ec) ? "tree '" + arg + "'" : "the inline tree";
}

// ---- evaluate ------------------------------------------------------------------------------------

int cmd_evaluate(Options& o, const Terminal& terminal, ScopedSettings& settings, Context& ctx,
                 std::string& out, std::ostream& err) {
    fe::FiltrationEvaluationConfig& cfg = o.config;
    cfg.skip_checks.insert(o.skip.begin(), o.skip.end());
    cfg.info_checks.insert(o.info.begin(), o.info.end());

    std::string source;
    if (!o.db.empty()) {
        cfg.mode = "real";
        if (!o.signal_ids.empty()) cfg.signal_ids = load_signal_ids(o.signal_ids);
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
            err << fmt::format("[{:>{}}/{}] {} {} ({})\n", done, digits, total, name,
                               verdict.accepted ? "accepted" : "rejected", took)
                << std::flush;
        };
    }

    registry_and_store::FunctionStore store = registry_and_store::build_default_store();
    if (o.host_operators != nullptr)
        for (const auto& entry : *o.host_operators) store.register_entry(entry);
    ctx.where = "evaluate";
    const fe::FiltrationEvaluationResult result = fe::evaluate(cfg, std::move(operator_configs), store);

    bool all_accepted = true;
    for (const auto& [name, verdict] : result.operator_results) all_accepted = all_accepted && verdict.accepted;

    if (o.json) {
        out = json_text(evaluation_result_value(result));
    } else {
        out = fmt::format("{} operators, {} signals from {} ({} mode), seed {}\n\n",
                          result.operator_results.size(), result.config.N_signals, source,
                          *result.config.mode, result.config.seed);
        out += render_verdict_matrix(result, info_check_names(result.config), use_color(o, terminal));
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
    err << "filtrations: " << e.message() << "\n";
    return EXIT_REJECTED;
}

int cmd_resolve(const Options& o, const Terminal& terminal, Context& ctx, std::string& out,
                std::ostream& err) {
    const Dict signals = load_signals_file(o.pool);
    const FilterNode tree = load_tree_argument(o.tree);
    const fe::SignalPool pool = pool_from_signals(signals);
    const registry_and_store::FunctionStore store = registry_and_store::build_default_store();
    ctx.where = "resolving " + describe_tree(o.tree) + " over pool '" + o.pool + "'";
    try {
        const fe::FiltrationResult result = fe::resolve_filtrations(pool, tree, store);
        out = o.json ? json_text(resolve_result_value(result))
                     : render_resolve(tree, result, use_color(o, terminal));
        return EXIT_OK;
    } catch (const fe::EmptyFiltrationError& e) {
        return empty_outcome(o, terminal, tree, e, out, err);
    }
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

int cmd_db_init(const Options& o, Context& ctx, std::string& out) {
    std::optional<Dict> signals;
    if (!o.signals.empty()) signals = load_signals_file(o.signals);
    std::error_code ec;
    const bool existed = std::filesystem::exists(o.db, ec);
    ctx.where = "signal metadata database '" + o.db + "'";
    eu::create_signal_metadata_db(o.db);
    if (!signals) {
        out = (existed ? "signal metadata database ready: " : "created signal metadata database ") + o.db + "\n";
        return EXIT_OK;
    }
    try {
        const std::size_t n = eu::import_signal_metadata(o.db, *signals, o.market_id, o.era_number);
        out = fmt::format("created {} with {} signals (market {}, era {})\n", o.db, n, o.market_id,
                          o.era_number);
    } catch (...) {
        // The import is all or nothing; a database created for it goes too.
        if (!existed) std::filesystem::remove(o.db, ec);
        throw;
    }
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
    const std::size_t n = eu::import_signal_metadata(o.db, signals, o.market_id, o.era_number);
    out = fmt::format("imported {} signals into {} (market {}, era {})\n", n, o.db, o.market_id,
                      o.era_number);
    return EXIT_OK;
}

// ---- command line --------------------------------------------------------------------------------

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

CLI::App* add_evaluate(CLI::App& app, Options& o) {
    CLI::App* ev = app.add_subcommand(
        "evaluate",
        "Judge filtration operators by the acceptance checks (default: all built-ins on the "
        "embedded demo signal set)");
    fe::FiltrationEvaluationConfig& c = o.config;
    ev->add_option("--operators", o.operators, "Operators to judge, e.g. gt,top_n (default: all)")
        ->delimiter(',');
    CLI::Option* signals =
        ev->add_option("--signals", o.signals, "Mock mode: signals JSON file {id: {metadata}}");
    CLI::Option* db = ev->add_option("--db", o.db, "Real mode: SQLite signal metadata database");
    CLI::Option* ids =
        ev->add_option("--signal-ids", o.signal_ids, "Real mode: ids a,b,c or @FILE (one per line)");
    CLI::Option* market = ev->add_option("--market-id", o.market_id, "Real mode: market identity");
    CLI::Option* era = ev->add_option("--era-number", o.era_number, "Real mode: era identity");
    signals->excludes(db);
    ids->needs(db);
    market->needs(db);
    era->needs(db);

    ev->add_option("--seed", c.seed, "Seed of every random generator")->capture_default_str();
    ev->add_option("--skip", o.skip, "Check numbers not to run, e.g. 6,8")->delimiter(',');
    ev->add_option("--info", o.info, "Check numbers that run but do not count, e.g. 7")->delimiter(',');
    ev->add_option("--n-trials", c.N_trials, "Trials of the bias check (>= 10)")->capture_default_str();
    ev->add_option("--bias-tolerance", c.bias_tolerance, "Tolerance of the bias check, in (0, 1)")
        ->capture_default_str();
    ev->add_option("--t", c.T, "Time steps of every fixture weights matrix")->capture_default_str();
    ev->add_option("--n-alloc", c.N_alloc, "Allocation columns of every fixture weights matrix")
        ->capture_default_str();
    ev->add_option("--speed-small-t", c.speed_small_T, "Time steps of the small speed pool")
        ->capture_default_str();
    ev->add_option("--speed-small-n", c.speed_small_N, "Signals of the small speed pool")
        ->capture_default_str();
    ev->add_option("--speed-small-limit-s", c.speed_small_limit_s, "Time limit of the small speed pool, s")
        ->capture_default_str();
    ev->add_option("--speed-large-t", c.speed_large_T, "Time steps of the large speed pool")
        ->capture_default_str();
    ev->add_option("--speed-large-n", c.speed_large_N, "Signals of the large speed pool")
        ->capture_default_str();
    ev->add_option("--speed-large-limit-s", c.speed_large_limit_s, "Time limit of the large speed pool, s")
        ->capture_default_str();
    add_output_options(ev, o, true);
    return ev;
}

const char* TREE_HELP =
    "Filter tree: a JSON file, or an inline expression such as "
    "'and_(gt(field=is_sharpe, value=0.0), top_pct(field=is_turnover, pct=0.1))'";

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const Terminal& terminal) {
    return run(args, out, err, terminal, {});
}

int run(const std::vector<std::string>& args, std::ostream& out_stream, std::ostream& err, const Terminal& terminal,
        const std::vector<registry_and_store::StoreEntry>& host_operators) {
    Options o;
    o.host_operators = &host_operators;
    CLI::App app{"Filter signal pools and judge filtration operators. Without a command, runs "
                 "'evaluate' on the embedded demo signal set.",
                 "filtrations"};
    app.set_version_flag("--version", BRINDLECAP_VERSION);
    app.require_subcommand(0, 1);
    app.footer("Exit status: 0 all accepted / something passes, 1 some operator rejected / "
               "nothing passes, 2 bad input.");

    CLI::App* evaluate = add_evaluate(app, o);

    CLI::App* resolve = app.add_subcommand("resolve", "Evaluate a filter tree over a signal pool");
    resolve->add_option("--pool", o.pool, "Signals JSON file {id: {metadata}}")->required();
    resolve->add_option("--tree", o.tree, TREE_HELP)->required();
    add_output_options(resolve, o, false);

    CLI::App* products = app.add_subcommand(
        "products", "Select the prior-layer products that pass a filter tree");
    products->add_option("--products", o.products, "Products JSON file {id: {product}}")->required();
    products->add_option("--tree", o.tree, TREE_HELP)->required();
    products->add_option("--type", o.product_type, "Layer being built: strategy, allocation or book")
        ->required()
        ->check(CLI::IsMember({"strategy", "allocation", "book"}));
    add_output_options(products, o, false);

    CLI::App* flatten = app.add_subcommand(
        "flatten", "Merge in-sample, out-of-sample statistics and metadata into one mapping");
    flatten->add_option("--is", o.is_stats, "In-sample statistics JSON object")->required();
    flatten->add_option("--os", o.os_stats, "Out-of-sample statistics JSON object")->required();
    flatten->add_option("--meta", o.meta, "Metadata JSON object")->required();
    flatten->add_flag("--json", o.json, "Write the result as JSON");

    CLI::App* db = app.add_subcommand("db", "Create and fill the signal metadata database of real mode");
    db->require_subcommand(1);
    CLI::App* init = db->add_subcommand("init", "Create the database (and optionally import signals)");
    init->add_option("--db", o.db, "SQLite database file")->required();
    CLI::Option* init_signals = init->add_option("--signals", o.signals, "Signals JSON file to import");
    CLI::Option* init_market = init->add_option("--market-id", o.market_id, "Market identity of the rows");
    CLI::Option* init_era = init->add_option("--era-number", o.era_number, "Era identity of the rows");
    init_signals->needs(init_market)->needs(init_era);
    init_market->needs(init_signals);
    init_era->needs(init_signals);
    CLI::App* import = db->add_subcommand("import", "Insert or replace the rows of a signals file");
    import->add_option("--db", o.db, "SQLite database file (created by db init)")->required();
    import->add_option("--signals", o.signals, "Signals JSON file {id: {metadata}}")->required();
    import->add_option("--market-id", o.market_id, "Market identity of the rows")->required();
    import->add_option("--era-number", o.era_number, "Era identity of the rows")->required();

    std::vector<std::string> argv_text{"filtrations"};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            std::ostringstream help;
            std::ostringstream unused;
            app.exit(e, help, unused);
            std::string text = help.str();
            if (!text.empty() && text.back() != '\n') text += '\n';
            out_stream << text << std::flush;
            return EXIT_OK;
        }
        err << "filtrations: error: " << e.what() << "\n"
            << "Run 'filtrations --help' (or 'filtrations COMMAND --help') for usage.\n";
        // The command line may not have parsed far enough to set the flag.
        if (std::find(args.begin(), args.end(), "--json") != args.end()) {
            out_stream << json_text(error_value(e.get_name(), e.what())) << std::flush;
        }
        return EXIT_BAD_INPUT;
    }

    o.has_market_id = evaluate->count("--market-id") > 0;
    o.has_era_number = evaluate->count("--era-number") > 0;

    ScopedSettings settings(err);
    if (o.verbose) settings.verbose();
    Context ctx;
    std::string out;
    int code = EXIT_OK;
    try {
        if (resolve->parsed()) {
            code = cmd_resolve(o, terminal, ctx, out, err);
        } else if (products->parsed()) {
            code = cmd_products(o, terminal, ctx, out, err);
        } else if (flatten->parsed()) {
            code = cmd_flatten(o, ctx, out);
        } else if (init->parsed()) {
            code = cmd_db_init(o, ctx, out);
        } else if (import->parsed()) {
            code = cmd_db_import(o, ctx, out);
        } else {
            code = cmd_evaluate(o, terminal, settings, ctx, out, err);
        }
    } catch (const runtime::Interrupt&) {
        throw;
    } catch (const std::exception& e) {
        const std::string kind = runtime::error_kind(e);
        const std::string text = runtime::error_text(e);
        const auto* input = dynamic_cast<const InputError*>(&e);
        std::string line = "filtrations: error: ";
        if (input == nullptr && !ctx.where.empty()) line += ctx.where + ": ";
        line += input != nullptr ? text : kind + ": " + text;
        err << line << "\n";
        if (input != nullptr && !input->context_lines.empty()) err << input->context_lines << "\n";
        if (o.json) out_stream << json_text(error_value(kind, text)) << std::flush;
        return EXIT_BAD_INPUT;
    }
    out_stream << out << std::flush;
    if (!out_stream) {
        err << "filtrations: error: cannot write the output\n";
        return EXIT_BAD_INPUT;
    }
    return code;
}

}  // namespace brindlecap::cli
