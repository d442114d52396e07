#pragma once
// Records, vocabulary tables, errors and the operator calling convention of filter-tree evaluation.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/ids.hpp"
#include "brindlecap/numeric/matrix.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using runtime::Dict;
using runtime::DictPtr;
using runtime::Value;

// "A signal with weights and metadata."
struct UsefulSignal {
    numeric::MatrixPtr weights;  // (T, N_alloc); product pseudo-signals carry 0x0
    numeric::MatrixPtr pnl;      // null when absent
    DictPtr metadata;            // never null in a pool

    static UsefulSignal make(Dict metadata, numeric::Matrix weights = {});
};

// Insertion-ordered mapping identifier -> UsefulSignal. Inserting an existing identifier
// replaces its signal in place. The key index is shared with the IdSets built over it and is
// copied on write, so such sets stay valid when the pool grows.
class SignalPool {
public:
    struct Entry {
        const std::string& id;
        UsefulSignal& signal;
    };
    struct ConstEntry {
        const std::string& id;
        const UsefulSignal& signal;
    };

    SignalPool();

    std::size_t size() const noexcept { return signals_.size(); }
    bool empty() const noexcept { return signals_.empty(); }
    void reserve(std::size_t n);
    void insert(std::string id, UsefulSignal signal);
    bool contains(std::string_view id) const { return index_->find(id).has_value(); }
    const UsefulSignal* find(std::string_view id) const;
    UsefulSignal* find(std::string_view id);

    const std::string& id(std::size_t pos) const { return index_->id(pos); }
    const UsefulSignal& signal(std::size_t pos) const { return signals_[pos]; }
    UsefulSignal& signal(std::size_t pos) { return signals_[pos]; }
    ConstEntry operator[](std::size_t pos) const { return {id(pos), signals_[pos]}; }
    Entry operator[](std::size_t pos) { return {id(pos), signals_[pos]}; }

    // By value: the pool holds a mutable index, so a const reference would bind a temporary.
    KeyIndexPtr index() const noexcept { return index_; }
    // The set of all identifiers.
    IdSet keys() const { return IdSet::all_of(index_); }

    template <class Self>
    struct Iter {
        Self* pool;
        std::size_t pos;
        auto operator*() const { return (*pool)[pos]; }
        Iter& operator++() {
            ++pos;
            return *this;
        }
        bool operator!=(const Iter& o) const { return pos != o.pos; }
    };
    Iter<SignalPool> begin() { return {this, 0}; }
    Iter<SignalPool> end() { return {this, size()}; }
    Iter<const SignalPool> begin() const { return {this, 0}; }
    Iter<const SignalPool> end() const { return {this, size()}; }

private:
    std::shared_ptr<KeyIndex> index_;
    std::vector<UsefulSignal> signals_;
};

// "Generic filter tree node."
struct FilterNode {
    std::string function_name;
    Dict params;
    std::vector<FilterNode> children;

    // Field by field, through the whole tree (without recursion: trees may be deep).
    friend bool operator==(const FilterNode& a, const FilterNode& b);
};

// "Per-node diagnostic from tree evaluation."
struct FilterDiagnostic {
    std::string filter_description;
    std::int64_t passing_count = 0;
    std::string function_name;
    friend bool operator==(const FilterDiagnostic&, const FilterDiagnostic&) = default;
};

// "Result of resolve_filtrations()."
struct FiltrationResult {
    std::vector<std::string> passing_ids;
    std::int64_t signal_count = 0;
    std::int64_t total_pool_size = 0;
    std::vector<FilterDiagnostic> filter_diagnostics;
    friend bool operator==(const FiltrationResult&, const FiltrationResult&) = default;
};

// "Schema for a single filterable field."
struct FiltrationFieldSchema {
    std::string field_name;
    std::string field_type;
    std::optional<std::string> epoch;
    std::optional<std::string> column;
    std::optional<std::string> stat;
    std::vector<std::string> compatible_operators;
    bool rankable = false;
    friend bool operator==(const FiltrationFieldSchema&, const FiltrationFieldSchema&) = default;
};

// One (identifier, value) pair of a prepared field: views into the pool, plus the pool position.
struct PreparedValue {
    std::string_view id;
    const Value* value;
    std::uint32_t pos;
};

