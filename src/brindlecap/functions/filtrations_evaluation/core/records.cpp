#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"

#include <string>
#include <utility>
#include <vector>

#include "brindlecap/runtime/errors.hpp"
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

namespace {

// The first problem of a node mapping, or an empty string.
std::string node_problem(const runtime::Value& value) {
    if (!value.is_dict()) return "a tree node must be an object, got " + runtime::type_name(value);
    const runtime::Dict& d = value.as_dict();
    for (const auto& [key, item] : d) {
        if (!key.is_str() || (key.as_str() != "function_name" && key.as_str() != "params" && key.as_str() != "children")) {
            return "unknown key " + repr(key) + " (a node has function_name, params and children)";
        }
    }
    const Value* name = d.find("function_name");
    if (name == nullptr) return "'function_name' is missing";
    if (!name->is_str()) return "'function_name' must be a string, got " + runtime::type_name(*name);
    if (const Value* params = d.find("params"); params != nullptr && !params->is_none() && !params->is_dict()) {
        return "'params' must be an object, got " + runtime::type_name(*params);
    }
    if (const Value* children = d.find("children"); children != nullptr && !children->is_none() && !children->is_list()) {
        return "'children' must be a list, got " + runtime::type_name(*children);
    }
    return {};
}

}  // namespace

FilterNode tree_from_value(const runtime::Value& value, std::string_view where) {
    // Depth first with an explicit stack, which is also the path to the node being read.
    struct Frame {
        const Value* value;
        FilterNode* node;
        std::size_t next_child = 0;
    };
    FilterNode root;
    std::vector<Frame> stack;
    const auto enter = [&](const Value& v, FilterNode& node) {
        if (std::string problem = node_problem(v); !problem.empty()) {
            std::string path(where);
            for (std::size_t i = 0; i < stack.size(); ++i) path += ".children[" + std::to_string(stack[i].next_child - 1) + "]";
            throw runtime::ValueError(path + ": " + problem);
        }
        const runtime::Dict& d = v.as_dict();
        node.function_name = d.find("function_name")->as_str();
        if (const Value* params = d.find("params"); params != nullptr && !params->is_none()) node.params = params->as_dict().copy();
        if (const Value* children = d.find("children"); children != nullptr && !children->is_none()) {
            node.children.resize(children->as_list().size());  // filled in place: the nodes never move
        }
        stack.push_back(Frame{&v, &node});
    };
    enter(value, root);
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next_child == frame.node->children.size()) {
            stack.pop_back();
            continue;
        }
        const std::size_t i = frame.next_child++;
        enter(frame.value->as_dict().find("children")->as_list()[i], frame.node->children[i]);
    }
    return root;
}

runtime::Value tree_to_value(const FilterNode& tree) {
    // Mapping of each node, filled as its children finish (explicit stack: trees may be deep).
    struct Frame {
        const FilterNode* node;
        runtime::List children;
    };
    std::vector<Frame> stack{{&tree, {}}};
    stack.back().children.reserve(tree.children.size());
    Value done;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.children.size() < frame.node->children.size()) {
            const FilterNode& child = frame.node->children[frame.children.size()];
            stack.push_back(Frame{&child, {}});
            stack.back().children.reserve(child.children.size());
            continue;
        }
        done = Value(runtime::Dict{{"function_name", Value(frame.node->function_name)},
                                   {"params", Value(frame.node->params.copy())},
                                   {"children", Value::list(std::move(frame.children))}});
        stack.pop_back();
        if (!stack.empty()) stack.back().children.push_back(done);
    }
    return done;
}

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
