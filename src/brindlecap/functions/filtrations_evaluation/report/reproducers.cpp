// Reproducer folders: the shrunk pool, a tree that replays the check's call, both selections,
// their difference and a README with the replay command.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/checks/catalogue_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/vocabulary.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/recorded_run_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/shrink_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace detail {
namespace {

namespace fs = std::filesystem;

// A folder name from an operator name: letters, digits, '.', '-' and '_' kept (a leading '.'
// too, but as '_'), the rest '_'.
std::string folder_name(const std::string& name) {
    std::string out;
    for (const char c : name) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          (c == '.' && !out.empty()) || c == '-' || c == '_';
        out += keep ? c : '_';
    }
    return out.empty() ? "_" : out;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw runtime::RuntimeError("cannot write '" + path.string() + "'");
}

runtime::List id_list(const std::vector<std::string>& ids) {
    runtime::List out;
    for (const auto& id : ids) out.emplace_back(id);
    return out;
}

Value outcome_value(const Outcome& o) {
    if (o.ids) return Value::list(id_list(o.ids->sorted()));
    return Value(Dict{{"error", o.error_kind}, {"message", o.error_text}});
}

std::string error_line(const Outcome& o) { return o.error_text.empty() ? o.error_kind : o.error_kind + ": " + o.error_text; }

// Identifiers for a README line: none, or the first few and how many more.
std::string ids_text(const std::vector<std::string>& ids) {
    if (ids.empty()) return "none";
    constexpr std::size_t SHOWN = 12;
    std::string out;
    for (std::size_t i = 0; i < ids.size() && i < SHOWN; ++i) out += (i ? " " : "") + ids[i];
    if (ids.size() > SHOWN) out += " ... (" + std::to_string(ids.size()) + " in all)";
    return out;
}

std::string outcome_text(const Outcome& o) { return o.ids ? ids_text(o.ids->sorted()) : "raises " + error_line(o); }

std::string expectation_text(const Disagreement& d) {
    switch (d.expectation) {
        case Expectation::reference:
            return "the reference operator's selection on the same pool and parameters";
        case Expectation::fixed_set:
            return "the selection the check prescribes for these children (restricted to the pool)";
        case Expectation::excluded:
            return "any selection without " + ids_text(d.ids.sorted());
        case Expectation::no_error: {
            std::string text = "any selection, without an error";
            if (!d.allowed_errors.empty()) {
                text += " (allowed: ";
                for (std::size_t i = 0; i < d.allowed_errors.size(); ++i) text += (i ? ", " : "") + d.allowed_errors[i];
                text += ")";
            }
            return text;
        }
        case Expectation::repeat:
            return "the same selection as the previous call on the same input";
        case Expectation::related:
            return "what the relation " + std::string(d.related ? relation_name(d.related->relation) : "") +
                   " makes of the operator's own selection on this pool";
        case Expectation::raises:
            return "raises " + (d.allowed_errors.empty() ? std::string("an error") : d.allowed_errors.front());
        case Expectation::unchanged:
            return "parameters, children's sets and metadata as they were before the call";
        case Expectation::split:
            return "of the signals holding a " + std::string(to_string(d.held)) + " value, those its complement " +
                   d.complement + " leaves out (the two split them)";
    }
    return "";
}

// A relation's second call, in words, over the pool it was shrunk to.
std::string related_text(const Related& rel, const SignalPool& pool) {
    std::string text = std::string(relation_name(rel.relation)) + ": the same call ";
    std::vector<std::string> ids;
    if (const auto other = related_pool(rel, pool)) {
        for (const auto& [id, signal] : *other) ids.push_back(id);
    }
    switch (rel.relation) {
        case Relation::pool_order: return text + "on the signals in the order " + ids_text(ids);
        case Relation::renamed: return text + "on the signals renamed " + ids_text(ids);
        case Relation::subset: return text + "on only " + ids_text(ids);
        case Relation::superset: return text + "on " + ids_text(ids) + " (extra signals: " + std::to_string(rel.extra.size()) + ")";
        case Relation::fewer:
        case Relation::more:
            return text + "with parameters " + runtime::repr(Value(rel.params.copy())) +
                   (rel.relation == Relation::fewer ? " may select no signal more" : " may select no signal fewer");
        case Relation::commuted: return text + "with the children reversed";
        case Relation::doubled: return text + "with every child twice";
        case Relation::padded: return text + "with one more child, " + (rel.pad_all ? "every signal" : "none");
        case Relation::grouped: return text + "with the first two children replaced by the call on them";
    }
    return text;
}

