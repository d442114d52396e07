#pragma once
// Pools, tree nodes and error capture for the filter-tree tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/value.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation::testing {

using runtime::Dict;
using runtime::Value;

inline SignalPool make_pool(std::vector<std::pair<std::string, Dict>> signals) {
    SignalPool pool;
    for (auto& [id, metadata] : signals) pool.insert(id, UsefulSignal::make(std::move(metadata)));
    return pool;
}

// The same signals born column-wise: one values array per field, in first-appearance order.
inline SignalPool born_pool(const std::vector<std::pair<std::string, Dict>>& signals) {
    std::vector<std::string> ids;
    std::vector<std::string> fields;
    for (const auto& [id, metadata] : signals) {
        ids.push_back(id);
        for (const auto& [key, value] : metadata)
            if (std::find(fields.begin(), fields.end(), key.as_str()) == fields.end()) fields.push_back(key.as_str());
    }
    ColumnarPoolBuilder builder(ids);
    for (const std::string& field : fields) {
        std::vector<Value> values;
        std::vector<std::uint8_t> present;
        for (const auto& [id, metadata] : signals) {
            const Value* v = metadata.find(field);
            values.push_back(v != nullptr ? *v : Value());
            present.push_back(v != nullptr);
        }
        builder.add_values(field, values, present);
    }
    return std::move(builder).build();
}

// Text of the error of type E that f raises; a test failure when it raises none.
template <class E, class F>
std::string raised(F&& f) {
    return test::message_of<E>(std::forward<F>(f));
}

inline registry_and_store::StoreEntry entry_of(std::string name, Operator op) {
    return registry_and_store::StoreEntry{std::move(name), "filtration", std::move(op), "", "", Value()};
}

// Every pool key, whatever the call form.
inline Operator select_everything() {
    return [](const OperatorCall& c) -> OperatorResult {
        return c.form == CallForm::field_leaf ? c.prepared->pool_keys : *c.pool_keys;
    };
}

inline FilterNode leaf(std::string fn, Dict params) { return FilterNode{std::move(fn), std::move(params), {}}; }
inline FilterNode node(std::string fn, std::vector<FilterNode> children) {
    return FilterNode{std::move(fn), {}, std::move(children)};
}

}  // namespace brindlecap::functions::filtrations_evaluation::testing
