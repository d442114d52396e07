#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/product/product.hpp"
#include "brindlecap/runtime/value.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::Dict;
using runtime::Value;

// The source citations and fields, written out independently of the module table.
struct Source {
    std::string path, field, needle, kind, owner;
};
const std::string kEnvelope = "repo:src/simulator_engine/graph/product_envelope";
const std::string kCatalog = "repo:documentation/plans/database/schema_catalog";
const std::string kUtils = "repo:brindlecap/functions/evaluation_harnesses/evaluation_utils";
const std::string kValidator = "repo:src/simulator_engine/graph/graph_validator";
const std::string kBlanks(18, ' ');
const std::vector<Source> kSources = {
    {kEnvelope, "InvestmentProductEnvelope.strict_expression", "strict_expression", "runtime_product_envelope",
     "normalized investment product expression graph"},
    {"repo:brindlecap/functions/shared_utils/_typed_shapes", "FunctionGraphNode.node", "class FunctionGraphNode",
     "typed_graph_shape", "strict expression graph node contract"},
    {kEnvelope, "product_context.market_id", "market_id", "runtime_product_envelope", "normalized investment product context"},
    {kCatalog, "platform_service.era_config.market_id", "market_id", "schema_catalog", "era market identity"},
    {kCatalog, "signal_service.signal_era_results.status", "status" + kBlanks + "VARCHAR", "schema_catalog",
     "per-era signal/strategy lifecycle state"},
    {"repo:src/signal_service/_shared/status_sets", "lifecycle_status_snapshot_values", "lifecycle_status_snapshot_values",
     "status_policy", "shared lifecycle status set"},
    {kCatalog, "signal_service.signal_era_results.effective_metaparameters", "effective_metaparameters", "schema_catalog",
     "resolved per-era metaparameters"},
    {"repo:src/simulate_primitives/metaparameters", "resolve_metaparameters", "resolve_metaparameters",
     "runtime_metaparameter_resolver", "metaparameter resolution implementation"},
    {kCatalog, "signal_service.signal_era_results.source", "source" + kBlanks + "VARCHAR", "schema_catalog",
     "submitted-or-migrated product descriptor"},
    {kUtils, "metadata[\"is_sharpe\"]", "metadata[\"is_sharpe\"]", "runtime_metadata_derivation",
     "flattened in-sample Sharpe metadata"},
    {kValidator, "build_filtration_field_schema epoch stats", "fname = f\"{epoch}{stat_name}\"", "field_schema_builder",
     "epoch-prefixed performance field schema"},
    {kCatalog, "signal_service.signal_era_results.is_correlation", "is_correlation", "schema_catalog",
     "pool-v2 in-sample correlation result column"},
    {kUtils, "metadata[\"rotation_families_used\"]", "metadata[\"rotation_families_used\"]", "runtime_metadata_derivation",
     "rotation family extraction from clear graph"},
    {kValidator, "rotation_families_used schema field", "rotation_families_used", "field_schema_builder",
     "rotation metadata field schema"},
    {kValidator, "rotations_used schema field", "rotations_used", "field_schema_builder",
     "rotation node metadata field schema"},
    {"repo:brindlecap/functions/registry_and_store/_registry", "_VALID_ROTATION_FAMILIES", "_VALID_ROTATION_FAMILIES",
     "function_registry", "registered rotation family vocabulary"},
};
struct Field {
    const char *name, *type, *category;
    std::vector<int> sources;  // 1-based
};
const std::vector<Field> kFields = {
    {"strict_expression", "categorical", "lineage", {1, 2}}, {"market_id", "numeric", "context", {3, 4}},
    {"status", "categorical", "lifecycle", {5, 6}}, {"effective_metaparameters", "categorical", "parameters", {7, 8}},
    {"source", "categorical", "tags", {9}}, {"is_sharpe", "numeric", "performance", {10, 11}},
    {"is_correlation", "numeric", "risk", {12}}, {"rotation_families_used", "list_str", "rotation", {13, 14}},
    {"rotations_used", "list_str", "rotation", {15, 16}}};