// What a counterexample shows beside its call: the relation's second call, or what the call changed.
std::string detail_text(const Disagreement& d, const Replay& r, const SignalPool& pool) {
    if (d.expectation == Expectation::related && d.related) return "relation: " + related_text(*d.related, pool);
    if (d.expectation == Expectation::unchanged && !r.change.empty()) return "changed: " + r.change;
    if (d.expectation == Expectation::split) return "complement: the same call of " + d.complement;
    return "";
}

const char* expectation_name(Expectation e) {
    switch (e) {
        case Expectation::reference:
            return "reference";
        case Expectation::fixed_set:
            return "fixed_set";
        case Expectation::excluded:
            return "excluded";
        case Expectation::no_error:
            return "no_error";
        case Expectation::repeat:
            return "repeat";
        case Expectation::related:
            return "related";
        case Expectation::raises:
            return "raises";
        case Expectation::unchanged:
            return "unchanged";
        case Expectation::split:
            return "split";
    }
    return "";
}

// expected.json: the expected side, or what the expectation allows when it is no selection.
Value expected_value(const Disagreement& d, const Replay& r) {
    if (d.expectation == Expectation::no_error) {
        return Value(Dict{{"expectation", "any selection, without an error"},
                          {"allowed_errors", Value::list(id_list(d.allowed_errors))}});
    }
    if (d.expectation == Expectation::unchanged) {
        return Value(Dict{{"expectation", expectation_text(d)}, {"changed", r.change.empty() ? Value() : Value(r.change)}});
    }
    if (d.expectation == Expectation::excluded && !r.expected) {
        return Value(Dict{{"expectation", "any selection without these ids"}, {"ids", Value::list(id_list(d.ids.sorted()))}});
    }
    return r.expected ? outcome_value(*r.expected) : Value();
}

// A metadata key no signal of the pool uses, for the identifiers of a combinator's children.
std::string id_field(const Entries& pool) {
    std::string name = "reproducer_id";
    const auto used = [&](const std::string& key) {
        for (const Entry& e : pool) {
            if (e.metadata.contains(key)) return true;
        }
        return false;
    };
    while (used(name)) name = "_" + name;
    return name;
}

// The tree that makes resolve_filtrations repeat the check's call: the operator with the check's
// parameters; a combinator's children as in_ leaves over an identifier field of the pool.
FilterNode replay_tree(const Disagreement& d, const SignalPool& pool, const std::string& field) {
    if (!d.children) return FilterNode{d.op_name, d.params.deep_copy(), {}};
    std::vector<FilterNode> leaves;
    for (const IdSet& child : *d.children) {
        std::vector<std::string> ids;
        child.for_each([&](std::string_view id) {
            if (pool.contains(id)) ids.emplace_back(id);
        });
        std::sort(ids.begin(), ids.end());
        leaves.push_back(FilterNode{"in_", Dict{{"field", field}, {"values", Value::list(id_list(ids))}}, {}});
    }
    FilterNode node{d.op_name, d.params.deep_copy(), std::move(leaves)};
    for (int level = 1; level < d.nesting; ++level) node = FilterNode{d.op_name, d.params.deep_copy(), {std::move(node)}};
    return node;
}

// Child identifiers that no leaf can select: foreign to the check's pool.
bool children_hold_foreign_ids(const Disagreement& d) {
    if (!d.children) return false;
    for (const IdSet& child : *d.children) {
        bool foreign = false;
        child.for_each([&](std::string_view id) { foreign = foreign || !d.pool->contains(id); });
        if (foreign) return true;
    }
    return false;
}

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", s);
    return buf;
}

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

struct Written {
    ReproducerFolder folder;
    std::string expectation;
};

