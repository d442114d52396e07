#include "brindlecap/functions/filtrations_evaluation/tree/dispatch_internal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_set>
#include <utility>
#include <variant>

#include "brindlecap/functions/filtrations_evaluation/core/builtin_operator_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/vocabulary_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/field_lookup_internal.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/unicode_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using runtime::str;

// ---- Parameter checks -----------------------------------------------------------------------

void check_pct(const Dict& params) {
    const Value* pct = params.find(std::string_view("pct"));
    if (pct == nullptr) return;
    if (runtime::less_equal(*pct, Value(0.0)) || runtime::greater(*pct, Value(1.0))) {
        throw FilterValidationError("pct must be in (0.0, 1.0], got " + str(*pct));
    }
}

void check_count(const Value& n) {
    if (runtime::less(n, Value(1))) throw FilterValidationError("Count must be >= 1, got " + str(n));
}

void check_bounds(const Value& low, const Value& high) {
    if (runtime::greater(low, high)) {
        throw FilterValidationError("between requires low <= high, got " + str(low) + " > " + str(high));
    }
}

// ---- Dispatch -------------------------------------------------------------------------------

namespace {

// The checks of preprocess_field, in its order, from the field's column.
const Column* checked_column(const SignalPool& pool, const Value& field, std::string_view operator_name,
                             const FieldSource& source) {
    if (!source.holder) throw unknown_field(pool, field);
    const FieldType field_type = infer_field_type(source.first_value, field.as_str(), /*date_refinement=*/true);
    if (!operator_name.empty() && (COMPARISON_OPS.contains(operator_name) || RANK_OPS.contains(operator_name)) &&
        !field_type_allows(field_type, operator_name)) {
        throw incompatible_operator(operator_name, field, field_type);
    }
    return source.column.get();
}

// A built-in field leaf over its field's column; nullopt leaves the call to the row way.
std::optional<IdSet> column_leaf(const BuiltinOperator& builtin, const SignalPool& pool, const Dict& params,
                                 std::string_view operator_name) {
    if (pool.empty()) throw EmptyPoolError("No useful signals in pool");
    const Value& field = params.at(Value("field"));
    if (!field.is_str()) return std::nullopt;
    const FieldSource source = locate_field(pool, field, /*build=*/true);
    const Column* column = checked_column(pool, field, operator_name, source);
    if (column->kind == ColumnKind::rows || column->kind == ColumnKind::values) return std::nullopt;
    const KeyIndexPtr universe = pool.index();
    return builtin.columns(ColumnCall{*column, params, universe});
}

}  // namespace

IdSet prepare_and_dispatch(const Operator& impl, const SignalPool& pool, const Dict& params,
                           std::size_t children_count, const std::vector<IdSet>& children_results,
                           std::string_view operator_name, std::optional<std::size_t> holder) {
    const IdSet pool_keys = pool.keys();

    check_pct(params);
    if (const Value* n = params.find(std::string_view("n"))) check_count(*n);
    const Value* low = params.find(std::string_view("low"));
    const Value* high = params.find(std::string_view("high"));
    if (low != nullptr && high != nullptr) check_bounds(*low, *high);

    OperatorCall call;
    call.params = &params;
    PreparedField prepared;
    if (children_count > 0) {
        call.form = CallForm::combinator;
        call.pool_keys = &pool_keys;
        call.children_results = &children_results;
    } else if (params.contains(std::string_view("field"))) {
        if (const BuiltinOperator* builtin = builtin_of(impl); builtin != nullptr && builtin->columns) {
            if (std::optional<IdSet> result = column_leaf(*builtin, pool, params, operator_name)) {
                return postprocess_result(std::move(*result), pool_keys);
            }
        }
        prepared = preprocess_field(pool, params, operator_name, holder);
        call.form = CallForm::field_leaf;
        call.prepared = &prepared;
    } else {
        call.form = CallForm::plain_leaf;
        call.pool_keys = &pool_keys;
    }
    return postprocess_result(impl(call), pool_keys);
}

// ---- Field preparation ----------------------------------------------------------------------

