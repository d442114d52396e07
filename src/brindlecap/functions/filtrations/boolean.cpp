// and_, or_, not_: set algebra over the children's results.

#include <string>
#include <vector>

#include "brindlecap/functions/filtrations/builtin_operators_internal.hpp"

namespace brindlecap::functions::filtrations::detail {
namespace {

using filtrations_evaluation::CallForm;
using filtrations_evaluation::OperatorResult;

// The children's results; empty in the leaf forms.
const std::vector<IdSet>& children_of(const OperatorCall& call) {
    static const std::vector<IdSet> none;
    if (call.form != CallForm::combinator || call.children_results == nullptr) return none;
    return *call.children_results;
}

template <class Combine>
Operator fold_operator(const std::string& name, Combine combine) {
    return [name, combine](const OperatorCall& call) -> OperatorResult {
        const std::vector<IdSet>& children = children_of(call);
        if (children.empty()) throw FilterValidationError("Operator '" + name + "' requires at least one child");
        IdSet result = children.front();
        for (std::size_t i = 1; i < children.size(); ++i) combine(result, children[i]);
        return result;
    };
}

OperatorResult not_(const OperatorCall& call) {
    const std::vector<IdSet>& children = children_of(call);
    if (children.size() != 1) {
        throw FilterValidationError("Operator 'not_' requires exactly one child, got " +
                                    std::to_string(children.size()));
    }
    IdSet result = *call.pool_keys;
    result -= children.front();
    return result;
}

}  // namespace

std::vector<NamedOperator> boolean_operators() {
    return {
        {"and_", fold_operator("and_", [](IdSet& acc, const IdSet& s) { acc &= s; })},
        {"or_", fold_operator("or_", [](IdSet& acc, const IdSet& s) { acc |= s; })},
        {"not_", not_},
    };
}

}  // namespace brindlecap::functions::filtrations::detail