// A leaf whose tree resolve refuses: a field leaf under a name the vocabulary does not list.
bool refused_by_resolve(const Disagreement& d) {
    return !d.children && d.params.contains("field") && operator_category(d.op_name) == OperatorCategory::unknown;
}

// The front end's command for the one call: its word "resolve" replaced by "replay".
std::string call_command(const std::string& replay_command) {
    const std::string word = "resolve";
    for (std::size_t at = replay_command.find(word); at != std::string::npos; at = replay_command.find(word, at + 1)) {
        const bool starts = at == 0 || replay_command[at - 1] == ' ' || replay_command[at - 1] == '\'';
        const std::size_t end = at + word.size();
        const bool ends = end == replay_command.size() || replay_command[end] == ' ' || replay_command[end] == '\'';
        if (starts && ends) return replay_command.substr(0, at) + "replay" + replay_command.substr(end);
    }
    return replay_command;
}

Counterexample counterexample_of(const Disagreement& d, const Shrunk& shrunk) {
    Counterexample c;
    c.operator_name = d.op_name;
    c.check = d.check;
    c.label = d.label;
    c.params = d.params.deep_copy();
    std::set<std::string> kept;
    for (const Entry& e : shrunk.pool) {
        c.pool.set(e.id, e.metadata);
        kept.insert(e.id);
    }
    if (d.children) {
        for (const IdSet& child : *d.children) {
            std::vector<std::string> ids;
            for (std::string& id : child.sorted()) {
                if (kept.contains(id)) ids.push_back(std::move(id));
            }
            c.children.push_back(std::move(ids));
        }
    }
    c.original_signals = d.pool->size();
    c.expectation = expectation_text(d);
    const Replay& r = shrunk.outcome;
    if (d.expectation != Expectation::no_error && r.expected) {
        if (r.expected->ids) {
            c.expected = r.expected->ids->sorted();
        } else if (d.expectation != Expectation::raises) {
            c.expectation = "the reference raises " + error_line(*r.expected);
        }
    }
    if (r.selected.ids) {
        c.selected = r.selected.ids->sorted();
    } else {
        c.error = error_line(r.selected);
    }
    const Difference diff = difference_of(r);
    c.missing = diff.missing;
    c.extra = diff.extra;
    c.reproduced = shrunk.signature.has_value();
    c.detail = detail_text(d, r, pool_of(shrunk.pool));
    return c;
}

runtime::List entry_ids(const Entries& pool, const std::vector<std::string>& ids) {
    runtime::List out;
    for (const std::string& id : ids) {
        if (std::any_of(pool.begin(), pool.end(), [&](const Entry& e) { return e.id == id; })) out.emplace_back(id);
    }
    return out;
}

// expect.json: what a direct call must do, for `replay --expect` (replay_expectation reads it).
Value expect_value(const Disagreement& d, const Entries& pool) {
    Dict out{{"check", d.check}, {"case", d.label}, {"expectation", expectation_name(d.expectation)},
             {"direct", d.direct}, {"combinator", d.children.has_value()},
             {"nesting", static_cast<std::int64_t>(d.nesting)}};
    if (d.expectation == Expectation::fixed_set || d.expectation == Expectation::excluded) {
        out.set("ids", Value::list(entry_ids(pool, d.ids.sorted())));
    }
    if (!d.allowed_errors.empty()) out.set("allowed_errors", Value::list(id_list(d.allowed_errors)));
    if (d.expectation == Expectation::split) {
        out.set("complement", d.complement);
        out.set("held", std::string(to_string(d.held)));
    }
    if (d.related) {
        Dict extra;
        for (const auto& [id, metadata] : d.related->extra) extra.set(id, metadata);
        out.set("relation", Dict{{"name", relation_name(d.related->relation)},
                                 {"order", Value::list(entry_ids(pool, d.related->order))},
                                 {"prefix", d.related->prefix},
                                 {"extra", extra},
                                 {"params", d.related->params.copy()},
                                 {"pad_all", d.related->pad_all}});
    }
    return Value(std::move(out));
}

