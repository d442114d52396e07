#include "output.hpp"

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "brindlecap/functions/filtrations_evaluation/core/id_set_object_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins_internal.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::cli {

using functions::filtrations_evaluation::config_fields;
using functions::filtrations_evaluation::ConfigField;
using functions::filtrations_evaluation::CorrectnessTestCase;
using functions::filtrations_evaluation::detail::IdSetObject;
using functions::filtrations_evaluation::OperatorCheckResult;
using functions::filtrations_evaluation::OperatorReferences;
using functions::filtrations_evaluation::UsefulSignal;
using runtime::Dict;
using runtime::List;
using runtime::Value;

namespace {

constexpr const char* RESET = "\033[0m";
constexpr const char* BOLD = "\033[1m";
constexpr const char* GREEN = "\033[32m";
constexpr const char* RED = "\033[1;31m";
constexpr const char* DIM = "\033[2m";

std::string paint(const std::string& text, const char* code, bool color) {
    return color ? code + text + RESET : text;
}

// Columns of `text`, one per code point (names and marks are ASCII or short UTF-8 words).
std::size_t display_width(const std::string& text) {
    std::size_t cols = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++cols;
    }
    return cols;
}

// Pads to `width` display columns.
std::string pad(const std::string& text, std::size_t width) {
    const std::size_t cols = display_width(text);
    return cols >= width ? text : text + std::string(width - cols, ' ');
}

Value sorted_ints(const std::set<std::int64_t>& numbers) {
    List out;
    for (const std::int64_t n : numbers) out.emplace_back(n);  // std::set is ascending
    return Value::list(std::move(out));
}

Value id_list(const std::vector<std::string>& ids) {
    List out;
    out.reserve(ids.size());
    for (const std::string& id : ids) out.emplace_back(id);
    return Value::list(std::move(out));
}

Value test_case_value(const CorrectnessTestCase& tc) {
    Dict d;
    if (tc.pool) {
        Dict pool;
        for (const auto& [id, entry] : *tc.pool) {
            if (const auto* signal = std::get_if<UsefulSignal>(&entry)) {
                pool.set(Value(id), signal->metadata ? Value(signal->metadata) : Value());
            } else {
                pool.set(Value(id), Value(std::get<Dict>(entry)));
            }
        }
        d.set("pool", Value(std::move(pool)));
    } else {
        d.set("pool", Value());
    }
    d.set("params", tc.params ? Value(*tc.params) : Value());
    d.set("expected", tc.expected ? id_list(tc.expected->sorted()) : Value());
    if (tc.children_results) {
        List children;
        for (const auto& ids : *tc.children_results) children.push_back(id_list(ids.sorted()));
        d.set("children_results", Value::list(std::move(children)));
    } else {
        d.set("children_results", Value());
    }
    return json_safe(Value(std::move(d)));
}

std::string status_mark(const std::string& status) {
    if (status == "fail") return "FAIL";
    return status;
}

const char* status_color(const std::string& status) {
    if (status == "pass") return GREEN;
    if (status == "fail") return RED;
    return DIM;
}

}  // namespace

// ---- JSON -------------------------------------------------------------------------------------

Value json_safe(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::list: {
            List out;
            out.reserve(v.as_list().size());
            for (const Value& item : v.as_list()) out.push_back(json_safe(item));
            return Value::list(std::move(out));
        }
        case Value::Kind::dict: {
            Dict out;
            for (const auto& [key, item] : v.as_dict()) {
                const bool plain_key = key.is_str() || key.is_number() || key.is_bool() || key.is_none();
                out.set(plain_key ? key : Value(runtime::str(key)), json_safe(item));
            }
            return Value(std::move(out));
        }
        case Value::Kind::object: {
            if (const auto* ids = dynamic_cast<const IdSetObject*>(&v.as_object())) {
                return id_list(ids->ids.sorted());
            }
            return Value(runtime::repr(v));
        }
        default:
            return v;
    }
}

std::string json_text(const Value& v) { return runtime::to_json(v, 2) + "\n"; }

