#pragma once
// Field types and the operators each accepts; operator categories.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brindlecap::functions::filtrations_evaluation {

enum class FieldType { numeric, date, list_str, categorical, boolean };

// "numeric", "date", "list_str", "categorical", "boolean".
std::string_view to_string(FieldType type) noexcept;
std::optional<FieldType> parse_field_type(std::string_view text) noexcept;

// Field type -> compatible operators, in table order.
extern const std::vector<std::pair<std::string, std::vector<std::string>>> FIELD_TYPE_OPERATORS;
const std::vector<std::string>& field_type_operators(FieldType type);
bool field_type_allows(FieldType type, std::string_view operator_name);
// By the type's name; a name absent from the table allows nothing.
bool field_type_allows(std::string_view field_type, std::string_view operator_name);

enum class OperatorCategory { comparison, rank, boolean, wrapper, unknown };

// "comparison", "rank", "boolean", "wrapper", "unknown".
std::string_view to_string(OperatorCategory category) noexcept;
// The category a name belongs to; names outside the sixteen built-ins are unknown.
OperatorCategory operator_category(std::string_view op_name) noexcept;
// By the category's name; any other text is unknown.
OperatorCategory parse_operator_category(std::string_view text) noexcept;

}  // namespace brindlecap::functions::filtrations_evaluation