Written write_folder(const Disagreement& d, const fs::path& dir, const std::string& relative,
                     const std::string& replay_command, const ShrinkOptions& options) {
    const Shrunk shrunk = shrink(d, options);
    const fs::path folder = dir / fs::path(relative);
    fs::create_directories(folder);

    // The pool as written: a combinator's pool carries the identifier field its leaves select on.
    Entries written = shrunk.pool;
    const std::string field = id_field(written);
    if (d.children) {
        for (Entry& e : written) e.metadata.set(field, e.id);
    }
    Dict pool_dict;
    for (const Entry& e : written) pool_dict.set(e.id, e.metadata);
    const SignalPool pool = pool_of(shrunk.pool);

    const fs::path pool_path = folder / "pool.json";
    const fs::path tree_path = folder / "tree.json";
    write_file(pool_path, runtime::to_json(Value(pool_dict), 2) + "\n");
    write_file(tree_path, runtime::to_json(tree_to_value(replay_tree(d, pool, field)), 2) + "\n");

    const Replay& r = shrunk.outcome;
    const Difference diff = difference_of(r);
    write_file(folder / "expected.json", runtime::to_json(expected_value(d, r), 2) + "\n");
    write_file(folder / "selected.json", runtime::to_json(outcome_value(r.selected), 2) + "\n");
    write_file(folder / "difference.json",
               runtime::to_json(Value(Dict{{"missing", Value::list(id_list(diff.missing))},
                                           {"extra", Value::list(id_list(diff.extra))}}),
                                2) +
                   "\n");

    ReproducerFolder out;
    out.operator_name = d.op_name;
    out.check = d.check;
    out.label = d.label;
    out.relative_path = relative;
    out.path = folder;
    out.signals = shrunk.pool.size();
    out.original_signals = d.pool->size();
    out.missing = diff.missing;
    out.extra = diff.extra;
    if (r.selected.raised()) out.error = error_line(r.selected);
    out.reproduced = shrunk.signature.has_value();
    out.stopped_by_time_bound = shrunk.stopped_by_time_bound;
    // A direct call replays as the one call, checked against expect.json.
    std::string command = refused_by_resolve(d) || d.direct ? call_command(replay_command) : replay_command;
    if (d.direct) {
        const fs::path expect_path = folder / "expect.json";
        write_file(expect_path, runtime::to_json(expect_value(d, shrunk.pool), 2) + "\n");
        command += " --expect " + shell_quote(fs::absolute(expect_path).string());
    }
    out.replay = replace_all(replace_all(command, "{pool}", shell_quote(pool_path.string())), "{tree}",
                             shell_quote(tree_path.string()));
    out.counterexample = counterexample_of(d, shrunk);

    std::string readme = "# " + d.op_name + ": " + d.check + ", " + d.label + "\n\n";
    readme += "Call: " + d.op_name + " with parameters " + runtime::repr(Value(d.params));
    if (d.children) {
        const std::size_t n = d.children->size();
        readme += ", " + std::to_string(n) + (n == 1 ? " child" : " children") + " (in_ leaves over '" + field + "')";
    }
    if (d.nesting > 1) readme += ", nested " + std::to_string(d.nesting) + " levels deep";
    readme += ".\nExpected: " + expectation_text(d) + ".\n";
    if (!out.counterexample.detail.empty()) readme += out.counterexample.detail + ".\n";
    readme += "\n";
    if (d.expectation != Expectation::no_error && r.expected) {
        readme += "- expected: " + outcome_text(*r.expected) + "\n";
    }
    readme += "- selected: " + outcome_text(r.selected) + "\n";
    if (r.selected.ids && r.expected && r.expected->ids) {
        readme += "- missing (expected, not selected): " + ids_text(diff.missing) + "\n";
        readme += "- extra (selected, not expected): " + ids_text(diff.extra) + "\n";
    }
    readme += "\n";
    if (!out.reproduced) {
        readme += "Calling the operator again on the check's pool showed no disagreement";
        if (d.selected_seen) readme += " (the check saw it select " + ids_text(d.selected_seen->sorted()) + ")";
        readme += "; the pool is the check's own, not shrunk.\n";
    } else {
        readme += "Pool: " + plural(out.signals, "signal") + ", shrunk from " + std::to_string(out.original_signals) +
                  " (" + plural(shrunk.evaluations, "evaluation") + ", " + seconds_text(shrunk.seconds) + " s).\n";
        const Difference original = difference_of(shrunk.original);
        if (!original.missing.empty() || !original.extra.empty()) {
            readme += "On the check's pool: missing " + ids_text(original.missing) + "; extra " +
                      ids_text(original.extra) + ".\n";
        }
    }
    if (shrunk.stopped_by_time_bound) {
        readme += "Shrinking stopped at its time bound (" + seconds_text(options.seconds_per_failure) +
                  " s): the pool may not be minimal.\n";
    }
    if (shrunk.stopped_by_evaluation_bound) {
        readme += "Shrinking stopped after " + plural(options.max_evaluations, "evaluation") +
                  ": the pool may not be minimal.\n";
    }
    if (r.selected.raised() && r.selected.source == ErrorSource::validation) {
        readme += "The error comes before the operator runs (parameter checks or field preparation).\n";
    }
    if (shrunk.pool.empty()) {
        readme += "resolve refuses an empty pool (EmptyPoolError) before any operator runs; the check called "
                  "the operator on it directly.\n";
    }
    if (refused_by_resolve(d)) {
        readme += "resolve checks a leaf's field type against the built-in operator names and refuses '" + d.op_name +
                  "' as a leaf over a field; the replay command makes the one call instead (replay).\n";
    }
    if (children_hold_foreign_ids(d)) {
        readme += "The check's children held identifiers outside the pool; the in_ leaves cannot select them.\n";
    }
    if (d.direct) {
        readme += "The call skips the parameter checks of resolve (as the strict checks call operators); replay "
                  "--expect expect.json makes it so and says whether the call does what is expected (exit status 1 "
                  "when not).\n";
    }
    if (d.expectation == Expectation::repeat) {
        readme += "expected.json holds the first call's selection, selected.json the second's; replay twice to "
                  "compare.\n";
    }
    readme += "\nReplay: " + out.replay + "\n";
    write_file(folder / "README.md", readme);
    return Written{std::move(out), expectation_name(d.expectation)};
}

}  // namespace
}  // namespace detail

