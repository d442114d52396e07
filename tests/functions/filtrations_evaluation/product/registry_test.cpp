#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/functions/filtrations_evaluation/product/product.hpp"
#include "brindlecap/runtime/value.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::Dict;
using runtime::List;
using runtime::Value;

std::vector<std::string> str_keys(const Dict& d) {
    std::vector<std::string> out;
    for (const auto& [k, v] : d) out.push_back(k.as_str());
    return out;
}

const Dict& entry_of(const Dict& registry, const char* name) {
    return registry.at(Value(name)).as_dict();
}

TEST(ProductFieldRegistry, QualifiedKeysLayerByLayerInTableOrder) {
    const Dict registry = build_product_filtration_field_registry();
    ASSERT_EQ(registry.size(), 27u);
    EXPECT_EQ(registry.item(0).first, Value("signal.strict_expression"));
    EXPECT_EQ(registry.item(26).first, Value("allocation.rotations_used"));

    std::vector<std::string> expected;
    for (const char* layer : {"signal", "strategy", "allocation"}) {
        for (const auto& spec : detail::PRODUCT_FILTRATION_FIELDS) {
            expected.push_back(std::string(layer) + "." + std::string(spec.field_name));
        }
    }
    EXPECT_EQ(str_keys(registry), expected);

    const std::vector<std::string> entry_keys{
        "field_name",   "product_layer", "investment_product_type", "field_type",
        "field_category", "source",      "source_path",             "source_field",
        "source_kind",  "source_owner",  "source_ledger"};
    for (const auto& [key, entry] : registry) {
        ASSERT_TRUE(entry.is_dict());
        EXPECT_EQ(str_keys(entry.as_dict()), entry_keys) << key.as_str();
        EXPECT_EQ(entry.as_dict().at(Value("field_name")), key);
    }
}

TEST(ProductFieldRegistry, StrategyMarketIdEntryCitesItsTwoSources) {
    const Dict registry = build_product_filtration_field_registry();
    const Dict& e = entry_of(registry, "strategy.market_id");
    const char* s3_path = "repo:src/simulator_engine/graph/product_envelope";
    EXPECT_EQ(e.at(Value("field_name")), Value("strategy.market_id"));
    EXPECT_EQ(e.at(Value("product_layer")), Value("strategy"));
    EXPECT_EQ(e.at(Value("investment_product_type")), Value("strategy"));
    EXPECT_EQ(e.at(Value("field_type")), Value("numeric"));
    EXPECT_EQ(e.at(Value("field_category")), Value("context"));
    EXPECT_EQ(e.at(Value("source")), Value(s3_path));
    EXPECT_EQ(e.at(Value("source_path")), Value(s3_path));
    EXPECT_EQ(e.at(Value("source_field")), Value("product_context.market_id"));
    EXPECT_EQ(e.at(Value("source_kind")), Value("runtime_product_envelope"));
    EXPECT_EQ(e.at(Value("source_owner")), Value("normalized investment product context"));

    const Value s3(Dict{{"source_path", s3_path},
                        {"source_field", "product_context.market_id"},
                        {"needle", "market_id"},
                        {"source_kind", "runtime_product_envelope"},
                        {"owner", "normalized investment product context"}});
    const Value s4(Dict{{"source_path", "repo:documentation/plans/database/schema_catalog"},
                        {"source_field", "platform_service.era_config.market_id"},
                        {"needle", "market_id"},
                        {"source_kind", "schema_catalog"},
                        {"owner", "era market identity"}});
    EXPECT_EQ(e.at(Value("source_ledger")), Value::list({s3, s4}));
    // Key order of a source record is part of its shape.
    EXPECT_EQ(str_keys(e.at(Value("source_ledger")).as_list()[0].as_dict()),
              (std::vector<std::string>{"source_path", "source_field", "needle", "source_kind",
                                        "owner"}));
}

TEST(ProductFieldRegistry, LedgersCopyEverySourceOfTheirSpec) {
    const Dict registry = build_product_filtration_field_registry();
    for (const char* layer : {"signal", "strategy", "allocation"}) {
        EXPECT_EQ(entry_of(registry, (std::string(layer) + ".source").c_str())
                      .at(Value("source_ledger")).as_list().size(), 1u);
        EXPECT_EQ(entry_of(registry, (std::string(layer) + ".is_correlation").c_str())
                      .at(Value("source_ledger")).as_list().size(), 1u);
        for (const auto& spec : detail::PRODUCT_FILTRATION_FIELDS) {
            const std::string name = std::string(layer) + "." + std::string(spec.field_name);
            const Dict& e = entry_of(registry, name.c_str());
            EXPECT_EQ(e.at(Value("field_type")), Value(spec.field_type));
            EXPECT_EQ(e.at(Value("field_category")), Value(spec.field_category));
            const List& ledger = e.at(Value("source_ledger")).as_list();
            ASSERT_EQ(ledger.size(), spec.source_ledger.size()) << name;
            for (std::size_t i = 0; i < ledger.size(); ++i) {
                const auto& s = spec.source_ledger[i];
                EXPECT_EQ(ledger[i], Value(detail::product_field_source(
                                         s.source_path, s.source_field, s.needle, s.source_kind,
                                         s.owner)))
                    << name;
            }
            EXPECT_EQ(e.at(Value("source_path")), ledger[0].as_dict().at(Value("source_path")));
            EXPECT_EQ(e.at(Value("source_owner")), ledger[0].as_dict().at(Value("owner")));
        }
    }
}

