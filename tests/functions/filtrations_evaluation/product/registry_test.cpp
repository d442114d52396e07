#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/product/fields_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve_internal.hpp"
#include "brindlecap/runtime/value.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::Dict;
using runtime::Value;

TEST(ProductFieldRegistry, LayersShareTheFieldsAndUnknownLayersAreRefused) {
    const Dict registry = build_product_filtration_field_registry();
    ASSERT_EQ(registry.size(), 27u);
    std::size_t i = 0;
    for (const std::string layer : {"signal", "strategy", "allocation"}) {
        const Dict bare = detail::product_field_registry_for_layer(layer);
        ASSERT_EQ(bare.size(), 9u);
        for (std::size_t k = 0; k < bare.size(); ++k, ++i) {
            const std::string name = bare.item(k).first.as_str();
            EXPECT_EQ(registry.item(i).first, Value(layer + "." + name));
            EXPECT_EQ(runtime::repr(registry.item(i).second), runtime::repr(bare.item(k).second));
            const Dict& entry = bare.item(k).second.as_dict();
            EXPECT_EQ(entry.at(Value("field_name")), Value(layer + "." + name));
            EXPECT_EQ(entry.at(Value("product_layer")), Value(layer));
        }
    }
    EXPECT_EQ(test::message_of<FilterValidationError>([] { detail::product_field_registry_for_layer("book"); }),
              "No source-backed product filtration fields registered for book");
    EXPECT_THROW(detail::product_field_registry_for_layer("signal."), FilterValidationError);
}

TEST(ProductFieldRegistry, EveryCallBuildsNewData) {
    const std::string pristine_market = runtime::repr(build_product_filtration_field_registry().at(Value("signal.market_id")));
    const std::string pristine_status = runtime::repr(build_product_filtration_field_registry().at(Value("strategy.status")));
    Dict first = build_product_filtration_field_registry();
    Value ledger = first.at(Value("signal.market_id")).as_dict().at(Value("source_ledger"));
    ledger.as_list()[0].as_dict().set(Value("needle"), Value("changed"));
    ledger.as_list().clear();
    first.at(Value("signal.is_sharpe")).as_dict().set(Value("field_type"), Value("boolean"));
    // Within one registry the same field of two layers shares no ledger record either.
    first.at(Value("signal.status")).as_dict().at(Value("source_ledger")).as_list()[0].as_dict().set(Value("owner"), 1);
    EXPECT_EQ(runtime::repr(first.at(Value("strategy.status"))), pristine_status);

    const Dict second = build_product_filtration_field_registry();
    EXPECT_EQ(runtime::repr(second.at(Value("signal.market_id"))), pristine_market);
    EXPECT_EQ(second.at(Value("signal.is_sharpe")).as_dict().at(Value("field_type")), Value("numeric"));
}

TEST(ProductFieldRegistry, EntryValueReadsDictsAndObjects) {
    const Value dict_entry(Dict{{"field_type", "numeric"}});
    EXPECT_EQ(detail::product_registry_entry_value(dict_entry, "field_type"), Value("numeric"));
    EXPECT_EQ(detail::product_registry_entry_value(dict_entry, "missing", Value(7)), Value(7));
    const Value object_entry(std::make_shared<runtime::AttrObject>(
        "FieldEntry", Dict{{"field_type", "list_str"}, {"product_layer", Value()}}));
    EXPECT_EQ(detail::product_registry_entry_value(object_entry, "field_type"), Value("list_str"));
    // An attribute holding None is returned as such, not replaced by the fallback.
    EXPECT_TRUE(detail::product_registry_entry_value(object_entry, "product_layer", Value("x")).is_none());
    EXPECT_EQ(detail::product_registry_entry_value(object_entry, "missing", Value("x")), Value("x"));
    EXPECT_EQ(detail::product_registry_entry_value(Value(3), "field_type", Value("x")), Value("x"));
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
