// The JSON readers: any text either parses or fails with a ValueError naming the place; what
// parses writes back to text that reads back to the same text (NaN and the infinities included),
// and is then read as a signal set, a filter tree and a products mapping the way the command
// line reads its files.

#include <cstdint>
#include <string>
#include <string_view>

#include "brindlecap/functions/filtrations_evaluation/product/fields_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/json.hpp"
#include "fuzz_support.hpp"
#include "inputs.hpp"
#include "tree_expr.hpp"

namespace {

using namespace brindlecap::fuzz;
using brindlecap::runtime::parse_json;
using brindlecap::runtime::to_json;

const brindlecap::functions::registry_and_store::FunctionStore& store() {
    static const auto s = brindlecap::functions::registry_and_store::build_default_store();
    return s;
}

void round_trip(const Value& doc) {
    std::string once;
    try {
        once = to_json(doc);
    } catch (const std::exception& e) {
        finding(std::string("a parsed document does not write back: ") + e.what());
    }
    if (to_json(parse_json(once)) != once) finding("compact JSON does not read back to itself");
    const std::string indented = to_json(doc, 2);
    if (to_json(parse_json(indented)) != once) finding("indented JSON does not read back to the same document");
}

void as_signals(const Value& doc) {
    brindlecap::runtime::Dict signals;
    try {
        signals = brindlecap::cli::signals_from_value(doc, "fuzz");
    } catch (const std::exception& e) {
        expect_documented(e, {"InputError"});
        return;
    }
    const fe::SignalPool pool = brindlecap::functions::filtrations_evaluation::pool_from_value(brindlecap::runtime::Value(signals));
    if (pool.size() > signals.size()) finding("pool larger than its signal set");
    // A fixed tree over the commonest fields: the metadata read from JSON may hold anything.
    fe::FilterNode tree{"or_", {}, {}};
    tree.children.push_back({"gt", Dict{{Value("field"), Value("is_sharpe")}, {Value("value"), Value(0.0)}}, {}});
    tree.children.push_back({"top_n", Dict{{Value("field"), Value("os_sharpe")}, {Value("n"), Value(2)}}, {}});
    tree.children.push_back(
        {"in_", Dict{{Value("field"), Value("signal_category")}, {Value("values"), Value::list({"a", "b"})}}, {}});
    try {
        (void)fe::resolve_filtrations(pool, tree, store());
    } catch (const std::exception& e) {
        expect_documented(e, {"EmptyPoolError", "FilterValidationError", "EmptyFiltrationError", "TypeError"});
    }
}

void as_tree(const Value& doc) {
    fe::FilterNode tree;
    try {
        tree = brindlecap::functions::filtrations_evaluation::tree_from_value(doc);
    } catch (const std::exception& e) {
        expect_documented(e, {"ValueError"});
        return;
    }
    if (to_json(brindlecap::functions::filtrations_evaluation::tree_to_value(brindlecap::functions::filtrations_evaluation::tree_from_value(brindlecap::functions::filtrations_evaluation::tree_to_value(tree)))) !=
        to_json(brindlecap::functions::filtrations_evaluation::tree_to_value(tree)))
        finding("tree JSON does not read back to itself");
}

void as_products(const Value& doc) {
    fe::FilterNode tree{"filtration", Dict{{Value("select_all"), Value(true)}}, {}};
    try {
        (void)fe::resolve_product_filtrations(doc, tree, "strategy");
    } catch (const std::exception& e) {
        expect_documented(e, {"TypeError", "EmptyPoolError", "FilterValidationError", "EmptyFiltrationError"});
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Value doc;
    try {
        doc = parse_json(text);
    } catch (const std::exception& e) {
        expect_documented(e, {"ValueError"});
        return 0;
    }
    round_trip(doc);
    as_signals(doc);
    as_tree(doc);
    as_products(doc);
    return 0;
}
