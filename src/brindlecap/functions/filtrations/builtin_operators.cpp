#include "brindlecap/functions/filtrations/builtin_operators_internal.hpp"

#include <utility>

namespace brindlecap::functions::filtrations::detail {

using filtrations_evaluation::CallForm;
using filtrations_evaluation::OperatorResult;

Selection::Selection(const PreparedField& field) : by_pos_(field.pool_keys.universe() != nullptr) {
    if (by_pos_) set_ = IdSet::over(field.pool_keys.universe());
}

Operator field_leaf_operator(const std::string& name, FieldFn fn) {
    return [name, fn = std::move(fn)](const OperatorCall& call) -> OperatorResult {
        switch (call.form) {
            case CallForm::field_leaf:
                return fn(*call.prepared, *call.params);
            case CallForm::plain_leaf:
                throw FilterValidationError("Operator '" + name + "' requires a 'field' parameter");
            case CallForm::combinator:
                break;
        }
        throw FilterValidationError("Operator '" + name + "' does not accept children");
    };
}

}  // namespace brindlecap::functions::filtrations::detail
