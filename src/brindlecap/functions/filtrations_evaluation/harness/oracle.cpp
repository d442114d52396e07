// The strict checks' oracles: the built-in references for the leaves, set algebra for the
// combinators, and the built-in kernels for where validation errors belong.

#include "brindlecap/functions/filtrations_evaluation/harness/oracle_internal.hpp"

#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/reference_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

Operator combinator_oracle(const BuiltinOperatorFacts& facts) {
    const std::string name(facts.name);
    const ChildrenCase children_case = facts.children_case;
    return combinator_operator(name, [name, children_case](const IdSet& pool_keys, const Dict& params,
                                                           const std::vector<IdSet>& children) -> OperatorResult {
        const auto all_of = [&](bool intersect) {
            IdSet out = children.front();
            for (std::size_t i = 1; i < children.size(); ++i) {
                if (intersect) {
                    out &= children[i];
                } else {
                    out |= children[i];
                }
            }
            return out;
        };
        switch (children_case) {
            case ChildrenCase::two_intersected:
            case ChildrenCase::two_united:
                if (children.empty()) throw FilterValidationError("Operator '" + name + "' requires at least one child");
                return all_of(children_case == ChildrenCase::two_intersected);
            case ChildrenCase::one_complemented:
                if (children.size() != 1) {
                    throw FilterValidationError("Operator '" + name + "' requires exactly one child, got " +
                                                std::to_string(children.size()));
                }
                return pool_keys - children.front();
            case ChildrenCase::one_kept:
            case ChildrenCase::none:
                break;
        }
        if (!children.empty()) return all_of(true);
        const Value* select_all = params.find(std::string_view("select_all"));
        if (select_all == nullptr || !select_all->truthy()) {
            throw FilterValidationError("Operator '" + name + "' requires children or select_all=True");
        }
        return pool_keys;
    });
}

namespace {

// What the checks assume of a new operator with an oracle: a comparison of a numeric field with
// `value`, no facts that would enable more relations.
constexpr BuiltinOperatorFacts NEW_LEAF{"", "", OperatorCategory::comparison, ParameterShape::threshold,
                                        field_type_bit(FieldType::numeric), /*pointwise=*/false, {},
                                        RankDirection::none, ChildrenCase::none, /*probe_cutoff_tie=*/false,
                                        nullptr};

}  // namespace

std::optional<Oracle> oracle_of(const std::string& name, const FiltrationEvaluationConfig& config) {
    const BuiltinOperatorFacts* facts = find_builtin(name);
    std::shared_ptr<const DeclaredOperator> declared;
    if (const auto it = config.properties.find(name); it != config.properties.end() && facts == nullptr) {
        declared = declared_operator(name, it->second, &config);
    }
    if (const auto given = config.references.find(name); given != config.references.end()) {
        // The caller's oracle; a built-in's name keeps its facts and its kernel's validation.
        Oracle oracle;
        oracle.declared = declared;
        oracle.facts = facts != nullptr ? facts : declared ? &declared->facts : &NEW_LEAF;
        oracle.selects = given->second;
        oracle.origin = "the oracle given for " + name;
        if (facts != nullptr) {
            oracle.validates = filtrations::resolve_builtin_filtration_target(facts->module_path, facts->class_name());
        }
        return oracle;
    }
    if (declared) {
        Oracle oracle;
        oracle.declared = declared;
        oracle.facts = &declared->facts;
        oracle.origin = "the declared properties of " + name;
        return oracle;
    }
    if (facts == nullptr) return std::nullopt;
    Oracle oracle;
    oracle.facts = facts;
    if (facts->combines()) {
        oracle.selects = combinator_oracle(*facts);
        oracle.origin = "set algebra of " + name;
    } else {
        oracle.selects = *get_reference_operator(name);
        oracle.origin = "the built-in reference of " + name;
    }
    oracle.validates = filtrations::resolve_builtin_filtration_target(facts->module_path, facts->class_name());
    return oracle;
}

Operator complement_oracle(const BuiltinOperatorFacts& facts, const FiltrationEvaluationConfig& config) {
    if (facts.complement.empty()) return {};
    if (const auto given = config.references.find(facts.complement); given != config.references.end()) {
        return given->second;
    }
    if (find_builtin(facts.complement) == nullptr) return {};
    return *get_reference_operator(std::string(facts.complement));
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
