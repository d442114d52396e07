// The built-in operators' rows, and the parameter sets the checks give each leaf shape.

#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"

#include <algorithm>
#include <array>

#include "brindlecap/functions/filtrations_evaluation/core/reference_operators_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

using Shape = ParameterShape;
using Reference = Operator (*)(const BuiltinOperatorFacts&);

// The modules of the runtime module table that publish the kernels (functions/filtrations).
constexpr std::string_view COMPARISON_KERNELS = "brindlecap.functions.filtrations.comparison";
constexpr std::string_view RANK_KERNELS = "brindlecap.functions.filtrations.rank";
constexpr std::string_view BOOLEAN_KERNELS = "brindlecap.functions.filtrations.boolean";
constexpr std::string_view WRAPPER_KERNELS = "brindlecap.functions.filtrations.wrapper";

constexpr unsigned NUMBERS = field_type_bit(FieldType::numeric) | field_type_bit(FieldType::date);
constexpr unsigned EQUATABLE = NUMBERS | field_type_bit(FieldType::categorical) | field_type_bit(FieldType::boolean);
constexpr unsigned MEMBERSHIP = field_type_bit(FieldType::list_str) | field_type_bit(FieldType::categorical);

// A comparison selects a signal by its own value against the parameters.
constexpr BuiltinOperatorFacts comparison(std::string_view name, Shape shape, unsigned field_types,
                                          std::string_view complement, Reference reference,
                                          Monotone monotone = Monotone::none) {
    return {name, COMPARISON_KERNELS, OperatorCategory::comparison, shape, field_types, /*pointwise=*/true,
            complement, RankDirection::none, ChildrenCase::none, /*probe_cutoff_tie=*/false, reference, monotone};
}

// A rank operator selects by position among the field's values, ties at the cutoff included.
constexpr BuiltinOperatorFacts rank(std::string_view name, Shape shape, RankDirection direction,
                                    bool probe_cutoff_tie = false) {
    // A larger n or pct never selects fewer.
    return {name, RANK_KERNELS, OperatorCategory::rank, shape, NUMBERS, /*pointwise=*/false, {}, direction,
            ChildrenCase::none, probe_cutoff_tie, &rank_reference, Monotone::increasing};
}

// A combinator of its children's results (the wrapper too), judged against expected sets.
constexpr BuiltinOperatorFacts combinator(std::string_view name, std::string_view module, OperatorCategory category,
                                          ChildrenCase children_case) {
    return {name, module, category, Shape::children, 0, /*pointwise=*/false, {}, RankDirection::none,
            children_case, /*probe_cutoff_tie=*/false, nullptr};
}

constexpr std::array BUILTINS = {
    comparison("gt", Shape::threshold, NUMBERS, "lte", &greater_reference, Monotone::decreasing),
    comparison("gte", Shape::threshold, NUMBERS, "lt", &greater_equal_reference, Monotone::decreasing),
    comparison("lt", Shape::threshold, NUMBERS, "gte", &less_reference, Monotone::increasing),
    comparison("lte", Shape::threshold, NUMBERS, "gt", &less_equal_reference, Monotone::increasing),
    comparison("eq", Shape::threshold, EQUATABLE, "neq", &equal_reference),
    comparison("neq", Shape::threshold, EQUATABLE, "eq", &not_equal_reference),
    comparison("between", Shape::range, NUMBERS, {}, &range_reference),
    comparison("in_", Shape::members, MEMBERSHIP, {}, &membership_reference, Monotone::increasing),
    rank("top_pct", Shape::share, RankDirection::top),
    rank("bottom_pct", Shape::share, RankDirection::bottom),
    rank("top_n", Shape::count, RankDirection::top, /*probe_cutoff_tie=*/true),
    rank("bottom_n", Shape::count, RankDirection::bottom),
    combinator("and_", BOOLEAN_KERNELS, OperatorCategory::boolean, ChildrenCase::two_intersected),
    combinator("or_", BOOLEAN_KERNELS, OperatorCategory::boolean, ChildrenCase::two_united),
    combinator("not_", BOOLEAN_KERNELS, OperatorCategory::boolean, ChildrenCase::one_complemented),
    combinator("filtration", WRAPPER_KERNELS, OperatorCategory::wrapper, ChildrenCase::one_kept),
};

// What a new row must keep: one row per name; the combinators have their children case instead
// of a reference; a direction for the rank operators only; complements in pairs of pointwise
// operators over the same field types. (That every leaf has a reference is a test: sanitizer
// builds do not fold the address of a function defined elsewhere.)
constexpr bool rows_agree() {
    for (const BuiltinOperatorFacts& row : BUILTINS) {
        const auto named = [&](std::string_view name) {
            return std::find_if(BUILTINS.begin(), BUILTINS.end(), [&](const auto& b) { return b.name == name; });
        };
        if (named(row.name) != &row) return false;
        if (row.combines() != (row.children_case != ChildrenCase::none)) return false;
        if ((row.category == OperatorCategory::rank) != (row.direction != RankDirection::none)) return false;
        if (row.complement.empty()) continue;
        const auto* other = named(row.complement);
        if (other == BUILTINS.end() || other->complement != row.name || !row.pointwise || !other->pointwise ||
            other->field_types != row.field_types) {
            return false;
        }
    }
    return true;
}
static_assert(rows_agree());

// ---- The checks' parameter sets, by shape ------------------------------------------------------