Dict expected_entry(const std::string& layer, const Field& field) {
    runtime::List ledger;
    for (int s : field.sources) {
        const Source& r = kSources.at(static_cast<std::size_t>(s - 1));
        ledger.emplace_back(Dict{{"source_path", r.path}, {"source_field", r.field}, {"needle", r.needle},
                                 {"source_kind", r.kind}, {"owner", r.owner}});
    }
    const Source& primary = kSources.at(static_cast<std::size_t>(field.sources[0] - 1));
    return Dict{{"field_name", layer + "." + field.name}, {"product_layer", layer}, {"investment_product_type", layer},
                {"field_type", field.type}, {"field_category", field.category}, {"source", primary.path},
                {"source_path", primary.path}, {"source_field", primary.field}, {"source_kind", primary.kind},
                {"source_owner", primary.owner}, {"source_ledger", Value::list(std::move(ledger))}};
}

TEST(ProductFieldRegistry, EveryEntryAndLiteralInOrder) {
    const Dict registry = build_product_filtration_field_registry();
    ASSERT_EQ(registry.size(), 27u);
    std::size_t i = 0;
    for (const std::string layer : {"signal", "strategy", "allocation"}) {
        const Dict bare = detail::product_field_registry_for_layer(layer);
        ASSERT_EQ(bare.size(), 9u);
        for (std::size_t k = 0; k < kFields.size(); ++k, ++i) {
            const std::string expected = runtime::repr(Value(expected_entry(layer, kFields[k])));
            // repr shows key order too.
            EXPECT_EQ(runtime::repr(registry.item(i).first), runtime::repr(Value(layer + "." + kFields[k].name)));
            EXPECT_EQ(runtime::repr(registry.item(i).second), expected);
            EXPECT_EQ(runtime::repr(bare.item(k).first), runtime::repr(Value(kFields[k].name)));
            EXPECT_EQ(runtime::repr(bare.item(k).second), expected);
        }
    }
    EXPECT_EQ(kSources[4].needle.size(), 31u);
    for (const char* layer : {"book", "", "Signal", "signal."}) {
        EXPECT_EQ(test::message_of<FilterValidationError>([&] { detail::product_field_registry_for_layer(layer); }),
                  std::string("No source-backed product filtration fields registered for ") + layer);
    }
}

TEST(ProductFieldRegistry, EveryCallBuildsNewData) {
    Dict first = build_product_filtration_field_registry();
    Value ledger = first.at(Value("signal.market_id")).as_dict().at(Value("source_ledger"));
    ledger.as_list()[0].as_dict().set(Value("needle"), Value("changed"));
    ledger.as_list().clear();
    first.at(Value("signal.is_sharpe")).as_dict().set(Value("field_type"), Value("boolean"));
    // Within one registry the same field of two layers shares no ledger record either.
    first.at(Value("signal.status")).as_dict().at(Value("source_ledger")).as_list()[0].as_dict().set(Value("owner"), 1);
    EXPECT_EQ(runtime::repr(first.at(Value("strategy.status"))),
              runtime::repr(Value(expected_entry("strategy", kFields[2]))));

    const Dict second = build_product_filtration_field_registry();
    EXPECT_EQ(runtime::repr(second.at(Value("signal.market_id"))), runtime::repr(Value(expected_entry("signal", kFields[1]))));
    EXPECT_EQ(second.at(Value("signal.is_sharpe")).as_dict().at(Value("field_type")), Value("numeric"));
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
    EXPECT_TRUE(detail::product_registry_entry_value(object_entry, "product_layer", Value("x")).is_none());
    EXPECT_EQ(detail::product_registry_entry_value(object_entry, "missing", Value("x")), Value("x"));
    EXPECT_EQ(detail::product_registry_entry_value(Value(3), "field_type", Value("x")), Value("x"));
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
