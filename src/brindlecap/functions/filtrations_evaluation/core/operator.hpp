#pragma once
// The operator calling convention: what a leaf operator receives instead of the raw pool, the
// three calling forms, and what an operator may return.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/ids.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/vocabulary.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// One (identifier, value) pair of a prepared field: views into the pool, plus the pool position.
struct PreparedValue {
    std::string_view id;
    const runtime::Value* value;
    std::uint32_t pos;
};

// "Preprocessed field data for leaf operators."
struct PreparedField {
    std::vector<PreparedValue> values;
    std::string field_name;
    FieldType field_type = FieldType::numeric;
    IdSet pool_keys;
    std::int64_t nan_count = 0;
    // Holds the missing-value default that `values` may point at.
    std::shared_ptr<const runtime::Value> missing_default;
};

enum class CallForm { combinator, field_leaf, plain_leaf };

// One call of an operator in one of its three forms:
//   combinator: pool_keys, params, children_results
//   field leaf: prepared, params
//   plain leaf: pool_keys, params
struct OperatorCall {
    CallForm form = CallForm::plain_leaf;
    const IdSet* pool_keys = nullptr;
    const runtime::Dict* params = nullptr;
    const std::vector<IdSet>* children_results = nullptr;
    const PreparedField* prepared = nullptr;
};

// What an operator returns: an identifier set, or any value a dynamic caller might return
// (a list with duplicates or non-strings, a dict whose keys count, ...). Result validation
// turns either into a checked IdSet of the pool.
using OperatorResult = std::variant<IdSet, runtime::Value>;
using Operator = std::function<OperatorResult(const OperatorCall&)>;

// Arguments a caller hands to operator calls as objects it keeps using: one parameter mapping for
// several calls (an operator and then its reference), children results it reads after the call.
// While it lives, on the constructing thread, an operator of a dynamic language receives one
// object of its own language for each of them across those calls, and what the operator changes
// in them is written back here before its call returns, so that what follows sees the change (as
// it would with the very objects). C++ operators, which take them const, are not affected.
class SharedArguments {
public:
    explicit SharedArguments(runtime::Dict& params, std::vector<IdSet>* children_results = nullptr);
    ~SharedArguments();
    SharedArguments(const SharedArguments&) = delete;
    SharedArguments& operator=(const SharedArguments&) = delete;

    // The live shared arguments of the calling thread whose params or children results are at
    // `argument` (an OperatorCall's pointer), or nullptr.
    static SharedArguments* of(const void* argument) noexcept;
    runtime::Dict& params() noexcept { return params_; }
    std::vector<IdSet>* children_results() noexcept { return children_; }

    // The other language's objects for params and children results, made by its binding at the
    // first call and released with this.
    std::shared_ptr<void> host_params;
    std::shared_ptr<void> host_children;

private:
    runtime::Dict& params_;
    std::vector<IdSet>* children_;
};

// Operators that support a single form; any other form raises TypeError.
Operator field_operator(std::string name,
                        std::function<OperatorResult(const PreparedField&, const runtime::Dict&)> fn);
Operator combinator_operator(
    std::string name,
    std::function<OperatorResult(const IdSet&, const runtime::Dict&, const std::vector<IdSet>&)> fn);
Operator plain_operator(std::string name,
                        std::function<OperatorResult(const IdSet&, const runtime::Dict&)> fn);

}  // namespace brindlecap::functions::filtrations_evaluation
