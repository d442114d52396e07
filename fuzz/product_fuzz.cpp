// resolve_product_filtrations on generated product mappings (dicts and objects, nested
// metadata, products of every layer, fields of the registry with values of any kind) and trees
// over registered and unregistered fields.

#include <cstdint>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/product/fields_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve_internal.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace brindlecap::fuzz;

struct RegisteredField {
    std::string layer;
    std::string name;
    std::string type;
};

const std::vector<RegisteredField>& registered_fields() {
    static const std::vector<RegisteredField> fields = [] {
        std::vector<RegisteredField> out;
        for (const auto& [key, entry] : fe::build_product_filtration_field_registry()) {
            const Dict& e = entry.as_dict();
            out.push_back({e.at(Value("product_layer")).as_str(), e.at(Value("field_name")).as_str(),
                           e.at(Value("field_type")).as_str()});
        }
        return out;
    }();
    return fields;
}

const std::vector<std::string> LAYERS{"signal", "strategy", "allocation", "book", "", "Strategy"};

Value field_value(FuzzedDataProvider& fdp, ValueGen& gen, const std::string& type) {
    if (fdp.ConsumeIntegralInRange<int>(0, 9) == 0) return gen.any();
    if (type == "numeric" || type == "date") return Value(gen.number());
    if (type == "list_str") return Value(gen.text_list());
    if (type == "boolean") return Value(fdp.ConsumeBool());
    return Value(gen.text());
}

Value product(FuzzedDataProvider& fdp, ValueGen& gen) {
    Dict top;
    Dict nested;
    const std::string layer = LAYERS[fdp.ConsumeIntegralInRange<std::size_t>(0, LAYERS.size() - 1)];
    const auto placement = fdp.ConsumeIntegralInRange<int>(0, 3);
    if (placement != 3) (placement == 2 ? nested : top).set(Value("investment_product_type"), Value(layer));
    for (const RegisteredField& f : registered_fields()) {
        if (fdp.ConsumeIntegralInRange<int>(0, 5) == 0) continue;
        (fdp.ConsumeBool() ? top : nested).set(Value(f.name), field_value(fdp, gen, f.type));
    }
    if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0) top.set(Value("product_id"), gen.any(0));
    if (!nested.empty() || fdp.ConsumeIntegralInRange<int>(0, 7) == 0)
        top.set(Value("metadata"), fdp.ConsumeIntegralInRange<int>(0, 15) == 0 ? gen.any(1) : Value(std::move(nested)));
    switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            return Value(std::static_pointer_cast<brindlecap::runtime::Object>(
                std::make_shared<brindlecap::runtime::AttrObject>("Product", std::move(top))));
        case 1: return gen.any(1);
        default: return Value(std::move(top));
    }
}

const std::vector<std::string> NAMES{"gt", "gte", "lt", "lte", "eq", "neq", "between", "in_", "top_pct",
                                     "bottom_pct", "top_n", "bottom_n", "and_", "or_", "not_", "filtration",
                                     "unknown_op"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    ValueGen gen(fdp);

    Value products;
    if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) {
        products = gen.any(1);
    } else {
        Dict mapping;
        const auto n = fdp.ConsumeIntegralInRange<int>(0, 24);
        for (int i = 0; i < n; ++i) {
            Value id;
            switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
                case 0: id = Value(static_cast<std::int64_t>(i)); break;
                case 1: id = Value(gen.text()); break;
                case 2: id = gen.hashable(); break;
                default: id = Value("p" + std::to_string(i));
            }
            mapping.set(std::move(id), product(fdp, gen));
        }
        products = Value(std::move(mapping));
    }

    std::vector<std::string> fields;
    for (const RegisteredField& f : registered_fields()) fields.push_back(f.name);
    fields.emplace_back("is_sharpe");
    fields.emplace_back("");
    const bool with_tree = fdp.ConsumeIntegralInRange<int>(0, 15) != 0;
    const fe::FilterNode tree = filter_tree(fdp, gen, NAMES, fields, 3);
    const std::string type = LAYERS[fdp.ConsumeIntegralInRange<std::size_t>(0, LAYERS.size() - 1)];

    int reductions = 0;
    std::function<Value(const Dict&)> reduction;
    const auto reduction_kind = fdp.ConsumeIntegralInRange<int>(0, 2);
    if (reduction_kind == 1) {
        reduction = [&reductions](const Dict& selected) {
            ++reductions;
            return Value(static_cast<std::int64_t>(selected.size()));
        };
    }

    try {
        const fe::ProductFiltrationResult r =
            fe::detail::resolve_product_filtrations(products, with_tree ? &tree : nullptr, type, reduction, nullptr);
        const List& ids = *r.passing_ids;
        if (ids.empty()) finding("empty product selection returned instead of raised");
        if (r.selected_products.size() != ids.size()) finding("selected_products and passing_ids differ in size");
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (!ids[i].is_str()) finding("non-string product id");
            if (i > 0 && !(ids[i - 1].as_str() < ids[i].as_str())) finding("product ids not sorted and unique");
            if (!r.selected_products.contains(ids[i])) finding("selected product missing for a passing id");
        }
        if (r.selected_ids != r.passing_ids || r.product_ids != r.passing_ids) finding("id lists not shared");
        if (reduction_kind == 1 && (reductions != 1 || r.reduction_result != Value(static_cast<std::int64_t>(ids.size()))))
            finding("reduction not called once with the selection");
        (void)r.to_dict();
    } catch (const std::exception& e) {
        expect_documented(e, {"FilterValidationError", "EmptyPoolError", "EmptyFiltrationError",
                              "FiltrationSubsetError", "TypeError", "ValueError"});
    }
    return 0;
}
