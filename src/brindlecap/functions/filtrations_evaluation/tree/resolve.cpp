#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/dispatch.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/field_lookup.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace detail {

Operator load_operator(const FunctionStore& store, const std::string& name) {
    if (auto cached = store.cached_operator(name)) return std::move(*cached);
    const registry_and_store::StoreEntry entry = store.get_entry(name);
    Operator op = entry.factory && *entry.factory
                      ? *entry.factory
                      : filtrations::resolve_builtin_filtration_target(entry.module_path, entry.class_name);
    store.cache_operator(name, op);
    return op;
}

namespace {

// Checks a leaf's own parameters and its field against the pool before any call.
void validate_leaf(const FilterNode& node, const SignalPool& pool) {
    const Dict& params = node.params;
    const std::string& fn = node.function_name;
    check_pct(params);
    if (fn == "top_n" || fn == "bottom_n") check_count(params.get(std::string_view("n"), Value(0)));
    if (fn == "between") {
        check_bounds(params.get(std::string_view("low"), Value(0)), params.get(std::string_view("high"), Value(0)));
    }
    if (const Value* field = params.find(std::string_view("field"))) {
        const auto holder = first_holder(pool, *field);
        if (!holder) throw unknown_field(pool, *field);
        const std::string field_type = infer_field_type(*field_value(*pool.signal(*holder).metadata, *field),
                                                        "", /*date_refinement=*/false);
        if (!field_type_allows(field_type, fn)) throw incompatible_operator(fn, *field, field_type);
    }
}

}  // namespace

IdSet evaluate_node(const FilterNode& node, const SignalPool& pool, const FunctionStore& store,
                    std::vector<FilterDiagnostic>& diagnostics) {
    Operator impl;
    try {
        impl = load_operator(store, node.function_name);
    } catch (const runtime::KeyError&) {
        std::vector<std::string> names = store.list_by_function_type("filtration");
        std::sort(names.begin(), names.end());
        throw FilterValidationError("Unknown filtration function '" + node.function_name +
                                    "'. Registered functions: " + runtime::repr_list(names));
    }

    std::vector<IdSet> children_results;
    children_results.reserve(node.children.size());
    for (const FilterNode& child : node.children) {
        children_results.push_back(evaluate_node(child, pool, store, diagnostics));
    }

    if (node.children.empty()) validate_leaf(node, pool);

    IdSet result = prepare_and_dispatch(impl, pool, node.params, node.children.size(), children_results,
                                        node.function_name);
    diagnostics.push_back(FilterDiagnostic{build_filter_description(node),
                                           static_cast<std::int64_t>(result.size()), node.function_name});
    return result;
}

std::string build_filter_description(const FilterNode& node) {
    const std::string& fn = node.function_name;
    const bool combinator = BOOLEAN_OPS.contains(fn) || fn == "filtration";
    if (!node.children.empty() || combinator) {
        const std::size_t k = node.children.size();
        return fn + "(" + std::to_string(k) + (k == 1 ? " child)" : " children)");
    }
    std::string shown;
    for (const std::string_view key : {"field", "value", "pct", "n", "low", "high"}) {
        if (const Value* v = node.params.find(key)) {
            if (!shown.empty()) shown += ", ";
            shown += runtime::str(*v);
        }
    }
    return fn + "(" + shown + ")";
}

}  // namespace detail

FiltrationResult resolve_filtrations(const SignalPool& useful_signals, const FilterNode& filter_tree,
                                     const FunctionStore& store) {
    if (useful_signals.empty()) throw EmptyPoolError("No useful signals in pool");
    std::vector<FilterDiagnostic> diagnostics;
    const IdSet result = detail::evaluate_node(filter_tree, useful_signals, store, diagnostics);
    std::vector<std::string> passing_ids = result.sorted();
    if (passing_ids.empty()) {
        throw EmptyFiltrationError("0 signals pass the complete filter tree (" + filter_tree.function_name + ")",
                                   std::move(diagnostics));
    }
    const auto count = static_cast<std::int64_t>(passing_ids.size());
    return FiltrationResult{std::move(passing_ids), count, static_cast<std::int64_t>(useful_signals.size()),
                            std::move(diagnostics)};
}

}  // namespace brindlecap::functions::filtrations_evaluation