TEST(ProductFieldRegistry, VarcharNeedlesKeepTheirBlanks) {
    const Dict registry = build_product_filtration_field_registry();
    const Value status_needle =
        entry_of(registry, "signal.status").at(Value("source_ledger")).as_list()[0].as_dict().at(
            Value("needle"));
    const Value source_needle =
        entry_of(registry, "signal.source").at(Value("source_ledger")).as_list()[0].as_dict().at(
            Value("needle"));
    EXPECT_EQ(status_needle.as_str().size(), 31u);
    EXPECT_EQ(source_needle.as_str().size(), 31u);
    EXPECT_EQ(status_needle, Value("status" + std::string(18, ' ') + "VARCHAR"));
    EXPECT_EQ(source_needle, Value("source" + std::string(18, ' ') + "VARCHAR"));
}

TEST(ProductFieldRegistry, EveryCallBuildsNewData) {
    Dict first = build_product_filtration_field_registry();
    Value ledger = first.at(Value("signal.market_id")).as_dict().at(Value("source_ledger"));
    ledger.as_list()[0].as_dict().set(Value("needle"), Value("changed"));
    ledger.as_list().clear();
    first.at(Value("signal.is_sharpe")).as_dict().set(Value("field_type"), Value("boolean"));

    const Dict second = build_product_filtration_field_registry();
    const List& fresh =
        second.at(Value("signal.market_id")).as_dict().at(Value("source_ledger")).as_list();
    ASSERT_EQ(fresh.size(), 2u);
    EXPECT_EQ(fresh[0].as_dict().at(Value("needle")), Value("market_id"));
    EXPECT_EQ(second.at(Value("signal.is_sharpe")).as_dict().at(Value("field_type")),
              Value("numeric"));

    // Within one registry the same field of two layers shares no ledger record either.
    Dict third = build_product_filtration_field_registry();
    third.at(Value("signal.status")).as_dict().at(Value("source_ledger")).as_list()[0].as_dict().set(
        Value("owner"), Value("changed"));
    EXPECT_EQ(third.at(Value("strategy.status")).as_dict().at(Value("source_ledger")).as_list()[0]
                  .as_dict().at(Value("owner")),
              Value("per-era signal/strategy lifecycle state"));
}

TEST(ProductFieldRegistry, LayerRegistryUsesBareNames) {
    for (const char* layer : {"signal", "strategy", "allocation"}) {
        const Dict fields = detail::product_field_registry_for_layer(layer);
        std::vector<std::string> expected;
        for (const auto& spec : detail::PRODUCT_FILTRATION_FIELDS) {
            expected.emplace_back(spec.field_name);
        }
        EXPECT_EQ(str_keys(fields), expected);
        for (const auto& [name, entry] : fields) {
            EXPECT_EQ(entry.as_dict().at(Value("product_layer")), Value(layer));
            EXPECT_EQ(entry.as_dict().at(Value("field_name")),
                      Value(std::string(layer) + "." + name.as_str()));
        }
    }
}

TEST(ProductFieldRegistry, LayerWithoutFieldsFails) {
    for (const char* layer : {"book", "", "Signal", "signal."}) {
        try {
            detail::product_field_registry_for_layer(layer);
            ADD_FAILURE() << "no error for " << layer;
        } catch (const FilterValidationError& e) {
            EXPECT_EQ(e.message(),
                      std::string("No source-backed product filtration fields registered for ") +
                          layer);
        }
    }
}

TEST(ProductFieldRegistry, EntryValueReadsDictsAndObjects) {
    const Value dict_entry(Dict{{"field_type", "numeric"}});
    EXPECT_EQ(detail::product_registry_entry_value(dict_entry, "field_type"), Value("numeric"));
    EXPECT_TRUE(detail::product_registry_entry_value(dict_entry, "missing").is_none());
    EXPECT_EQ(detail::product_registry_entry_value(dict_entry, "missing", Value(7)), Value(7));

    const Value object_entry(std::make_shared<runtime::AttrObject>(
        "FieldEntry", Dict{{"field_type", "list_str"}, {"product_layer", Value()}}));
    EXPECT_EQ(detail::product_registry_entry_value(object_entry, "field_type"), Value("list_str"));
    // An attribute holding None is returned as such, not replaced by the fallback.
    EXPECT_TRUE(
        detail::product_registry_entry_value(object_entry, "product_layer", Value("x")).is_none());
    EXPECT_EQ(detail::product_registry_entry_value(object_entry, "missing", Value("x")), Value("x"));

    EXPECT_EQ(detail::product_registry_entry_value(Value(3), "field_type", Value("x")), Value("x"));
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
