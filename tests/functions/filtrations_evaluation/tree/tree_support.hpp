#pragma once
// Pools, small operators and error capture for the filter-tree tests.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/records.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation::testing {

using runtime::Value;

inline SignalPool make_pool(std::vector<std::pair<std::string, Dict>> signals) {
    SignalPool pool;
    for (auto& [id, metadata] : signals) pool.insert(id, UsefulSignal::make(std::move(metadata)));
    return pool;
}

// Text of the error of type E that f raises; a test failure when it raises none.
template <class E, class F>
std::string raised(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.text();
    }
    ADD_FAILURE() << "expected an error";
    return {};
}

inline Value str_list(std::initializer_list<const char*> items) {
    runtime::List l;
    for (const char* s : items) l.emplace_back(s);
    return Value::list(std::move(l));
}

// Leaf operators over prepared numbers: value > params["value"], value == params["value"].
inline Operator test_gt() {
    return field_operator("gt", [](const PreparedField& f, const Dict& p) -> OperatorResult {
        IdSet out = IdSet::over(f.pool_keys.universe());
        const Value& target = p.at(Value("value"));
        for (const auto& v : f.values) {
            if (v.value->is_number() && runtime::greater(*v.value, target)) out.insert_pos(v.pos);
        }
        return out;
    });
}

inline Operator test_eq() {
    return field_operator("eq", [](const PreparedField& f, const Dict& p) -> OperatorResult {
        IdSet out = IdSet::over(f.pool_keys.universe());
        const Value& target = p.at(Value("value"));
        for (const auto& v : f.values) {
            if (*v.value == target) out.insert_pos(v.pos);
        }
        return out;
    });
}

// Scalar membership in params["value"], or any shared element for a list value.
inline Operator test_in() {
    return field_operator("in_", [](const PreparedField& f, const Dict& p) -> OperatorResult {
        IdSet out = IdSet::over(f.pool_keys.universe());
        const runtime::List& wanted = p.at(Value("value")).as_list();
        const auto member = [&](const Value& x) {
            for (const auto& w : wanted) {
                if (w == x) return true;
            }
            return false;
        };
        for (const auto& v : f.values) {
            bool hit = false;
            if (v.value->is_list()) {
                for (const auto& x : v.value->as_list()) hit = hit || member(x);
            } else {
                hit = member(*v.value);
            }
            if (hit) out.insert_pos(v.pos);
        }
        return out;
    });
}

// Every prepared value (a stand-in for any leaf that selects within the field).
inline Operator test_all_values(std::string name) {
    return field_operator(std::move(name), [](const PreparedField& f, const Dict&) -> OperatorResult {
        IdSet out = IdSet::over(f.pool_keys.universe());
        for (const auto& v : f.values) out.insert_pos(v.pos);
        return out;
    });
}

inline Operator test_and() {
    return combinator_operator("and_", [](const IdSet&, const Dict&, const std::vector<IdSet>& c) -> OperatorResult {
        IdSet out = c.at(0);
        for (std::size_t i = 1; i < c.size(); ++i) out &= c[i];
        return out;
    });
}

inline Operator test_or() {
    return combinator_operator("or_", [](const IdSet&, const Dict&, const std::vector<IdSet>& c) -> OperatorResult {
        IdSet out = c.at(0);
        for (std::size_t i = 1; i < c.size(); ++i) out |= c[i];
        return out;
    });
}

inline Operator test_not() {
    return combinator_operator("not_", [](const IdSet& keys, const Dict&, const std::vector<IdSet>& c) -> OperatorResult {
        return keys - c.at(0);
    });
}

inline registry_and_store::StoreEntry entry_of(std::string name, Operator op) {
    registry_and_store::StoreEntry e;
    e.name = std::move(name);
    e.function_type = "filtration";
    e.factory = std::move(op);
    return e;
}

// A store of the small operators above under the built-in names.
inline registry_and_store::FunctionStore test_store() {
    registry_and_store::FunctionStore store;
    store.register_entry(entry_of("gt", test_gt()));
    store.register_entry(entry_of("eq", test_eq()));
    store.register_entry(entry_of("in_", test_in()));
    store.register_entry(entry_of("between", test_all_values("between")));
    store.register_entry(entry_of("top_n", test_all_values("top_n")));
    store.register_entry(entry_of("top_pct", test_all_values("top_pct")));
    store.register_entry(entry_of("and_", test_and()));
    store.register_entry(entry_of("or_", test_or()));
    store.register_entry(entry_of("not_", test_not()));
    return store;
}

inline FilterNode leaf(std::string fn, Dict params) { return FilterNode{std::move(fn), std::move(params), {}}; }
inline FilterNode node(std::string fn, std::vector<FilterNode> children) {
    return FilterNode{std::move(fn), {}, std::move(children)};
}

}  // namespace brindlecap::functions::filtrations_evaluation::testing