// "Preprocessed field data for leaf operators."
struct PreparedField {
    std::vector<PreparedValue> values;
    std::string field_name;
    std::string field_type;
    IdSet pool_keys;
    std::int64_t nan_count = 0;
    // Holds the missing-value default that `values` may point at.
    std::shared_ptr<const Value> missing_default;
};

// Record printing as the host would: FilterNode(function_name='top_n', params={}, children=[]).
std::string repr(const FilterNode& node);
std::string repr(const FilterDiagnostic& d);
std::string repr(const FiltrationResult& r);
std::string repr(const FiltrationFieldSchema& s);

// ---- Errors -------------------------------------------------------------------------------

// "Raised when useful_signals dict is empty."
class EmptyPoolError : public runtime::Exception {
public:
    explicit EmptyPoolError(std::string message = "",
                            std::optional<std::vector<FilterDiagnostic>> filter_diagnostics = {})
        : Exception("EmptyPoolError", std::move(message)),
          filter_diagnostics(std::move(filter_diagnostics)) {}
    std::optional<std::vector<FilterDiagnostic>> filter_diagnostics;
};

// "Raised for filter tree validation errors."
class FilterValidationError : public runtime::Exception {
public:
    explicit FilterValidationError(std::string message = "")
        : Exception("FilterValidationError", std::move(message)) {}
};

// "Raised when postprocessing detects invalid IDs or non-string elements."
class FiltrationSubsetError : public runtime::Exception {
public:
    explicit FiltrationSubsetError(std::string message = "")
        : Exception("FiltrationSubsetError", std::move(message)) {}
};

// "Raised when 0 signals pass the complete filter tree."
class EmptyFiltrationError : public runtime::Exception {
public:
    explicit EmptyFiltrationError(std::string message,
                                  std::optional<std::vector<FilterDiagnostic>> diagnostics = {})
        : Exception("EmptyFiltrationError", std::move(message)),
          filter_diagnostics(diagnostics ? std::move(*diagnostics) : std::vector<FilterDiagnostic>{}) {}
    std::vector<FilterDiagnostic> filter_diagnostics;
};

// ---- Vocabulary -----------------------------------------------------------------------------

// Field type -> compatible operators, in table order.
extern const std::vector<std::pair<std::string, std::vector<std::string>>> FIELD_TYPE_OPERATORS;
// The entry of a field type; an empty list for a type absent from the table.
const std::vector<std::string>& field_type_operators(std::string_view field_type);
bool field_type_allows(std::string_view field_type, std::string_view operator_name);

namespace detail {
using NameSet = std::set<std::string, std::less<>>;
extern const NameSet COMPARISON_OPS;
extern const NameSet RANK_OPS;
extern const NameSet BOOLEAN_OPS;
extern const NameSet EXPECTED_METADATA_FIELDS;

// Field type of a value: boolean, numeric (refined to date for names ending in _date or
// _timestamp when date_refinement is set), list_str, categorical, else numeric.
std::string infer_field_type(const Value& value, std::string_view field_name, bool date_refinement);
}  // namespace detail

// ---- Operators ------------------------------------------------------------------------------

enum class CallForm { Combinator, FieldLeaf, PlainLeaf };

// One call of an operator in one of its three forms:
//   combinator: pool_keys, params, children_results
//   field leaf: prepared, params
//   plain leaf: pool_keys, params
struct OperatorCall {
    CallForm form = CallForm::PlainLeaf;
    const IdSet* pool_keys = nullptr;
    const Dict* params = nullptr;
    const std::vector<IdSet>* children_results = nullptr;
    const PreparedField* prepared = nullptr;
};

// What an operator returns: an identifier set, or any value a dynamic caller might return
// (a list with duplicates or non-strings, a dict whose keys count, ...). Result validation
// turns either into a checked IdSet of the pool.
using OperatorResult = std::variant<IdSet, Value>;
using Operator = std::function<OperatorResult(const OperatorCall&)>;

// Operators that support a single form; any other form raises TypeError.
Operator field_operator(std::string name,
                        std::function<OperatorResult(const PreparedField&, const Dict&)> fn);
Operator combinator_operator(
    std::string name,
    std::function<OperatorResult(const IdSet&, const Dict&, const std::vector<IdSet>&)> fn);
Operator plain_operator(std::string name,
                        std::function<OperatorResult(const IdSet&, const Dict&)> fn);

}  // namespace brindlecap::functions::filtrations_evaluation
