#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"

#include <string>
#include <utility>
#include <vector>

#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using runtime::repr;
using runtime::Value;

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

}  // namespace brindlecap::functions::filtrations_evaluation
