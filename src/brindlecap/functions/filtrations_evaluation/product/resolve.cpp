// Evaluation of a filter tree over the products of a prior layer.

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/product/fields_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve_internal.hpp"
#include "brindlecap/numeric/matrix.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using registry_and_store::FunctionStore;
using runtime::Dict;
using runtime::List;
using runtime::Value;

namespace detail {

constinit const std::array<std::pair<std::string_view, std::string_view>, 3> PRODUCT_PRIOR_LAYER{{
    {"strategy", "signal"},
    {"allocation", "strategy"},
    {"book", "allocation"},
}};

namespace {

// Attribute names read from object products, in this order, after their nested metadata.
constexpr std::array<std::string_view, 5> OBJECT_PRODUCT_ATTRIBUTES{
    "investment_product_type", "market_id", "era_number", "pool_name", "lifecycle_status"};

std::optional<std::string_view> prior_layer_of(std::string_view investment_product_type) {
    for (const auto& [type, prior] : PRODUCT_PRIOR_LAYER) {
        if (type == investment_product_type) return prior;
    }
    return std::nullopt;
}

// Host ordering of values; a stable sort keeps equal keys in their given order.
void sort_values(std::vector<Value>& values) {
    std::stable_sort(values.begin(), values.end(),
                     [](const Value& a, const Value& b) { return runtime::less(a, b); });
}

// Pre-order, with an explicit stack: trees may be deeper than the thread's stack allows.
void collect_field_references(const FilterNode& root,
                              std::vector<std::pair<std::string, std::string>>& out) {
    std::vector<const FilterNode*> pending{&root};
    while (!pending.empty()) {
        const FilterNode& node = *pending.back();
        pending.pop_back();
        if (const Value* field = node.params.find("field")) {
            if (!field->is_str() || field->as_str().empty()) {
                throw FilterValidationError("Product filtration field must be a non-empty string, got " +
                                            runtime::repr(*field));
            }
            out.emplace_back(field->as_str(), node.function_name);
        }
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child) pending.push_back(&*child);
    }
}

}  // namespace

bool is_implicit_product_select_all(const FilterNode& filter_tree) {
    if (filter_tree.function_name != "filtration" || !filter_tree.children.empty()) return false;
    const Value* select_all = filter_tree.params.find("select_all");
    return select_all == nullptr || !select_all->truthy();
}

std::vector<std::pair<std::string, std::string>> product_filter_field_references(
    const FilterNode& filter_tree) {
    std::vector<std::pair<std::string, std::string>> refs;
    collect_field_references(filter_tree, refs);
    return refs;
}

void validate_product_filter_tree(const FilterNode& filter_tree, std::string_view prior_layer,
                                  const Dict& field_registry, const Dict& product_metadata) {
    for (const auto& [field, op] : product_filter_field_references(filter_tree)) {
        const Value* entry = field_registry.find(field);
        if (entry == nullptr) {
            throw FilterValidationError("Unregistered product filtration field '" + field +
                                        "' for " + std::string(prior_layer) +
                                        "; product predicates must use source-backed registry "
                                        "fields");
        }
        const Value field_type = product_registry_entry_value(*entry, "field_type");
        if (!field_type.is_str() || !field_type_allows(field_type.as_str(), op)) {
            throw FilterValidationError("Operator '" + op +
                                        "' not valid for registered product field '" + field +
                                        "' (type " + runtime::str(field_type) + ")");
        }
        std::vector<Value> missing;
        for (const auto& [id, metadata] : product_metadata) {
            if (!metadata.is_dict() || !metadata.as_dict().contains(field)) missing.push_back(id);
        }
        if (!missing.empty()) {
            sort_values(missing);
            throw FilterValidationError("Registered product filtration field '" + field +
                                        "' missing from prior-layer " + std::string(prior_layer) +
                                        " products: " + runtime::repr(Value::list(std::move(missing))));
        }
    }
}

Value product_layer(const Value& product) {
    Value layer;
    Value metadata;
    if (product.is_dict()) {
        const Dict& d = product.as_dict();
        layer = d.get("investment_product_type");
        if (layer.is_none()) metadata = d.get("metadata");
    } else if (product.is_object()) {
        const runtime::Object& o = product.as_object();
        if (auto attr = o.getattr("investment_product_type")) layer = *attr;
        if (layer.is_none()) {
            if (auto attr = o.getattr("metadata")) metadata = *attr;
        }
    }
    if (layer.is_none() && metadata.is_dict()) layer = metadata.as_dict().get("investment_product_type");
    return layer;
}

Dict prior_layer_products(const Dict& products, std::string_view prior_layer) {
    std::vector<Value> ids = products.keys();
    // Adjacent pairs first, so that unorderable identifiers fail on the first such pair met.
    for (std::size_t i = 1; i < ids.size(); ++i) runtime::less(ids[i], ids[i - 1]);
    sort_values(ids);

    const Value layer(prior_layer);
    Dict candidates;
    for (const Value& id : ids) {
        const Value& product = products.at(id);
        if (product_layer(product) == layer) candidates.set(Value(runtime::str(id)), product);
    }
    return candidates;
}

