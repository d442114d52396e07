#include "brindlecap/functions/filtrations_evaluation/tree/records.hpp"

#include <string>
#include <utility>
#include <vector>

#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using runtime::repr;

// ---- UsefulSignal / SignalPool --------------------------------------------------------------

UsefulSignal UsefulSignal::make(Dict metadata, numeric::Matrix weights) {
    return UsefulSignal{std::make_shared<numeric::Matrix>(std::move(weights)), nullptr,
                        std::make_shared<Dict>(std::move(metadata))};
}

SignalPool::SignalPool() : index_(std::make_shared<KeyIndex>()) {}

void SignalPool::reserve(std::size_t n) {
    // Copy on write: sets built over the current index keep it unchanged.
    if (index_.use_count() > 1) index_ = std::make_shared<KeyIndex>(*index_);
    index_->reserve(n);
    signals_.reserve(n);
}

void SignalPool::insert(std::string id, UsefulSignal signal) {
    if (const auto pos = index_->find(id)) {
        signals_[*pos] = std::move(signal);
        return;
    }
    if (index_.use_count() > 1) index_ = std::make_shared<KeyIndex>(*index_);
    index_->add(std::move(id));
    signals_.push_back(std::move(signal));
}

const UsefulSignal* SignalPool::find(std::string_view id) const {
    const auto pos = index_->find(id);
    return pos ? &signals_[*pos] : nullptr;
}

UsefulSignal* SignalPool::find(std::string_view id) {
    const auto pos = index_->find(id);
    return pos ? &signals_[*pos] : nullptr;
}

// ---- Record printing ------------------------------------------------------------------------

namespace {

template <class T, class F>
std::string list_repr(const std::vector<T>& items, F&& item_repr) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += item_repr(items[i]);
    }
    return out + "]";
}

std::string optional_repr(const std::optional<std::string>& s) { return s ? repr(std::string_view(*s)) : "None"; }

}  // namespace

bool operator==(const FilterNode& a, const FilterNode& b) {
    std::vector<std::pair<const FilterNode*, const FilterNode*>> pending{{&a, &b}};
    while (!pending.empty()) {
        const auto [x, y] = pending.back();
        pending.pop_back();
        if (x->function_name != y->function_name || !(x->params == y->params) ||
            x->children.size() != y->children.size()) {
            return false;
        }
        for (std::size_t i = 0; i < x->children.size(); ++i) pending.emplace_back(&x->children[i], &y->children[i]);
    }
    return true;
}

// Written with an explicit stack, like the evaluation: trees may be deep.
std::string repr(const FilterNode& root) {
    std::string out;
    struct Frame {
        const FilterNode* node;
        std::size_t next;
    };
    std::vector<Frame> stack;
    const auto open = [&](const FilterNode& node) {
        out += "FilterNode(function_name=";
        out += repr(std::string_view(node.function_name));
        out += ", params=";
        out += repr(Value(node.params));
        out += ", children=[";
        stack.push_back(Frame{&node, 0});
    };
    open(root);
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.node->children.size()) {
            out += "])";
            stack.pop_back();
            continue;
        }
        const std::size_t i = f.next++;
        if (i > 0) out += ", ";
        open(f.node->children[i]);  // may grow the stack: f is not used after this
    }
    return out;
}

std::string repr(const FilterDiagnostic& d) {
    return "FilterDiagnostic(filter_description=" + repr(std::string_view(d.filter_description)) +
           ", passing_count=" + std::to_string(d.passing_count) +
           ", function_name=" + repr(std::string_view(d.function_name)) + ")";
}

std::string repr(const FiltrationResult& r) {
    return "FiltrationResult(passing_ids=" + runtime::repr_list(r.passing_ids) +
           ", signal_count=" + std::to_string(r.signal_count) +
           ", total_pool_size=" + std::to_string(r.total_pool_size) + ", filter_diagnostics=" +
           list_repr(r.filter_diagnostics, [](const FilterDiagnostic& d) { return repr(d); }) + ")";
}

std::string repr(const FiltrationFieldSchema& s) {
    return "FiltrationFieldSchema(field_name=" + repr(std::string_view(s.field_name)) +
           ", field_type=" + repr(std::string_view(s.field_type)) + ", epoch=" + optional_repr(s.epoch) +
           ", column=" + optional_repr(s.column) + ", stat=" + optional_repr(s.stat) +
           ", compatible_operators=" + runtime::repr_list(s.compatible_operators) +
           ", rankable=" + (s.rankable ? "True" : "False") + ")";
}

