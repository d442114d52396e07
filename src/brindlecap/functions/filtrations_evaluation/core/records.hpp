#pragma once
// The records that cross the module's boundary: filter trees, their diagnostics and results.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// "Generic filter tree node."
struct FilterNode {
    std::string function_name;
    runtime::Dict params;
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

// A tree given as a mapping {"function_name": name, "params": {...}, "children": [...]} (params
// and children optional, None meaning absent) and back. ValueError naming the place of the
// first node of another shape ("tree.children[1]: 'function_name' is missing"). Any depth.
FilterNode tree_from_value(const runtime::Value& value, std::string_view where = "tree");
runtime::Value tree_to_value(const FilterNode& tree);

// Record printing: FilterNode(function_name='top_n', params={}, children=[]).
std::string repr(const FilterNode& node);
std::string repr(const FilterDiagnostic& d);
std::string repr(const FiltrationResult& r);
std::string repr(const FiltrationFieldSchema& s);

}  // namespace brindlecap::functions::filtrations_evaluation
