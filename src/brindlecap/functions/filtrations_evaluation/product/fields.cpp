// The source-backed product field registry.

#include <string>

#include "brindlecap/functions/filtrations_evaluation/product/fields_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve_internal.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using runtime::Dict;
using runtime::List;
using runtime::Value;

namespace detail {
namespace {

// The sixteen source records; each field's ledger is a contiguous run of them.
constexpr std::array<ProductFieldSource, 16> SOURCES{{
    {"repo:src/simulator_engine/graph/product_envelope",
     "InvestmentProductEnvelope.strict_expression", "strict_expression",
     "runtime_product_envelope", "normalized investment product expression graph"},
    {"repo:brindlecap/functions/shared_utils/_typed_shapes", "FunctionGraphNode.node",
     "class FunctionGraphNode", "typed_graph_shape", "strict expression graph node contract"},
    {"repo:src/simulator_engine/graph/product_envelope", "product_context.market_id", "market_id",
     "runtime_product_envelope", "normalized investment product context"},
    {"repo:documentation/plans/database/schema_catalog", "platform_service.era_config.market_id",
     "market_id", "schema_catalog", "era market identity"},
    {"repo:documentation/plans/database/schema_catalog",
     "signal_service.signal_era_results.status", "status                  VARCHAR",
     "schema_catalog", "per-era signal/strategy lifecycle state"},
    {"repo:src/signal_service/_shared/status_sets", "lifecycle_status_snapshot_values",
     "lifecycle_status_snapshot_values", "status_policy", "shared lifecycle status set"},
    {"repo:documentation/plans/database/schema_catalog",
     "signal_service.signal_era_results.effective_metaparameters", "effective_metaparameters",
     "schema_catalog", "resolved per-era metaparameters"},
    {"repo:src/simulate_primitives/metaparameters", "resolve_metaparameters",
     "resolve_metaparameters", "runtime_metaparameter_resolver",
     "metaparameter resolution implementation"},
    {"repo:documentation/plans/database/schema_catalog",
     "signal_service.signal_era_results.source", "source                  VARCHAR",
     "schema_catalog", "submitted-or-migrated product descriptor"},
    {"repo:brindlecap/functions/evaluation_harnesses/evaluation_utils", "metadata[\"is_sharpe\"]",
     "metadata[\"is_sharpe\"]", "runtime_metadata_derivation",
     "flattened in-sample Sharpe metadata"},
    {"repo:src/simulator_engine/graph/graph_validator", "build_filtration_field_schema epoch stats",
     "fname = f\"{epoch}{stat_name}\"", "field_schema_builder",
     "epoch-prefixed performance field schema"},
    {"repo:documentation/plans/database/schema_catalog",
     "signal_service.signal_era_results.is_correlation", "is_correlation", "schema_catalog",
     "pool-v2 in-sample correlation result column"},
    {"repo:brindlecap/functions/evaluation_harnesses/evaluation_utils",
     "metadata[\"rotation_families_used\"]", "metadata[\"rotation_families_used\"]",
     "runtime_metadata_derivation", "rotation family extraction from clear graph"},
    {"repo:src/simulator_engine/graph/graph_validator", "rotation_families_used schema field",
     "rotation_families_used", "field_schema_builder", "rotation metadata field schema"},
    {"repo:src/simulator_engine/graph/graph_validator", "rotations_used schema field",
     "rotations_used", "field_schema_builder", "rotation node metadata field schema"},
    {"repo:brindlecap/functions/registry_and_store/_registry", "_VALID_ROTATION_FAMILIES",
     "_VALID_ROTATION_FAMILIES", "function_registry", "registered rotation family vocabulary"},
}};

constexpr std::span<const ProductFieldSource> ledger(std::size_t first, std::size_t count) {
    return {SOURCES.data() + first, count};
}

// Layers whose fields are registered, in registry order.
constexpr std::array<std::string_view, 3> REGISTERED_LAYERS{"signal", "strategy", "allocation"};

Dict registry_entry(std::string_view layer, const ProductFieldSpec& spec) {
    const ProductFieldSource& primary = spec.source_ledger.front();
    List ledger_copy;
    ledger_copy.reserve(spec.source_ledger.size());
    for (const ProductFieldSource& s : spec.source_ledger) {
        ledger_copy.emplace_back(
            product_field_source(s.source_path, s.source_field, s.needle, s.source_kind, s.owner));
    }
    std::string qualified(layer);
    qualified += '.';
    qualified += spec.field_name;

    Dict entry;
    entry.set("field_name", Value(std::move(qualified)));
    entry.set("product_layer", Value(layer));
    entry.set("investment_product_type", Value(layer));
    entry.set("field_type", Value(spec.field_type));
    entry.set("field_category", Value(spec.field_category));
    entry.set("source", Value(primary.source_path));
    entry.set("source_path", Value(primary.source_path));
    entry.set("source_field", Value(primary.source_field));
    entry.set("source_kind", Value(primary.source_kind));
    entry.set("source_owner", Value(primary.owner));
    entry.set("source_ledger", Value::list(std::move(ledger_copy)));
    return entry;
}

}  // namespace

constinit const std::array<ProductFieldSpec, 9> PRODUCT_FILTRATION_FIELDS{{
    {"lineage", "strict_expression", "categorical", ledger(0, 2)},
    {"context", "market_id", "numeric", ledger(2, 2)},
    {"lifecycle", "status", "categorical", ledger(4, 2)},
    {"parameters", "effective_metaparameters", "categorical", ledger(6, 2)},
    {"tags", "source", "categorical", ledger(8, 1)},
    {"performance", "is_sharpe", "numeric", ledger(9, 2)},
    {"risk", "is_correlation", "numeric", ledger(11, 1)},
    {"rotation", "rotation_families_used", "list_str", ledger(12, 2)},
    {"rotation", "rotations_used", "list_str", ledger(14, 2)},
}};

Dict product_field_source(std::string_view source_path, std::string_view source_field,
                          std::string_view needle, std::string_view source_kind,
                          std::string_view owner) {
    Dict record;
    record.set("source_path", Value(source_path));
    record.set("source_field", Value(source_field));
    record.set("needle", Value(needle));
    record.set("source_kind", Value(source_kind));
    record.set("owner", Value(owner));
    return record;
}

Value product_registry_entry_value(const Value& entry, std::string_view key, Value fallback) {
    if (entry.is_dict()) return entry.as_dict().get(key, std::move(fallback));
    if (entry.is_object()) {
        if (auto attr = entry.as_object().getattr(key)) return *attr;
    }
    return fallback;
}

Dict product_field_registry_for_layer(std::string_view prior_layer) {
    const Dict registry = build_product_filtration_field_registry();
    const Value layer_value(prior_layer);
    Dict by_name;
    for (const auto& [key, entry] : registry) {
        if (product_registry_entry_value(entry, "product_layer") != layer_value) continue;
        std::string name = runtime::str(product_registry_entry_value(entry, "field_name", key));
        if (name.size() > prior_layer.size() && name.starts_with(prior_layer) &&
            name[prior_layer.size()] == '.') {
            name.erase(0, name.find('.') + 1);
        }
        by_name.set(Value(std::move(name)), entry);
    }
    if (by_name.empty()) {
        throw FilterValidationError("No source-backed product filtration fields registered for " +
                                    std::string(prior_layer));
    }
    return by_name;
}

}  // namespace detail

Dict build_product_filtration_field_registry() {
    Dict registry;
    for (std::string_view layer : detail::REGISTERED_LAYERS) {
        for (const detail::ProductFieldSpec& spec : detail::PRODUCT_FILTRATION_FIELDS) {
            Dict entry = detail::registry_entry(layer, spec);
            Value key = *entry.find("field_name");
            registry.set(std::move(key), Value(std::move(entry)));
        }
    }
    return registry;
}

}  // namespace brindlecap::functions::filtrations_evaluation