// Floor division, as Python divides integers.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

Dict threshold_nan_probe(const char* field, FieldType type) {
    Dict params{{"field", field}};
    if (type == FieldType::boolean) {
        params.set("value", true);
    } else if (type == FieldType::categorical) {
        params.set("value", "momentum");
    } else {
        params.set("value", 0.0);
    }
    return params;
}

Dict members_nan_probe(const char* field, FieldType type) {
    return Dict{{"field", field}, {"values", Value::list({type == FieldType::list_str ? "numerical" : "momentum"})}};
}

// Each shape's sets, built once; the threshold comparisons' also serve every name outside the table.
const LeafParameterSets& shape_parameters(Shape shape) {
    static const LeafParameterSets threshold{
        .call = {{"field", "is_sharpe"}, {"value", 0.0}},
        .correctness = {Dict{{"field", "is_sharpe"}, {"value", 0.0}}, Dict{{"field", "is_sharpe"}, {"value", -5.0}},
                        Dict{{"field", "is_sharpe"}, {"value", 5.0}}},
        .boundary = {{"field", "is_sharpe"}, {"value", 1.0}},
        .cutoff_tie = {},
        .nan_probe = &threshold_nan_probe,
        .bias_trial = [](std::int64_t) { return Dict{{"field", "is_sharpe"}, {"value", 0.0}}; },
    };
    static const LeafParameterSets range{
        .call = {{"field", "is_sharpe"}, {"low", -10.0}, {"high", 10.0}},
        .correctness = {Dict{{"field", "is_sharpe"}, {"low", -5.0}, {"high", 5.0}},
                        Dict{{"field", "is_sharpe"}, {"low", 0.0}, {"high", 0.0}}},
        .boundary = {{"field", "is_sharpe"}, {"low", 0.0}, {"high", 3.0}},
        .cutoff_tie = {},
        .nan_probe = [](const char* field, FieldType) { return Dict{{"field", field}, {"low", 0.0}, {"high", 20.0}}; },
        .bias_trial = [](std::int64_t) { return Dict{{"field", "is_sharpe"}, {"low", -1.0}, {"high", 1.0}}; },
    };
    static const LeafParameterSets members{
        .call = {{"field", "rotation_families_used"}, {"values", Value::list({"numerical"})}},
        .correctness = {Dict{{"field", "rotation_families_used"}, {"values", Value::list({"numerical"})}},
                        Dict{{"field", "rotation_families_used"}, {"values", Value::list({"latitudinal"})}}},
        .boundary = {{"field", "rotation_families_used"}, {"values", Value::list({"numerical"})}},
        .cutoff_tie = {},
        .nan_probe = &members_nan_probe,
        .bias_trial =
            [](std::int64_t) {
                return Dict{{"field", "rotation_families_used"}, {"values", Value::list({"numerical"})}};
            },
    };
    static const LeafParameterSets share{
        .call = {{"field", "is_sharpe"}, {"pct", 0.5}},
        .correctness = {Dict{{"field", "is_sharpe"}, {"pct", 0.5}}, Dict{{"field", "is_sharpe"}, {"pct", 0.1}}},
        .boundary = {{"field", "is_sharpe"}, {"pct", 0.5}},
        .cutoff_tie = {},
        .nan_probe = [](const char* field, FieldType) { return Dict{{"field", field}, {"pct", 0.5}}; },
        .bias_trial = [](std::int64_t) { return Dict{{"field", "is_sharpe"}, {"pct", 0.1}}; },
    };
    static const LeafParameterSets count{
        .call = {{"field", "is_sharpe"}, {"n", 5}},
        .correctness = {Dict{{"field", "is_sharpe"}, {"n", 1}}, Dict{{"field", "is_sharpe"}, {"n", 5}}},
        .boundary = {{"field", "is_sharpe"}, {"n", 1}},
        .cutoff_tie = {{"field", "is_sharpe"}, {"n", 5}},
        .nan_probe = [](const char* field, FieldType) { return Dict{{"field", field}, {"n", 3}}; },
        // A tenth of the pool, at least one.
        .bias_trial =
            [](std::int64_t n_signals) {
                return Dict{{"field", "is_sharpe"}, {"n", std::max<std::int64_t>(floor_div(n_signals, 10), 1)}};
            },
    };
    switch (shape) {
        case Shape::range:
            return range;
        case Shape::members:
            return members;
        case Shape::share:
            return share;
        case Shape::count:
            return count;
        case Shape::threshold:
        case Shape::children:
            break;
    }
    return threshold;
}

}  // namespace

std::span<const BuiltinOperatorFacts> builtin_operators() noexcept { return BUILTINS; }

const BuiltinOperatorFacts* find_builtin(std::string_view name) noexcept {
    const auto* it = std::find_if(BUILTINS.begin(), BUILTINS.end(),
                                  [&](const BuiltinOperatorFacts& builtin) { return builtin.name == name; });
    return it == BUILTINS.end() ? nullptr : it;
}

const LeafParameterSets& leaf_parameters(std::string_view op_name) {
    const BuiltinOperatorFacts* builtin = find_builtin(op_name);
    return shape_parameters(builtin == nullptr ? Shape::threshold : builtin->shape);
}

const LeafParameterSets& leaf_parameters(ParameterShape shape) { return shape_parameters(shape); }

}  // namespace brindlecap::functions::filtrations_evaluation::detail
