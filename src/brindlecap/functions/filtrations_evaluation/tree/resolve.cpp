#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve_internal.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/builtin_operator_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/vocabulary_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/dispatch_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/field_lookup_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using registry_and_store::FunctionStore;

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

// Checks a leaf's own parameters and its field against the pool before any call; returns the
// position of the first signal holding the field, for field preparation to start from.
std::optional<std::size_t> validate_leaf(const FilterNode& node, const SignalPool& pool, bool columnar) {
    const Dict& params = node.params;
    const std::string& fn = node.function_name;
    check_pct(params);
    // A built-in's own parameters: its count is required, its bounds default to 0.
    if (const BuiltinOperatorFacts* builtin = find_builtin(fn)) {
        if (builtin->shape == ParameterShape::count) check_count(params.get(std::string_view("n"), Value(0)));
        if (builtin->shape == ParameterShape::range) {
            check_bounds(params.get(std::string_view("low"), Value(0)), params.get(std::string_view("high"), Value(0)));
        }
    }
    if (const Value* field = params.find(std::string_view("field"))) {
        const FieldSource source = locate_field(pool, *field, columnar);
        if (!source.holder) throw unknown_field(pool, *field);
        const FieldType field_type = infer_field_type(source.first_value, "", /*date_refinement=*/false);
        if (!field_type_allows(field_type, fn)) throw incompatible_operator(fn, *field, field_type);
        return source.holder;
    }
    return std::nullopt;
}

Operator load_node_operator(const FilterNode& node, const FunctionStore& store) {
    try {
        return load_operator(store, node.function_name);
    } catch (const runtime::KeyError&) {
        std::vector<std::string> names = store.list_by_function_type("filtration");
        std::sort(names.begin(), names.end());
        throw FilterValidationError("Unknown filtration function '" + node.function_name +
                                    "'. Registered functions: " + runtime::repr_list(names));
    }
}

bool has_column_kernel(const Operator& op) {
    const BuiltinOperator* builtin = builtin_of(op);
    return builtin != nullptr && static_cast<bool>(builtin->columns);
}

// Builds, in one walk over the pool's rows, the columns of the string fields that built-in
// leaves of the tree will read. Operators that fail to load are left to the evaluation, which
// raises in its own order.
void build_leaf_columns(const FilterNode& root, const SignalPool& pool, const FunctionStore& store) {
    std::vector<std::string_view> fields;
    std::vector<const FilterNode*> pending{&root};
    while (!pending.empty()) {
        const FilterNode& node = *pending.back();
        pending.pop_back();
        for (const FilterNode& child : node.children) pending.push_back(&child);
        const Value* field = node.children.empty() ? node.params.find(std::string_view("field")) : nullptr;
        if (field == nullptr || !field->is_str()) continue;
        try {
            if (!has_column_kernel(load_operator(store, node.function_name))) continue;
        } catch (const std::exception&) {
            continue;
        }
        if (std::find(fields.begin(), fields.end(), field->as_str()) == fields.end()) fields.push_back(field->as_str());
    }
    if (fields.empty()) return;
    const std::vector<std::string_view> rest(fields.begin() + 1, fields.end());
    pool_column(pool, fields.front(), /*build=*/true, rest);
}

}  // namespace

// Depth first with an explicit stack, so that the depth of a tree is bounded by memory, not by
// the thread's stack. Each node loads its operator before its children run and appends its
// diagnostic after theirs.
IdSet evaluate_node(const FilterNode& node, const SignalPool& pool, const FunctionStore& store,
                    std::vector<FilterDiagnostic>& diagnostics) {
    struct Frame {
        const FilterNode* node;
        Operator impl;
        std::vector<IdSet> children_results;
    };
    std::vector<Frame> stack;
    const auto enter = [&](const FilterNode& n) {
        Operator impl = load_node_operator(n, store);
        stack.push_back(Frame{&n, std::move(impl), {}});
        stack.back().children_results.reserve(n.children.size());
    };

    enter(node);
    for (;;) {
        Frame& frame = stack.back();
        const FilterNode& current = *frame.node;
        if (frame.children_results.size() < current.children.size()) {
            enter(current.children[frame.children_results.size()]);
            continue;
        }
        runtime::check_interrupt();
        const std::optional<std::size_t> holder =
            current.children.empty() ? validate_leaf(current, pool, has_column_kernel(frame.impl)) : std::nullopt;
        IdSet result = prepare_and_dispatch(frame.impl, pool, current.params, current.children.size(),
                                            frame.children_results, current.function_name, holder);
        diagnostics.push_back(FilterDiagnostic{build_filter_description(current),
                                               static_cast<std::int64_t>(result.size()), current.function_name});
        stack.pop_back();
        if (stack.empty()) return result;
        stack.back().children_results.push_back(std::move(result));
    }
}

std::string build_filter_description(const FilterNode& node) {
    const std::string& fn = node.function_name;
    const BuiltinOperatorFacts* builtin = find_builtin(fn);
    const bool combinator = builtin != nullptr && builtin->combines();
    if (!node.children.empty() || combinator) {
        const std::size_t k = node.children.size();
        return fn + "(" + std::to_string(k) + (k == 1 ? " child)" : " children)");
    }
    // Every present parameter's text joins the list, empty texts included: lt(, 2).
    std::string shown;
    bool first = true;
    for (const std::string_view key : {"field", "value", "pct", "n", "low", "high"}) {
        if (const Value* v = node.params.find(key)) {
            if (!first) shown += ", ";
            shown += runtime::str(*v);
            first = false;
        }
    }
    return fn + "(" + shown + ")";
}

}  // namespace detail

namespace {

// The passing set of the whole tree, with every node's diagnostic; an empty pool or an empty
// outcome raises.
IdSet passing_set(const SignalPool& pool, const FilterNode& tree, const FunctionStore& store,
                  std::vector<FilterDiagnostic>& diagnostics) {
    if (pool.empty()) throw EmptyPoolError("No useful signals in pool");
    detail::build_leaf_columns(tree, pool, store);
    IdSet result = detail::evaluate_node(tree, pool, store, diagnostics);
    if (result.empty()) {
        throw EmptyFiltrationError("0 signals pass the complete filter tree (" + tree.function_name + ")",
                                   std::move(diagnostics));
    }
    return result;
}

}  // namespace

FiltrationResult resolve_filtrations(const SignalPool& useful_signals, const FilterNode& filter_tree,
                                     const FunctionStore& store) {
    std::vector<FilterDiagnostic> diagnostics;
    const IdSet result = passing_set(useful_signals, filter_tree, store, diagnostics);
    std::vector<std::string> passing_ids = detail::sorted_ids(useful_signals, result);
    const auto count = static_cast<std::int64_t>(passing_ids.size());
    return FiltrationResult{std::move(passing_ids), count, static_cast<std::int64_t>(useful_signals.size()),
                            std::move(diagnostics)};
}

detail::PassingPositions detail::resolve_positions(const SignalPool& useful_signals, const FilterNode& filter_tree,
                                                   const FunctionStore& store) {
    PassingPositions out;
    const IdSet result = passing_set(useful_signals, filter_tree, store, out.diagnostics);
    SortedMembers members = sorted_members(useful_signals, result);
    out.positions = std::move(members.positions);
    out.ranks = std::move(members.ranks);
    return out;
}

}  // namespace brindlecap::functions::filtrations_evaluation
