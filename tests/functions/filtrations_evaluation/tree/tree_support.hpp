#pragma once
// Pools, small operators and error capture for the filter-tree tests.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/value.hpp"
#include "runtime/value_printer.hpp"

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
    return test::message_of<E>(std::forward<F>(f));
}

inline Value str_list(std::initializer_list<const char*> items) {
    runtime::List l;
    for (const char* s : items) l.emplace_back(s);
    return Value::list(std::move(l));
}

// A field leaf selecting the prepared values for which keep(value, params["value"]) holds.
template <class Keep>
Operator select_values(std::string name, Keep keep) {
    return field_operator(std::move(name), [keep](const PreparedField& f, const Dict& p) -> OperatorResult {
        IdSet out = IdSet::over(f.pool_keys.universe());
        const Value target = p.get("value");
        for (const auto& v : f.values) {
            if (keep(*v.value, target)) out.insert_pos(v.pos);
        }
        return out;
    });
}

// value > params["value"] and value == params["value"] over numbers.
inline Operator test_gt() {
    return select_values("gt", [](const Value& v, const Value& t) { return v.is_number() && runtime::greater(v, t); });
}
inline Operator test_eq() {
    return select_values("eq", [](const Value& v, const Value& t) { return v == t; });
}
// Scalar membership in params["value"], or any shared element for a list value.
inline Operator test_in() {
    return select_values("in_", [](const Value& v, const Value& wanted) {
        const auto member = [&](const Value& x) {
            for (const auto& w : wanted.as_list()) {
                if (w == x) return true;
            }
            return false;
        };
        if (!v.is_list()) return member(v);
        for (const auto& x : v.as_list()) {
            if (member(x)) return true;
        }
        return false;
    });
}
// Every prepared value (a stand-in for any leaf that selects within the field).
inline Operator test_all_values(std::string name) {
    return select_values(std::move(name), [](const Value&, const Value&) { return true; });
}

template <class Combine>
Operator fold_children(std::string name, Combine combine) {
    return combinator_operator(std::move(name),
                               [combine](const IdSet&, const Dict&, const std::vector<IdSet>& c) -> OperatorResult {
                                   IdSet out = c.at(0);
                                   for (std::size_t i = 1; i < c.size(); ++i) combine(out, c[i]);
                                   return out;
                               });
}
inline Operator test_and() {
    return fold_children("and_", [](IdSet& a, const IdSet& b) { a &= b; });
}
inline Operator test_or() {
    return fold_children("or_", [](IdSet& a, const IdSet& b) { a |= b; });
}
inline Operator test_not() {
    return combinator_operator("not_", [](const IdSet& keys, const Dict&, const std::vector<IdSet>& c) -> OperatorResult {
        return keys - c.at(0);
    });
}

inline registry_and_store::StoreEntry entry_of(std::string name, Operator op) {
    return registry_and_store::StoreEntry{std::move(name), "filtration", std::move(op), "", "", Value()};
}

// A store of the small operators above under the built-in names.
inline registry_and_store::FunctionStore test_store() {
    registry_and_store::FunctionStore store;
    store.register_entry(entry_of("gt", test_gt()));
    store.register_entry(entry_of("eq", test_eq()));
    store.register_entry(entry_of("in_", test_in()));
    for (const char* name : {"between", "top_n", "top_pct"}) store.register_entry(entry_of(name, test_all_values(name)));
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