Value diagnostics_value(const std::vector<FilterDiagnostic>& diagnostics) {
    List out;
    out.reserve(diagnostics.size());
    for (const FilterDiagnostic& d : diagnostics) {
        out.emplace_back(Dict{{"filter_description", Value(d.filter_description)},
                              {"passing_count", Value(d.passing_count)},
                              {"function_name", Value(d.function_name)}});
    }
    return Value::list(std::move(out));
}

Value resolve_result_value(const FiltrationResult& result) {
    return Value(Dict{{"passing_ids", id_list(result.passing_ids)},
                      {"signal_count", Value(result.signal_count)},
                      {"total_pool_size", Value(result.total_pool_size)},
                      {"filter_diagnostics", diagnostics_value(result.filter_diagnostics)}});
}

// Every field in declaration order but the metadata mappings (N_signals counts them); an unset
// one is null.
Value config_value(const FiltrationEvaluationConfig& c) {
    Dict out;
    for (const ConfigField& field : config_fields()) {
        visit_member(field.member, c, [&](const auto& value) {
            using T = std::remove_cvref_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::set<std::int64_t>>) {
                out.set(Value(field.name), sorted_ints(value));
            } else if constexpr (std::is_same_v<T, std::optional<std::vector<std::string>>>) {
                out.set(Value(field.name), value ? id_list(*value) : Value());
            } else if constexpr (std::is_same_v<T, std::optional<Dict>>) {
                // signal id -> metadata: not configuration to show
            } else if constexpr (std::is_same_v<T, OperatorReferences>) {
                runtime::List names;  // the operators that have an oracle
                for (const auto& entry : value) names.emplace_back(entry.first);
                out.set(Value(field.name), Value::list(std::move(names)));
            } else if constexpr (std::is_same_v<T, functions::filtrations_evaluation::OperatorProperties>) {
                Dict by_name;  // operator -> its declared properties
                for (const auto& [name, properties] : value) {
                    runtime::List items;
                    for (const std::string& p : properties) items.emplace_back(p);
                    by_name.set(Value(name), Value::list(std::move(items)));
                }
                out.set(Value(field.name), Value(std::move(by_name)));
            } else if constexpr (requires { value.has_value(); }) {
                out.set(Value(field.name), value ? Value(*value) : Value());
            } else {
                out.set(Value(field.name), Value(value));
            }
        });
    }
    return Value(std::move(out));
}

Value evaluation_result_value(const FiltrationEvaluationResult& result) {
    Dict operators;
    for (const auto& [name, verdict] : result.operator_results) {
        Dict checks;
        for (const auto& [check, outcome] : verdict.checks) {
            checks.set(Value(check), Value(Dict{{"status", Value(to_string(outcome.status))},
                                                {"details", Value(outcome.details)},
                                                {"evidence", json_safe(Value(outcome.evidence))}}));
        }
        operators.set(Value(name), Value(Dict{{"operator_name", Value(verdict.operator_name)},
                                              {"accepted", Value(verdict.accepted)},
                                              {"checks", Value(std::move(checks))},
                                              {"warnings", id_list(verdict.warnings)}}));
    }
    List configs;
    for (const auto& oc : result.operator_configs) {
        Value cases;
        if (oc.test_cases) {
            List items;
            for (const CorrectnessTestCase& tc : *oc.test_cases) items.push_back(test_case_value(tc));
            cases = Value::list(std::move(items));
        }
        configs.emplace_back(Dict{{"name", Value(oc.name)}, {"test_cases", cases}});
    }
    return Value(Dict{{"operator_results", Value(std::move(operators))},
                      {"config", config_value(result.config)},
                      {"operator_configs", Value::list(std::move(configs))}});
}

Value error_value(const std::string& kind, const std::string& message,
                  const std::vector<FilterDiagnostic>* diagnostics) {
    Dict d{{"error", Value(kind)}, {"message", Value(message)}};
    if (diagnostics) d.set("filter_diagnostics", diagnostics_value(*diagnostics));
    return Value(std::move(d));
}

// ---- Verdict matrix ----------------------------------------------------------------------------