PreparedField preprocess_field(const SignalPool& pool, const Dict& params, std::string_view operator_name,
                               std::optional<std::size_t> holder) {
    if (pool.empty()) throw EmptyPoolError("No useful signals in pool");
    const Value& field = params.at(Value("field"));

    const FieldSource source = locate_field(pool, field, /*build=*/false, holder);
    if (!source.holder) throw unknown_field(pool, field);
    const std::string_view name = field.is_str() ? std::string_view(field.as_str()) : std::string_view();
    const FieldType field_type = infer_field_type(source.first_value, name, /*date_refinement=*/true);

    if (!operator_name.empty() && (COMPARISON_OPS.contains(operator_name) || RANK_OPS.contains(operator_name)) &&
        !field_type_allows(field_type, operator_name)) {
        throw incompatible_operator(operator_name, field, field_type);
    }

    const bool numeric = field_type == FieldType::numeric || field_type == FieldType::date;
    std::shared_ptr<const Value> missing;
    if (numeric) {
        missing = std::make_shared<const Value>(std::numeric_limits<double>::quiet_NaN());
    } else if (field_type == FieldType::list_str) {
        missing = std::make_shared<const Value>(Value::list({}));
    } else if (field_type == FieldType::categorical) {
        missing = std::make_shared<const Value>(Value(""));
    } else {
        missing = std::make_shared<const Value>(Value(false));
    }

    PreparedField out;
    out.values.reserve(pool.size());
    FieldReader read(field);
    // Each signal's metadata is its own allocation: fetch the dicts, then their values, a few
    // signals ahead so that several cache misses are in flight at once.
    constexpr std::size_t DICT_AHEAD = 32;
    constexpr std::size_t VALUE_AHEAD = 16;
    const std::size_t n = pool.size();
    for (std::size_t pos = 0; pos < n; ++pos) {
        if (pos + DICT_AHEAD < n) __builtin_prefetch(pool.signal(pos + DICT_AHEAD).metadata.get());
        if (pos + VALUE_AHEAD < n) read.prefetch(*pool.signal(pos + VALUE_AHEAD).metadata);
        const Value* value = read(*pool.signal(pos).metadata);
        if (value == nullptr) value = missing.get();
        if (numeric && value->is_float() && std::isnan(value->as_float())) {
            ++out.nan_count;
            continue;
        }
        out.values.push_back(PreparedValue{pool.id(pos), value, static_cast<std::uint32_t>(pos)});
    }
    out.field_name = str(field);
    out.field_type = field_type;
    out.pool_keys = pool.keys();
    out.missing_default = std::move(missing);
    return out;
}

// ---- Result validation ----------------------------------------------------------------------

namespace {

bool is_full(const IdSet& keys) {
    return keys.universe() && keys.others().empty() && keys.size() == keys.universe()->size();
}

[[noreturn]] void foreign_ids(std::vector<std::string> ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    throw FiltrationSubsetError("Operator returned IDs not in pool: " + runtime::repr_list(ids));
}

// Elements of an iterable result value: a list's items, a dict's keys, a string's characters.
std::vector<Value> elements_of(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::list:
            return v.as_list();
        case Value::Kind::dict:
            return v.as_dict().keys();
        case Value::Kind::str: {
            const std::string& s = v.as_str();
            std::vector<Value> chars;
            for (std::size_t i = 0; i < s.size();) {
                const std::size_t start = i;
                runtime::unicode::decode_utf8(s, i);
                chars.emplace_back(std::string_view(s).substr(start, i - start));
            }
            return chars;
        }
        default:
            throw runtime::TypeError("'" + runtime::type_name(v) + "' object is not iterable");
    }
}

IdSet validate_set(IdSet result, const IdSet& pool_keys) {
    if (result.universe() == pool_keys.universe() && result.others().empty() && is_full(pool_keys)) {
        return result;
    }
    if (pool_keys.universe()) result = result.rebased(pool_keys.universe());
    const IdSet invalid = result - pool_keys;
    if (!invalid.empty()) foreign_ids(invalid.sorted());
    return result;
}

IdSet validate_value(const Value& value, const IdSet& pool_keys) {
    const std::vector<Value> elements = elements_of(value);
    // Set building comes first: an unhashable element fails before any type check.
    const Value* non_str = nullptr;
    for (const Value& e : elements) {
        if (e.is_list() || e.is_dict()) {
            throw runtime::TypeError("unhashable type: '" + runtime::type_name(e) + "'");
        }
        if (non_str == nullptr && !e.is_str()) non_str = &e;
    }
    if (non_str != nullptr) {
        throw FiltrationSubsetError("Operator returned non-str element of type " + runtime::type_name(*non_str) +
                                    "; all elements must be str");
    }
    const bool full = is_full(pool_keys);
    IdSet result = IdSet::over(pool_keys.universe());
    std::vector<std::string> foreign;
    for (const Value& e : elements) {
        const std::string& id = e.as_str();
        if (full) {
            if (const auto pos = pool_keys.universe()->find(id)) {
                result.insert_pos(*pos);
                continue;
            }
        } else if (pool_keys.contains(id)) {
            result.insert(id);
            continue;
        }
        foreign.push_back(id);
    }
    if (!foreign.empty()) foreign_ids(std::move(foreign));
    return result;
}

}  // namespace

IdSet postprocess_result(OperatorResult result, const IdSet& pool_keys) {
    if (auto* set = std::get_if<IdSet>(&result)) return validate_set(std::move(*set), pool_keys);
    return validate_value(std::get<Value>(result), pool_keys);
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