namespace detail {
std::vector<ReproducerFolder> write_all(const RunObservations& observations, const std::filesystem::path& dir,
                                        const std::string& replay_command, const ShrinkOptions& options);
}  // namespace detail

std::string shell_quote(const std::string& text) {
    bool plain = !text.empty();
    for (const char c : text) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          std::string_view("_-./:=@%+,").find(c) != std::string_view::npos;
        plain = plain && safe;
    }
    if (plain) return text;
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string counterexample_text(const Counterexample& c, const std::string& indent) {
    std::string out = indent + "counterexample (" + c.label + "), ";
    const std::size_t n = c.pool.size();
    out += c.reproduced ? detail::plural(n, "signal") + " shrunk from " + std::to_string(c.original_signals) + ":\n"
                        : "not shown again on a second call; the check's " + detail::plural(n, "signal") + ":\n";
    out += indent + "  call: " + c.operator_name + "(";
    std::size_t i = 0;
    for (const auto& [key, value] : c.params) out += (i++ ? ", " : "") + runtime::str(key) + "=" + runtime::repr(value);
    out += ")";
    if (!c.children.empty()) {
        out += " with children";
        for (std::size_t k = 0; k < c.children.size(); ++k) {
            out += (k ? ", [" : " [") + detail::ids_text(c.children[k]) + "]";
        }
    }
    out += "\n";
    if (!c.detail.empty()) out += indent + "  " + c.detail + "\n";
    constexpr std::size_t SHOWN = 5;
    std::size_t shown = 0;
    for (const auto& [id, metadata] : c.pool) {
        if (shown++ == SHOWN) {
            out += indent + "  ... and " + std::to_string(n - SHOWN) + " more\n";
            break;
        }
        std::string text = runtime::repr(metadata);
        if (text.size() > 160) text = text.substr(0, 157) + "...";
        out += indent + "  " + runtime::str(id) + ": " + text + "\n";
    }
    out += indent + "  expected: " + (c.expected ? detail::ids_text(*c.expected) : c.expectation) + "\n";
    out += indent + "  got: " + (c.selected ? detail::ids_text(*c.selected) : "raises " + c.error) + "\n";
    return out;
}

