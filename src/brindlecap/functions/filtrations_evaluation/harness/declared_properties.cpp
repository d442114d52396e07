// Declared properties: the operator facts they stand for (acceptance/properties.hpp).

#include <algorithm>
#include <array>
#include <memory>
#include <optional>

#include "brindlecap/functions/filtrations_evaluation/harness/oracle_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

struct ShapeRow {
    std::string_view name;
    ParameterShape shape;
    FieldType field;
    OperatorCategory category;
};

constexpr std::array<ShapeRow, 7> DECLARED_SHAPES{{
    {"numeric", ParameterShape::threshold, FieldType::numeric, OperatorCategory::comparison},
    {"string", ParameterShape::threshold, FieldType::categorical, OperatorCategory::comparison},
    {"list", ParameterShape::members, FieldType::list_str, OperatorCategory::comparison},
    {"range", ParameterShape::range, FieldType::numeric, OperatorCategory::comparison},
    {"rank_n", ParameterShape::count, FieldType::numeric, OperatorCategory::rank},
    {"rank_pct", ParameterShape::share, FieldType::numeric, OperatorCategory::rank},
    {"combinator", ParameterShape::children, FieldType::numeric, OperatorCategory::boolean},
}};

constexpr std::string_view KNOWN_PROPERTIES =
    "known: numeric, string, list, range, rank_n, rank_pct, combinator, pointwise, monotone=increasing, "
    "monotone=decreasing, complement=OTHER, laws=and, laws=or, laws=not";

std::string_view trimmed_property(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::shared_ptr<const DeclaredOperator> declared_operator(std::string_view op_name,
                                                          const std::vector<std::string>& properties,
                                                          const FiltrationEvaluationConfig* config) {
    const std::string where = "properties[" + runtime::repr(op_name) + "]";
    const auto refuse = [&](std::size_t i, const std::string& why) {
        throw runtime::ValueError(where + "[" + std::to_string(i) + "]: " + why);
    };
    if (find_builtin(op_name) != nullptr) {
        throw runtime::ValueError(where + ": " + std::string(op_name) +
                                  " is a built-in, whose properties are known; declare properties of new operators");
    }
    if (properties.empty()) throw runtime::ValueError(where + ": no property given (" + std::string(KNOWN_PROPERTIES) + ")");
    const ShapeRow* shape = nullptr;
    std::size_t shape_at = 0;
    bool pointwise = false;
    Monotone monotone = Monotone::none;
    std::string complement;
    std::optional<ChildrenCase> laws;
    std::vector<std::pair<std::size_t, std::string_view>> needs_leaf;  // properties a field leaf can have
    for (std::size_t i = 0; i < properties.size(); ++i) {
        const std::string_view item = trimmed_property(properties[i]);
        const std::size_t equals = item.find('=');
        const std::string_view key = trimmed_property(item.substr(0, equals));
        const std::string_view value = equals == std::string_view::npos ? std::string_view() : trimmed_property(item.substr(equals + 1));
        const auto no_value = [&] {
            if (equals != std::string_view::npos) refuse(i, std::string(key) + " takes no value, got " + runtime::repr(item));
        };
        if (const auto* row = std::find_if(DECLARED_SHAPES.begin(), DECLARED_SHAPES.end(), [&](const ShapeRow& r) { return r.name == key; });
            row != DECLARED_SHAPES.end()) {
            no_value();
            if (shape != nullptr) {
                refuse(i, "a second shape " + runtime::repr(key) + " after " + runtime::repr(shape->name) +
                              " (at most one of numeric, string, list, range, rank_n, rank_pct, combinator)");
            }
            shape = row;
            shape_at = i;
        } else if (key == "pointwise") {
            no_value();
            pointwise = true;
            needs_leaf.emplace_back(i, key);
        } else if (key == "monotone") {
            if (value == "increasing") {
                monotone = Monotone::increasing;
            } else if (value == "decreasing") {
                monotone = Monotone::decreasing;
            } else {
                refuse(i, "monotone takes increasing or decreasing, got " + runtime::repr(item));
            }
            needs_leaf.emplace_back(i, key);
        } else if (key == "complement") {
            if (value.empty()) refuse(i, "complement takes an operator's name: complement=OTHER");
            if (value == op_name) refuse(i, "complement=" + std::string(value) + ": an operator is not its own complement");
            complement = std::string(value);
            needs_leaf.emplace_back(i, key);
        } else if (key == "laws") {
            if (value == "and") {
                laws = ChildrenCase::two_intersected;
            } else if (value == "or") {
                laws = ChildrenCase::two_united;
            } else if (value == "not") {
                laws = ChildrenCase::one_complemented;
            } else {
                refuse(i, "laws takes and, or or not, got " + runtime::repr(item));
            }
            if (shape != nullptr && shape->shape != ParameterShape::children) {
                refuse(i, "laws: a " + std::string(shape->name) + " leaf has no children");
            }
        } else {
            refuse(i, "unknown property " + runtime::repr(item) + " (" + std::string(KNOWN_PROPERTIES) + ")");
        }
    }
    if (shape == nullptr) shape = &DECLARED_SHAPES[laws ? 6 : 0];
    if (laws && shape->shape != ParameterShape::children) refuse(shape_at, "laws need the combinator shape");
    for (const auto& [i, key] : needs_leaf) {
        const std::string leaf = "a " + std::string(shape->name) + " operator";
        if (shape->shape == ParameterShape::children) refuse(i, std::string(key) + ": " + leaf + " has no field");
        if (key == "pointwise" && shape->category == OperatorCategory::rank) {
            refuse(i, "pointwise: " + leaf + " selects by position among the values");
        }
        if (key == "complement" && shape->category == OperatorCategory::rank) {
            refuse(i, "complement: " + leaf + " selects by position among the values");
        }
        if (key == "monotone" && shape->field == FieldType::categorical) {
            refuse(i, "monotone: " + leaf + " has no order on its parameter");
        }
        if (key == "monotone" && shape->shape == ParameterShape::range) refuse(i, "monotone: " + leaf + " has two bounds");
    }
    if (!complement.empty()) {
        const std::size_t at = [&] {
            for (const auto& [i, key] : needs_leaf) {
                if (key == "complement") return i;
            }
            return std::size_t{0};
        }();
        const BuiltinOperatorFacts* other = find_builtin(complement);
        const bool has_oracle = config != nullptr && config->references.count(complement) > 0;
        if (other == nullptr && !has_oracle) {
            refuse(at, "complement=" + complement + ": not a built-in, and no oracle is given for it (references)");
        }
        if (other != nullptr && !has_oracle && (other->shape != shape->shape || !other->accepts(shape->field))) {
            refuse(at, "complement=" + complement + ": " + complement + " is not called as a " +
                           std::string(shape->name) + " operator is");
        }
    }
    auto out = std::make_shared<DeclaredOperator>();
    out->complement = complement;
    out->facts = BuiltinOperatorFacts{std::string_view(),
                                      "",
                                      shape->category,
                                      shape->shape,
                                      shape->shape == ParameterShape::children ? 0U : field_type_bit(shape->field),
                                      pointwise,
                                      {},
                                      RankDirection::none,
                                      shape->shape == ParameterShape::children ? laws.value_or(ChildrenCase::two_intersected)
                                                                               : ChildrenCase::none,
                                      /*probe_cutoff_tie=*/false,
                                      nullptr,
                                      monotone,
                                      /*laws=*/laws.has_value()};
    out->facts.complement = out->complement;
    return out;
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
