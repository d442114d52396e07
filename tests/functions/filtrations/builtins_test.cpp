#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "case_file.hpp"
#include "runtime/value_printer.hpp"

namespace {

using namespace brindlecap::functions;
using brindlecap::runtime::Dict;
using brindlecap::runtime::Value;
using brindlecap::test::ids_value;
using brindlecap::test::message_of;
using filtrations_evaluation::CallForm;
using filtrations_evaluation::FilterValidationError;
using filtrations_evaluation::IdSet;
using filtrations_evaluation::KeyIndex;
using filtrations_evaluation::OperatorCall;
using filtrations_evaluation::PreparedField;
using filtrations_evaluation::PreparedValue;
using Ids = std::vector<std::string>;
using Rows = std::vector<std::pair<std::string, Value>>;

filtrations_evaluation::Operator builtin(const std::string& name) {
    static const registry_and_store::FunctionStore store = registry_and_store::build_default_store();
    const auto e = store.get_entry(name);
    return filtrations::resolve_builtin_filtration_target(e.module_path, e.class_name);
}

// A prepared field built by hand: `rows` carry values, `extra_keys` are pool keys without one.
class Field {
public:
    explicit Field(Rows rows, Ids extra_keys = {}, bool with_universe = true) : storage_(rows.size()) {
        auto index = std::make_shared<KeyIndex>();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const std::uint32_t pos = index->add(rows[i].first);
            storage_[i] = rows[i].second;
            prepared.values.push_back(PreparedValue{index->id(pos), &storage_[i], pos});
        }
        for (auto& id : extra_keys) index->add(id);
        prepared.field_name = "f";
        prepared.field_type = filtrations_evaluation::FieldType::numeric;
        if (with_universe) {
            prepared.pool_keys = IdSet::all_of(index);
        } else {  // no key index: the operators fall back to inserting identifiers
            for (std::size_t i = 0; i < index->size(); ++i) prepared.pool_keys.insert(index->id(i));
        }
        index_ = index;
    }
    Field(const Field&) = delete;

    PreparedField prepared;

private:
    std::shared_ptr<KeyIndex> index_;
    std::vector<Value> storage_;
};

Ids call_field(const std::string& name, const Field& field, Dict params) {
    params.set("field", "f");
    OperatorCall call{CallForm::field_leaf, nullptr, &params, nullptr, &field.prepared};
    return std::get<IdSet>(builtin(name)(call)).sorted();
}

Ids call_other(const std::string& name, const IdSet& keys, const std::vector<IdSet>* children, const Dict& params = {}) {
    OperatorCall call{children ? CallForm::combinator : CallForm::plain_leaf, &keys, &params, children, nullptr};
    return std::get<IdSet>(builtin(name)(call)).sorted();
}

// Values 0..n-1 under ids s00..s(n-1).
Rows numbered(int n) {
    Rows rows;
    for (int i = 0; i < n; ++i) rows.emplace_back((i < 10 ? "s0" : "s") + std::to_string(i), Value(double(i)));
    return rows;
}

// The field named by a case, built from its "let" line.
std::unique_ptr<Field> make_field(const Dict& let) {
    Rows rows;
    for (const auto& [id, v] : let.at("rows").as_dict()) rows.emplace_back(id.as_str(), v);
    const Value* extra = let.find("extra");
    return std::make_unique<Field>(rows, extra ? brindlecap::test::strings(*extra) : Ids{}, !let.contains("no_index"));
}

IdSet subset(const IdSet& keys, const Value& ids) {
    IdSet s = IdSet::over(keys.universe());
    for (const auto& id : ids.as_list()) s.insert(id.as_str());
    return s;
}

// tests/data/cases/operators.jsonl: leaves on hand-built fields, combinators on id sets.
TEST(BuiltinOperators, CasesFromTheTable) {
    std::map<std::string, std::unique_ptr<Field>> fields;
    for (const auto& c : brindlecap::test::read_cases("operators.jsonl")) {
        if (c.has("let")) {
            fields[c.str("let")] = make_field(c.d);
            continue;
        }
        std::unique_ptr<Field> keys_only;
        const std::string got = brindlecap::test::outcome_text([&] {
            if (c.has("field")) return ids_value(call_field(c.str("op"), *fields.at(c.str("field")), c["params"].as_dict()));
            keys_only = std::make_unique<Field>(Rows{}, brindlecap::test::strings(c["keys"]));
            const IdSet& keys = keys_only->prepared.pool_keys;
            std::vector<IdSet> children;
            if (c.has("children")) for (const auto& ids : c["children"].as_list()) children.push_back(subset(keys, ids));
            return ids_value(call_other(c.str("op"), keys, c.has("children") ? &children : nullptr, c["params"].as_dict()));
        });
        EXPECT_EQ(got, c.has("error") ? c.str("error") : brindlecap::runtime::repr(c["expect"])) << c.where;
    }
}

// Every field operator refuses a missing value, field or children alike.
TEST(BuiltinErrors, MissingParametersAndChildren) {
    const Field f(numbered(4));
    const IdSet& keys = f.prepared.pool_keys;
    const std::vector<IdSet> one{keys};
    for (const char* op : {"gt", "gte", "lt", "lte", "eq", "neq", "between", "in_", "top_pct", "bottom_pct", "top_n",
                           "bottom_n"}) {
        const std::string prefix = std::string("Operator '") + op;
        if (std::string_view(op).size() <= 3 && std::string_view(op) != "in_") {
            EXPECT_EQ(message_of<FilterValidationError>([&] { call_field(op, f, {}); }),
                      prefix + "' requires a 'value' parameter");
        }
        EXPECT_EQ(message_of<FilterValidationError>([&] { call_other(op, keys, nullptr, {{"value", 1}}); }),
                  prefix + "' requires a 'field' parameter");
        EXPECT_EQ(message_of<FilterValidationError>([&] { call_other(op, keys, &one, {{"field", "f"}}); }),
                  prefix + "' does not accept children");
    }
}

}  // namespace
