#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"

#include <utility>
#include <vector>

#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using runtime::Dict;

namespace {

[[noreturn]] void wrong_form(const std::string& name, CallForm expected, CallForm got) {
    if (got == CallForm::combinator) {
        throw runtime::TypeError(name + "() takes 2 positional arguments but 3 were given");
    }
    if (expected == CallForm::combinator) {
        throw runtime::TypeError(name + "() missing 1 required positional argument: 'children_results'");
    }
    throw runtime::TypeError(name + (expected == CallForm::field_leaf
                                         ? "() expects a PreparedField, got the pool keys"
                                         : "() expects the pool keys, got a PreparedField"));
}

thread_local std::vector<SharedArguments*> shared_arguments;

}  // namespace

SharedArguments::SharedArguments(Dict& params, std::vector<IdSet>* children_results)
    : params_(params), children_(children_results) {
    shared_arguments.push_back(this);
}

SharedArguments::~SharedArguments() { std::erase(shared_arguments, this); }

SharedArguments* SharedArguments::of(const void* argument) noexcept {
    for (SharedArguments* shared : shared_arguments) {
        if (&shared->params_ == argument || (shared->children_ != nullptr && shared->children_ == argument)) return shared;
    }
    return nullptr;
}

Operator field_operator(std::string name, std::function<OperatorResult(const PreparedField&, const Dict&)> fn) {
    return [name = std::move(name), fn = std::move(fn)](const OperatorCall& call) -> OperatorResult {
        if (call.form != CallForm::field_leaf) wrong_form(name, CallForm::field_leaf, call.form);
        return fn(*call.prepared, *call.params);
    };
}

Operator combinator_operator(
    std::string name,
    std::function<OperatorResult(const IdSet&, const Dict&, const std::vector<IdSet>&)> fn) {
    return [name = std::move(name), fn = std::move(fn)](const OperatorCall& call) -> OperatorResult {
        if (call.form != CallForm::combinator) wrong_form(name, CallForm::combinator, call.form);
        return fn(*call.pool_keys, *call.params, *call.children_results);
    };
}

Operator plain_operator(std::string name, std::function<OperatorResult(const IdSet&, const Dict&)> fn) {
    return [name = std::move(name), fn = std::move(fn)](const OperatorCall& call) -> OperatorResult {
        if (call.form != CallForm::plain_leaf) wrong_form(name, CallForm::plain_leaf, call.form);
        return fn(*call.pool_keys, *call.params);
    };
}

}  // namespace brindlecap::functions::filtrations_evaluation