// ---- Vocabulary -----------------------------------------------------------------------------

namespace {
const std::vector<std::string> ORDERED_OPS = {"gt",      "gte",        "lt",    "lte",     "eq",      "neq",
                                              "between", "top_pct", "bottom_pct", "top_n", "bottom_n"};
}  // namespace

const std::vector<std::pair<std::string, std::vector<std::string>>> FIELD_TYPE_OPERATORS = {
    {"numeric", ORDERED_OPS},
    {"date", ORDERED_OPS},
    {"list_str", {"in_"}},
    {"categorical", {"eq", "neq", "in_"}},
    {"boolean", {"eq", "neq"}},
};

const std::vector<std::string>& field_type_operators(std::string_view field_type) {
    static const std::vector<std::string> none;
    for (const auto& [type, ops] : FIELD_TYPE_OPERATORS) {
        if (type == field_type) return ops;
    }
    return none;
}

bool field_type_allows(std::string_view field_type, std::string_view operator_name) {
    for (const auto& op : field_type_operators(field_type)) {
        if (op == operator_name) return true;
    }
    return false;
}

namespace detail {

const NameSet COMPARISON_OPS = {"gt", "gte", "lt", "lte", "eq", "neq", "between", "in_"};
const NameSet RANK_OPS = {"top_pct", "bottom_pct", "top_n", "bottom_n"};
const NameSet BOOLEAN_OPS = {"and_", "or_", "not_"};
const NameSet EXPECTED_METADATA_FIELDS = {
    "is_sharpe",  "is_returns", "is_turnover",      "rotation_families_used", "expression_complexity",
    "submission_date", "is_active", "signal_category"};

std::string infer_field_type(const Value& value, std::string_view field_name, bool date_refinement) {
    if (value.is_bool()) return "boolean";
    if (value.is_number()) {
        if (date_refinement && (field_name.ends_with("_date") || field_name.ends_with("_timestamp"))) {
            return "date";
        }
        return "numeric";
    }
    if (value.is_list()) return "list_str";
    if (value.is_str()) return "categorical";
    return "numeric";
}

}  // namespace detail

// ---- Operators of one calling form -----------------------------------------------------------

namespace {

[[noreturn]] void wrong_form(const std::string& name, CallForm expected, CallForm got) {
    if (got == CallForm::Combinator) {
        throw runtime::TypeError(name + "() takes 2 positional arguments but 3 were given");
    }
    if (expected == CallForm::Combinator) {
        throw runtime::TypeError(name + "() missing 1 required positional argument: 'children_results'");
    }
    throw runtime::TypeError(name + (expected == CallForm::FieldLeaf
                                         ? "() expects a PreparedField, got the pool keys"
                                         : "() expects the pool keys, got a PreparedField"));
}

}  // namespace

Operator field_operator(std::string name, std::function<OperatorResult(const PreparedField&, const Dict&)> fn) {
    return [name = std::move(name), fn = std::move(fn)](const OperatorCall& call) -> OperatorResult {
        if (call.form != CallForm::FieldLeaf) wrong_form(name, CallForm::FieldLeaf, call.form);
        return fn(*call.prepared, *call.params);
    };
}

Operator combinator_operator(
    std::string name,
    std::function<OperatorResult(const IdSet&, const Dict&, const std::vector<IdSet>&)> fn) {
    return [name = std::move(name), fn = std::move(fn)](const OperatorCall& call) -> OperatorResult {
        if (call.form != CallForm::Combinator) wrong_form(name, CallForm::Combinator, call.form);
        return fn(*call.pool_keys, *call.params, *call.children_results);
    };
}

Operator plain_operator(std::string name, std::function<OperatorResult(const IdSet&, const Dict&)> fn) {
    return [name = std::move(name), fn = std::move(fn)](const OperatorCall& call) -> OperatorResult {
        if (call.form != CallForm::PlainLeaf) wrong_form(name, CallForm::PlainLeaf, call.form);
        return fn(*call.pool_keys, *call.params);
    };
}

}  // namespace brindlecap::functions::filtrations_evaluation