Dict product_metadata(const Value& product_id, const Value& product) {
    Dict out;
    if (product.is_dict()) {
        const Dict& d = product.as_dict();
        if (const Value* nested = d.find("metadata"); nested != nullptr && nested->is_dict()) {
            for (const auto& [key, value] : nested->as_dict()) out.set(key, value);
        }
        for (const auto& [key, value] : d) {
            if (key.is_str() && key.as_str() == "metadata") continue;
            if (!out.contains(key)) out.set(key, value);
        }
    } else if (product.is_object()) {
        const runtime::Object& o = product.as_object();
        if (auto nested = o.getattr("metadata"); nested && nested->is_dict()) {
            for (const auto& [key, value] : nested->as_dict()) out.set(key, value);
        }
        for (std::string_view name : OBJECT_PRODUCT_ATTRIBUTES) {
            if (out.contains(name)) continue;
            if (auto attr = o.getattr(name)) out.set(Value(name), *attr);
        }
    }
    if (!out.contains("product_id")) out.set(Value("product_id"), Value(runtime::str(product_id)));
    return out;
}

Dict registered_product_metadata(const Value& product_id, const Value& product,
                                 const Dict& field_registry) {
    const Dict all = product_metadata(product_id, product);
    Dict registered;
    for (const auto& [name, entry] : field_registry) {
        if (const Value* value = all.find(name)) registered.set(name, *value);
    }
    return registered;
}

registry_and_store::FunctionStore default_product_filtration_store() {
    return registry_and_store::build_default_store({"filtration"});
}

}  // namespace detail

Dict ProductFiltrationResult::to_dict() const {
    List diagnostics;
    diagnostics.reserve(filter_diagnostics.size());
    for (const FilterDiagnostic& d : filter_diagnostics) {
        Dict entry;
        entry.set(Value("filter_description"), Value(d.filter_description));
        entry.set(Value("passing_count"), Value(d.passing_count));
        entry.set(Value("function_name"), Value(d.function_name));
        diagnostics.emplace_back(std::move(entry));
    }
    Dict out;
    out.set(Value("passing_ids"), Value(passing_ids));
    out.set(Value("selected_ids"), Value(selected_ids));
    out.set(Value("product_ids"), Value(product_ids));
    out.set(Value("product_layer"), Value(product_layer));
    out.set(Value("investment_product_type"), Value(investment_product_type));
    out.set(Value("total_pool_size"), Value(total_pool_size));
    out.set(Value("filter_diagnostics"), Value::list(std::move(diagnostics)));
    out.set(Value("selected_products"), Value(selected_products));
    out.set(Value("reduction_result"), reduction_result);
    return out;
}

ProductFiltrationResult detail::resolve_product_filtrations(
    const Value& products, const FilterNode* filter_tree, const std::string& investment_product_type,
    std::function<Value(const Dict&)> reduction_fn, const FunctionStore* store) {
    const std::optional<std::string_view> prior = detail::prior_layer_of(investment_product_type);
    if (!prior) {
        std::vector<std::string> types;
        for (const auto& [type, layer] : detail::PRODUCT_PRIOR_LAYER) types.emplace_back(type);
        std::sort(types.begin(), types.end());
        throw FilterValidationError("investment_product_type must be one of " +
                                    runtime::repr_list(types));
    }
    const std::string prior_layer(*prior);
    if (filter_tree == nullptr) throw FilterValidationError("product filtration tree is required");
    if (detail::is_implicit_product_select_all(*filter_tree)) {
        throw FilterValidationError(
            "product select_all must be explicit; use filtration(select_all=True)");
    }
    if (!products.is_dict()) {
        throw runtime::TypeError("products must be a mapping, got " + runtime::type_name(products));
    }

    const Dict candidates = detail::prior_layer_products(products.as_dict(), prior_layer);
    if (candidates.empty()) {
        throw EmptyPoolError("No prior-layer " + prior_layer + " products available for " +
                             investment_product_type + " filtration");
    }
    const Dict field_registry = detail::product_field_registry_for_layer(prior_layer);
    Dict metadata_by_id;
    for (const auto& [id, product] : candidates) {
        metadata_by_id.set(id, Value(detail::registered_product_metadata(id, product, field_registry)));
    }
    detail::validate_product_filter_tree(*filter_tree, prior_layer, field_registry, metadata_by_id);

    SignalPool pool;
    pool.reserve(metadata_by_id.size());
    for (std::size_t i = 0; i < metadata_by_id.size(); ++i) {
        Value metadata = metadata_by_id.value(i);
        pool.insert(metadata_by_id.key(i).as_str(),
                    UsefulSignal{std::make_shared<numeric::Matrix>(numeric::Matrix::empty(0, 0)), nullptr,
                                 metadata.dict_ptr()});
    }

    std::optional<FunctionStore> default_store;
    if (store == nullptr) {
        default_store.emplace(detail::default_product_filtration_store());
        store = &*default_store;
    }
    FiltrationResult evaluation = resolve_filtrations(pool, *filter_tree, *store);

    ProductFiltrationResult result;
    result.passing_ids->reserve(evaluation.passing_ids.size());
    for (std::string& id : evaluation.passing_ids) {
        const Value key(std::move(id));
        result.passing_ids->push_back(key);
        result.selected_products.set(key, candidates.at(key));
    }
    result.product_layer = prior_layer;
    result.investment_product_type = investment_product_type;
    result.total_pool_size = evaluation.total_pool_size;
    result.filter_diagnostics = std::move(evaluation.filter_diagnostics);
    if (reduction_fn) result.reduction_result = reduction_fn(result.selected_products);
    return result;
}

ProductFiltrationResult resolve_product_filtrations(const Value& products, const FilterNode& filter_tree,
                                                    const std::string& investment_product_type,
                                                    std::function<Value(const Dict&)> reduction_fn,
                                                    const FunctionStore* store) {
    return detail::resolve_product_filtrations(products, &filter_tree, investment_product_type,
                                               std::move(reduction_fn), store);
}

}  // namespace brindlecap::functions::filtrations_evaluation
