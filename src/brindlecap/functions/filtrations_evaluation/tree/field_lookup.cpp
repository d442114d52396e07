#include "brindlecap/functions/filtrations_evaluation/tree/field_lookup_internal.hpp"

#include <algorithm>
#include <vector>

#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using runtime::str;

const Value* field_value(const Dict& metadata, const Value& field) {
    return field.is_str() ? metadata.find(std::string_view(field.as_str())) : metadata.find(field);
}

void FieldReader::locate(const Dict& metadata) {
    layout_ = metadata.layout();
    pos_ = field_.is_str() ? metadata.position(std::string_view(field_.as_str())) : metadata.position(field_);
}

std::optional<std::size_t> first_holder(const SignalPool& pool, const Value& field) {
    FieldReader read(field);
    for (std::size_t pos = 0; pos < pool.size(); ++pos) {
        if (read(*pool.signal(pos).metadata) != nullptr) return pos;
    }
    return std::nullopt;
}

FieldSource locate_field(const SignalPool& pool, const Value& field, bool build, std::optional<std::size_t> holder) {
    if (field.is_str()) {
        if (ColumnPtr column = pool_column(pool, field.as_str(), build)) {
            return FieldSource{column->first, column->first_value, std::move(column)};
        }
    }
    if (!holder) holder = first_holder(pool, field);
    if (!holder) return FieldSource{};
    return FieldSource{holder, *field_value(*pool.signal(*holder).metadata, field), nullptr};
}

FilterValidationError unknown_field(const SignalPool& pool, const Value& field) {
    std::vector<Value> names = pool_metadata_keys(pool);
    std::sort(names.begin(), names.end(), [](const Value& a, const Value& b) { return runtime::less(a, b); });
    return FilterValidationError("Unknown field '" + str(field) + "'. Valid fields: " +
                                 runtime::repr(Value::list(std::move(names))));
}

FilterValidationError incompatible_operator(std::string_view op, const Value& field, FieldType field_type) {
    return FilterValidationError("Operator '" + std::string(op) + "' not valid for field '" + str(field) +
                                 "' (type " + std::string(to_string(field_type)) + ")");
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