std::set<std::string> info_check_names(const FiltrationEvaluationConfig& config) {
    namespace fe = functions::filtrations_evaluation;
    std::set<std::string> names;
    for (const auto& [name, entry] : fe::CHECK_REGISTRY()) {
        if (config.info_checks.contains(entry.check_number)) names.insert(name);
    }
    for (const auto& [number, plugin] : fe::detail::build_plugin_check_entries(fe::get_registered_plugins())) {
        if (config.info_checks.contains(number)) names.insert(plugin->name());
    }
    return names;
}

std::string render_verdict_matrix(const FiltrationEvaluationResult& result,
                                  const std::set<std::string>& info_checks, bool color,
                                  const std::vector<functions::filtrations_evaluation::Counterexample>& counterexamples) {
    // Columns: every check name in the order first visited.
    std::vector<std::string> columns;
    for (const auto& [name, verdict] : result.operator_results) {
        for (const auto& [check, outcome] : verdict.checks) {
            if (std::find(columns.begin(), columns.end(), check) == columns.end()) columns.push_back(check);
        }
    }
    std::size_t name_width = std::string("operator").size();
    for (const auto& [name, verdict] : result.operator_results) {
        name_width = std::max(name_width, display_width(escape_controls(name)));
    }
    std::vector<std::string> headers;
    std::vector<std::size_t> widths;
    for (const std::string& check : columns) {
        headers.push_back(escape_controls(check) + (info_checks.contains(check) ? "*" : ""));
        widths.push_back(std::max<std::size_t>(display_width(headers.back()), 4));
    }

    std::string out;
    std::string header = pad("operator", name_width);
    for (std::size_t i = 0; i < columns.size(); ++i) header += "  " + pad(headers[i], widths[i]);
    header += "  accepted";
    out += paint(header, BOLD, color) + "\n";

    std::size_t accepted = 0;
    std::vector<std::string> rejected;
    for (const auto& [name, verdict] : result.operator_results) {
        std::string row = pad(escape_controls(name), name_width);
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const auto* outcome = verdict.check(columns[i]);
            const std::string status = outcome ? std::string(to_string(outcome->status)) : "";
            row += "  " + paint(pad(outcome ? status_mark(status) : "-", widths[i]), status_color(status), color);
        }
        row += "  " + (verdict.accepted ? paint("yes", GREEN, color) : paint("NO", RED, color));
        out += row + "\n";
        if (verdict.accepted) {
            ++accepted;
        } else {
            rejected.push_back(escape_controls(name));
        }
    }

    out += "\n";
    out += fmt::format("{} of {} operators accepted", accepted, result.operator_results.size());
    if (!rejected.empty()) {
        out += "; rejected: ";
        for (std::size_t i = 0; i < rejected.size(); ++i) out += (i ? ", " : "") + rejected[i];
    }
    out += ".\n";
    if (!info_checks.empty()) out += "* info check: runs, but does not count for acceptance.\n";

    bool any_failed = false;
    for (const auto& [name, verdict] : result.operator_results) {
        for (const auto& [check, outcome] : verdict.checks) {
            if (outcome.status != functions::evaluation_utils::CheckStatus::fail) continue;
            if (!any_failed) out += "\nFailed checks:\n";
            any_failed = true;
            std::string details = escape_controls(outcome.details, true);
            for (std::size_t p = details.find('\n'); p != std::string::npos; p = details.find('\n', p + 5)) {
                details.replace(p, 1, "\n    ");
            }
            out += "  " + paint(escape_controls(name), BOLD, color) + " / " +
                   escape_controls(check) +
                   (info_checks.contains(check) ? " (info)" : "") + ": " + details + "\n";
            for (const auto& example : counterexamples) {
                if (example.operator_name == name && example.check == check) {
                    out += escape_controls(functions::filtrations_evaluation::counterexample_text(example, "    "), true);
                }
            }
            if (const Value* no_oracle = outcome.evidence.find("missing_correctness_oracle");
                no_oracle != nullptr && no_oracle->truthy()) {
                out += "    " + escape_controls(functions::filtrations_evaluation::missing_oracle_hint(name), true) + "\n";
            }
        }
    }
    return out;
}