std::vector<Counterexample> shrink_counterexamples(const RunObservations& observations, const ShrinkOptions& options) {
    std::vector<Counterexample> out;
    for (const auto& [op_name, seen] : observations.data().operators) {
        std::set<std::string> done;
        for (const detail::Disagreement& d : seen.disagreements) {
            const detail::CheckDescriptor* check = detail::catalogue_check(d.check);
            if (check == nullptr || !check->writes_reproducers || !done.insert(d.check).second) continue;
            out.push_back(detail::counterexample_of(d, detail::shrink(d, options)));
        }
    }
    return out;
}

std::vector<Counterexample> counterexamples_of(const std::vector<ReproducerFolder>& folders) {
    std::vector<Counterexample> out;
    std::set<std::pair<std::string, std::string>> done;
    for (const ReproducerFolder& f : folders) {
        if (done.emplace(f.operator_name, f.check).second) out.push_back(f.counterexample);
    }
    return out;
}

IdSet replay_call(const SignalPool& pool, const FilterNode& call, const registry_and_store::FunctionStore& store) {
    const Operator op = detail::load_operator(store, call.function_name);
    if (call.children.empty()) return detail::dispatch_op(call.function_name, op, pool, call.params);
    std::vector<IdSet> children;
    for (const FilterNode& child : call.children) {
        std::vector<FilterDiagnostic> diagnostics;
        children.push_back(detail::evaluate_node(child, pool, store, diagnostics));
    }
    return detail::dispatch_op(call.function_name, op, pool, call.params, children);
}

ReplayVerdict replay_expectation(const SignalPool& pool, const FilterNode& call, const Value& expect,
                                 const registry_and_store::FunctionStore& store) {
    using namespace detail;
    const Dict& e = expect.as_dict();
    Disagreement d;
    d.check = e.get("check", Value("")).as_str();
    d.label = e.get("case", Value("")).as_str();
    d.op_name = call.function_name;
    d.op = load_operator(store, call.function_name);
    d.pool = std::make_shared<const SignalPool>(pool_of(entries_of(pool)));
    d.params = call.params.deep_copy();
    if (e.get("combinator", Value(false)).as_bool() || !call.children.empty()) {
        d.children.emplace();
        for (const FilterNode& child : call.children) {
            std::vector<FilterDiagnostic> diagnostics;
            d.children->push_back(evaluate_node(child, *d.pool, store, diagnostics));
        }
    }
    d.nesting = static_cast<int>(e.get("nesting", Value(1)).as_int());
    d.direct = e.get("direct", Value(false)).as_bool();
    const std::string& kind = e.at("expectation").as_str();
    bool known = false;
    for (const Expectation x : {Expectation::fixed_set, Expectation::excluded, Expectation::no_error,
                                Expectation::related, Expectation::raises, Expectation::unchanged,
                                Expectation::split}) {
        if (kind == expectation_name(x)) d.expectation = x, known = true;
    }
    if (!known) throw runtime::ValueError("expect: cannot replay the expectation '" + kind + "' on its own");
    d.ids = IdSet::over(d.pool->index());
    const Value ids = e.get("ids", Value::list({}));
    for (const Value& id : ids.as_list()) d.ids.insert(id.as_str());
    if (d.expectation == Expectation::split) {
        d.complement = e.at("complement").as_str();
        d.reference = load_operator(store, d.complement);
        const std::string& held = e.at("held").as_str();
        const std::optional<FieldType> type = parse_field_type(held);
        if (!type) throw runtime::ValueError("expect: unknown field type '" + held + "'");
        d.held = *type;
    }
    const Value allowed = e.get("allowed_errors", Value::list({}));
    for (const Value& error : allowed.as_list()) d.allowed_errors.push_back(error.as_str());
    if (const Value* rel = e.find(std::string_view("relation"))) {
        const Dict& r = rel->as_dict();
        Related related;
        bool named = false;
        for (int k = 0; k <= static_cast<int>(Relation::grouped); ++k) {
            if (r.at("name").as_str() == relation_name(static_cast<Relation>(k))) related.relation = static_cast<Relation>(k), named = true;
        }
        if (!named) throw runtime::ValueError("expect: unknown relation '" + r.at("name").as_str() + "'");
        for (const Value& id : r.at("order").as_list()) related.order.push_back(id.as_str());
        related.prefix = r.at("prefix").as_str();
        for (const auto& [id, metadata] : r.at("extra").as_dict()) related.extra.emplace_back(id.as_str(), metadata.as_dict().deep_copy());
        related.params = r.at("params").as_dict().deep_copy();
        related.pad_all = r.at("pad_all").as_bool();
        d.related = std::move(related);
    }

    const Replay r = replay(d, *d.pool);
    ReplayVerdict out;
    out.holds = !signature_of(d, r).has_value();
    out.text = "Expected: " + expectation_text(d) + ".\n";
    const std::string detail = detail_text(d, r, *d.pool);
    if (!detail.empty()) out.text += detail + "\n";
    if (r.expected && d.expectation != Expectation::no_error) out.text += "- expected: " + outcome_text(*r.expected) + "\n";
    out.text += "- selected: " + outcome_text(r.selected) + "\n";
    out.text += out.holds ? "holds\n" : "does not hold\n";
    return out;
}

