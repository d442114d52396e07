// filtration: the intersection of its children, or every pool key when select_all is set.

#include <vector>

#include "brindlecap/functions/filtrations/builtin_operators_internal.hpp"

namespace brindlecap::functions::filtrations::detail {
namespace {

using filtrations_evaluation::CallForm;
using filtrations_evaluation::OperatorResult;

OperatorResult filtration(const OperatorCall& call) {
    if (call.form == CallForm::combinator && call.children_results != nullptr &&
        !call.children_results->empty()) {
        const std::vector<IdSet>& children = *call.children_results;
        IdSet result = children.front();
        for (std::size_t i = 1; i < children.size(); ++i) result &= children[i];
        return result;
    }
    const Value* select_all = call.params != nullptr ? call.params->find(std::string_view("select_all")) : nullptr;
    if (select_all == nullptr || !select_all->truthy()) {
        throw FilterValidationError("Operator 'filtration' requires children or select_all=True");
    }
    return call.form == CallForm::field_leaf ? call.prepared->pool_keys : *call.pool_keys;
}

}  // namespace

std::vector<NamedOperator> wrapper_operators() { return {{"filtration", filtration}}; }

}  // namespace brindlecap::functions::filtrations::detail