// ---- Diagnostics ------------------------------------------------------------------------------

namespace {

struct NodeRow {
    const FilterNode* node;
    int depth;
    std::size_t post_index;
    std::vector<std::size_t> child_post_indices;
};

std::size_t number_post_order(const FilterNode& node, int depth, std::vector<NodeRow>& rows,
                              std::size_t& next) {
    const std::size_t row = rows.size();
    rows.push_back({&node, depth, 0, {}});
    std::vector<std::size_t> children;
    for (const FilterNode& child : node.children) children.push_back(number_post_order(child, depth + 1, rows, next));
    rows[row].child_post_indices = std::move(children);
    rows[row].post_index = next++;
    return rows[row].post_index;
}

}  // namespace

std::string render_diagnostics(const FilterNode& tree, const std::vector<FilterDiagnostic>& diagnostics,
                               bool empty_outcome, bool color) {
    std::vector<NodeRow> rows;  // pre-order
    std::size_t next = 0;
    number_post_order(tree, 0, rows, next);
    std::string out = paint("passing  node", BOLD, color) + "\n";
    if (rows.size() != diagnostics.size()) {
        for (const FilterDiagnostic& d : diagnostics) {
            out += fmt::format("{:>7}  {}\n", d.passing_count,
                               escape_controls(d.filter_description));
        }
        return out;
    }
    for (const NodeRow& row : rows) {
        const FilterDiagnostic& d = diagnostics[row.post_index];
        std::string line = fmt::format("{:>7}  {}{}", d.passing_count,
                                       std::string(static_cast<std::size_t>(row.depth) * 2, ' '),
                                       escape_controls(d.filter_description));
        bool emptied = empty_outcome && d.passing_count == 0;
        for (const std::size_t child : row.child_post_indices) {
            if (diagnostics[child].passing_count == 0) emptied = false;
        }
        if (emptied) {
            out += paint(line + "   <- emptied the pool", RED, color) + "\n";
        } else {
            out += line + "\n";
        }
    }
    return out;
}

std::string wrap_ids(const std::vector<std::string>& ids, std::size_t width) {
    std::string out;
    std::string line = " ";
    for (const std::string& raw : ids) {
        const std::string id = escape_controls(raw);
        if (line.size() > 1 && line.size() + 1 + id.size() > width) {
            out += line + "\n";
            line = " ";
        }
        line += " " + id;
    }
    if (line.size() > 1) out += line + "\n";
    return out;
}

std::string render_resolve(const FilterNode& tree, const FiltrationResult& result, bool color) {
    std::string out = fmt::format("{} of {} signals pass {}\n", result.signal_count,
                                  result.total_pool_size, escape_controls(tree.function_name));
    out += wrap_ids(result.passing_ids);
    out += "\n" + render_diagnostics(tree, result.filter_diagnostics, false, color);
    return out;
}

std::string render_products(const FilterNode& tree, const ProductFiltrationResult& result, bool color) {
    std::vector<std::string> ids;
    for (const Value& id : *result.passing_ids) ids.push_back(runtime::str(id));
    std::string out = fmt::format("{} of {} {} products selected for a {}\n", ids.size(),
                                  result.total_pool_size, escape_controls(result.product_layer),
                                  escape_controls(result.investment_product_type));
    out += wrap_ids(ids);
    out += "\n" + render_diagnostics(tree, result.filter_diagnostics, false, color);
    return out;
}

std::string render_flattened(const Dict& flattened) {
    std::vector<std::string> keys;
    std::size_t width = 0;
    for (const auto& [key, value] : flattened) {
        keys.push_back(escape_controls(runtime::str(key)));
        width = std::max(width, display_width(keys.back()));
    }
    std::string out;
    std::size_t i = 0;
    for (const auto& [key, value] : flattened) {
        out += pad(keys[i++], width) + "  " + runtime::repr(value) + "\n";
    }
    return out;
}

}  // namespace brindlecap::cli