void check_reproducer_directory(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(dir, ec);
    if (!fs::exists(status)) return;
    const std::string shown = "'" + dir.string() + "'";
    if (!fs::is_directory(status)) {
        throw runtime::FileExistsError("cannot write reproducers into " + shown + ": it is not a directory");
    }
    if (fs::exists(dir / REPRODUCER_DIRECTORY_MARKER, ec) || fs::is_empty(dir, ec)) return;
    throw runtime::FileExistsError("refusing to write reproducers into " + shown +
                                   ": it is not empty and has no " + REPRODUCER_DIRECTORY_MARKER +
                                   " file, which marks a directory of earlier reproducers; give a new or empty "
                                   "directory");
}

std::vector<ReproducerFolder> write_reproducers(const RunObservations& observations, const std::filesystem::path& dir,
                                                const std::string& replay_command, const ShrinkOptions& options) {
    try {
        return detail::write_all(observations, dir, replay_command, options);
    } catch (const std::filesystem::filesystem_error& e) {
        throw runtime::RuntimeError("cannot write reproducers under '" + dir.string() + "': " + e.code().message());
    }
}

namespace detail {

namespace {

// A folder of an index entry: "<operator>/<check>-<n>", the operator a folder name of its own
// (nothing that leaves dir), the check lower-case letters and '_'.
bool is_folder_path(const std::string& relative) {
    const std::size_t slash = relative.find('/');
    const std::size_t dash = relative.rfind('-');
    if (slash == std::string::npos || slash == 0 || dash == std::string::npos || dash < slash + 2 ||
        dash + 1 == relative.size()) {
        return false;
    }
    const std::string op = relative.substr(0, slash);
    const auto is = [&](std::size_t from, std::size_t to, std::string_view chars) {
        return relative.substr(from, to - from).find_first_not_of(chars) == std::string::npos;
    };
    return op.front() != '.' && folder_name(op) == op && is(slash + 1, dash, "abcdefghijklmnopqrstuvwxyz_") &&
           is(dash + 1, relative.size(), "0123456789");
}

// The folders the earlier run listed in dir/index.json (none when it cannot be read).
std::set<std::string> earlier_folders(const std::filesystem::path& dir) {
    std::set<std::string> out;
    try {
        const Value index = runtime::read_json_file((dir / "index.json").string());
        for (const Value& entry : index.as_dict().at("reproducers").as_list()) {
            const std::string& folder = entry.as_dict().at("folder").as_str();
            if (is_folder_path(folder)) out.insert(folder);
        }
    } catch (const runtime::Exception&) {
        out.clear();  // no index, or not one of ours: nothing counts as the earlier run's
    }
    return out;
}

}  // namespace

std::vector<ReproducerFolder> write_all(const RunObservations& observations, const std::filesystem::path& dir,
                                        const std::string& replay_command, const ShrinkOptions& options) {
    namespace fs = std::filesystem;
    check_reproducer_directory(dir);
    std::error_code ec;
    const std::set<std::string> earlier =
        fs::exists(dir / REPRODUCER_DIRECTORY_MARKER, ec) ? earlier_folders(dir) : std::set<std::string>{};
    std::set<std::string> earlier_operators;
    for (const std::string& folder : earlier) earlier_operators.insert(folder.substr(0, folder.find('/')));

    // Every folder's place (the failing comparisons of the checks whose catalogue row says they
    // write reproducers), and nothing in the way that the earlier run did not write.
    std::vector<std::pair<const Disagreement*, std::string>> planned;
    std::set<std::string> used;
    for (const auto& [op_name, seen] : observations.data().operators) {
        std::string name = folder_name(op_name);
        for (int k = 2; !used.insert(name).second; ++k) name = folder_name(op_name) + "-" + std::to_string(k);
        std::map<std::string, int> per_check;
        for (const Disagreement& d : seen.disagreements) {
            const CheckDescriptor* check = catalogue_check(d.check);
            if (check == nullptr || !check->writes_reproducers) continue;
            const std::string relative = name + "/" + d.check + "-" + std::to_string(++per_check[d.check]);
            for (const auto& [taken, ours] : {std::pair{name, earlier_operators.count(name) > 0},
                                              std::pair{relative, earlier.count(relative) > 0}}) {
                if (!ours && fs::exists(fs::symlink_status(dir / taken, ec))) {
                    throw runtime::FileExistsError("refusing to write reproducers into '" + (dir / taken).string() +
                                                   "': it is not a folder of the earlier run (not listed in '" +
                                                   (dir / "index.json").string() + "')");
                }
            }
            planned.emplace_back(&d, relative);
        }
    }

    fs::create_directories(dir);
    if (!fs::exists(dir / REPRODUCER_DIRECTORY_MARKER, ec)) {
        write_file(dir / REPRODUCER_DIRECTORY_MARKER,
                   "Written by write_reproducers (filtrations evaluate --reproducers). The next run into this "
                   "directory replaces the folders its index.json lists, and nothing else.\n");
    }
    for (const std::string& folder : earlier) {
        if (fs::is_directory(fs::symlink_status(dir / folder, ec))) fs::remove_all(dir / folder);
    }
    for (const std::string& name : earlier_operators) {
        if (fs::is_directory(dir / name, ec) && fs::is_empty(dir / name, ec)) fs::remove(dir / name);
    }

    std::vector<ReproducerFolder> folders;
    runtime::List index;
    for (const auto& [d, relative] : planned) {
        Written w = write_folder(*d, dir, relative, replay_command, options);
        const ReproducerFolder& f = w.folder;
        index.emplace_back(Dict{
            {"operator", f.operator_name},
            {"check", f.check},
            {"case", f.label},
            {"expectation", w.expectation},
            {"folder", f.relative_path},
            {"signals", static_cast<std::int64_t>(f.signals)},
            {"original_signals", static_cast<std::int64_t>(f.original_signals)},
            {"missing", Value::list(id_list(f.missing))},
            {"extra", Value::list(id_list(f.extra))},
            {"error", f.error.empty() ? Value() : Value(f.error)},
            {"reproduced", f.reproduced},
            {"stopped_by_time_bound", f.stopped_by_time_bound},
            {"replay", f.replay},
        });
        folders.push_back(std::move(w.folder));
    }
    write_file(dir / "index.json",
               runtime::to_json(Value(Dict{{"reproducers", Value::list(std::move(index))}}), 2) + "\n");

    std::string readme = "# Reproducers\n\n";
    if (folders.empty()) readme += "No failing comparison in the deterministic checks.\n";
    for (const ReproducerFolder& f : folders) {
        readme += "- " + f.relative_path + ": " + f.operator_name + ", " + f.check + ", " + f.label + " (" +
                  plural(f.signals, "signal") + ")\n";
    }
    write_file(dir / "README.md", readme);
    return folders;
}

}  // namespace detail

}  // namespace brindlecap::functions::filtrations_evaluation
