#include "brindlecap/functions/filtrations_evaluation/core/vocabulary.hpp"

#include <array>

#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/vocabulary_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace {

constexpr std::array<std::pair<FieldType, std::string_view>, 5> FIELD_TYPE_NAMES = {{
    {FieldType::numeric, "numeric"},
    {FieldType::date, "date"},
    {FieldType::list_str, "list_str"},
    {FieldType::categorical, "categorical"},
    {FieldType::boolean, "boolean"},
}};

constexpr std::array<std::pair<OperatorCategory, std::string_view>, 5> CATEGORY_NAMES = {{
    {OperatorCategory::comparison, "comparison"},
    {OperatorCategory::rank, "rank"},
    {OperatorCategory::boolean, "boolean"},
    {OperatorCategory::wrapper, "wrapper"},
    {OperatorCategory::unknown, "unknown"},
}};

// Field type -> the built-ins accepting it, in table order.
std::vector<std::pair<std::string, std::vector<std::string>>> operators_by_field_type() {
    std::vector<std::pair<std::string, std::vector<std::string>>> table;
    for (const auto& [type, name] : FIELD_TYPE_NAMES) {
        std::vector<std::string> ops;
        for (const detail::BuiltinOperatorFacts& builtin : detail::builtin_operators()) {
            if (builtin.accepts(type)) ops.emplace_back(builtin.name);
        }
        table.emplace_back(name, std::move(ops));
    }
    return table;
}

detail::NameSet builtins_of(OperatorCategory category) {
    detail::NameSet names;
    for (const detail::BuiltinOperatorFacts& builtin : detail::builtin_operators()) {
        if (builtin.category == category) names.emplace(builtin.name);
    }
    return names;
}

}  // namespace

std::string_view to_string(FieldType type) noexcept { return FIELD_TYPE_NAMES[static_cast<std::size_t>(type)].second; }

std::optional<FieldType> parse_field_type(std::string_view text) noexcept {
    for (const auto& [type, name] : FIELD_TYPE_NAMES) {
        if (name == text) return type;
    }
    return std::nullopt;
}

// In FieldType order, so that an entry is found by the type's value.
const std::vector<std::pair<std::string, std::vector<std::string>>> FIELD_TYPE_OPERATORS = operators_by_field_type();

const std::vector<std::string>& field_type_operators(FieldType type) {
    return FIELD_TYPE_OPERATORS[static_cast<std::size_t>(type)].second;
}

bool field_type_allows(FieldType type, std::string_view operator_name) {
    const detail::BuiltinOperatorFacts* builtin = detail::find_builtin(operator_name);
    return builtin != nullptr && builtin->accepts(type);
}

bool field_type_allows(std::string_view field_type, std::string_view operator_name) {
    const std::optional<FieldType> type = parse_field_type(field_type);
    return type && field_type_allows(*type, operator_name);
}

std::string_view to_string(OperatorCategory category) noexcept {
    return CATEGORY_NAMES[static_cast<std::size_t>(category)].second;
}

OperatorCategory operator_category(std::string_view op_name) noexcept {
    const detail::BuiltinOperatorFacts* builtin = detail::find_builtin(op_name);
    return builtin != nullptr ? builtin->category : OperatorCategory::unknown;
}

OperatorCategory parse_operator_category(std::string_view text) noexcept {
    for (const auto& [category, name] : CATEGORY_NAMES) {
        if (name == text) return category;
    }
    return OperatorCategory::unknown;
}

namespace detail {

const NameSet COMPARISON_OPS = builtins_of(OperatorCategory::comparison);
const NameSet RANK_OPS = builtins_of(OperatorCategory::rank);
const NameSet BOOLEAN_OPS = builtins_of(OperatorCategory::boolean);
const NameSet EXPECTED_METADATA_FIELDS = {"is_sharpe",       "is_returns", "is_turnover",
                                          "rotation_families_used", "expression_complexity",
                                          "submission_date", "is_active",  "signal_category"};

FieldType infer_field_type(const runtime::Value& value, std::string_view field_name, bool date_refinement) {
    if (value.is_bool()) return FieldType::boolean;
    if (value.is_number()) {
        if (date_refinement && (field_name.ends_with("_date") || field_name.ends_with("_timestamp"))) {
            return FieldType::date;
        }
        return FieldType::numeric;
    }
    if (value.is_list()) return FieldType::list_str;
    if (value.is_str()) return FieldType::categorical;
    return FieldType::numeric;
}

}  // namespace detail

}  // namespace brindlecap::functions::filtrations_evaluation
