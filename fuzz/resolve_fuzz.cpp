// resolve_filtrations on generated pools and trees: built-in operators, unknown names, operators
// of the store's own that return duplicates, foreign or non-string identifiers or raise, and
// parameters of every kind. A call either returns a consistent result or raises one of the
// documented errors with a message.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace brindlecap::fuzz;
using brindlecap::functions::registry_and_store::FunctionStore;
using brindlecap::functions::registry_and_store::StoreEntry;

class DeliberateError : public brindlecap::runtime::Exception {
public:
    DeliberateError() : Exception("DeliberateError", "operator failed on purpose") {}
};

// What the store's own "echo" operator returns for the current input.
struct EchoPlan {
    int kind = 0;
    std::vector<Value> extras;  // non-pool elements mixed into list results
    std::vector<std::size_t> picks;  // pool positions, repeats allowed
};
EchoPlan echo_plan;

fe::OperatorResult echo(const fe::OperatorCall& call) {
    const fe::IdSet& keys = *call.pool_keys;
    const auto& universe = keys.universe();
    const auto id_at = [&](std::size_t p) { return universe->id(p % universe->size()); };
    switch (echo_plan.kind) {
        case 0: {
            List out;
            if (universe && universe->size() > 0)
                for (std::size_t p : echo_plan.picks) out.emplace_back(id_at(p));
            for (const Value& v : echo_plan.extras) out.push_back(v);
            return Value(std::move(out));
        }
        case 1: {
            Dict out;
            if (universe && universe->size() > 0)
                for (std::size_t p : echo_plan.picks) out.set(Value(id_at(p)), Value(static_cast<std::int64_t>(p)));
            for (const Value& v : echo_plan.extras) out.set(v, Value{});
            return Value(std::move(out));
        }
        case 2: return echo_plan.extras.empty() ? Value(std::int64_t{7}) : echo_plan.extras.front();
        case 3: {
            std::vector<std::string> ids;
            if (universe && universe->size() > 0)
                for (std::size_t p : echo_plan.picks) ids.push_back(id_at(p));
            for (const Value& v : echo_plan.extras)
                if (v.is_str()) ids.push_back(v.as_str());
            return fe::IdSet(ids);
        }
        case 4: {
            // A set over a universe of its own that shares some identifiers with the pool.
            auto other = std::make_shared<fe::KeyIndex>();
            if (universe && universe->size() > 0)
                for (std::size_t p : echo_plan.picks) other->add(id_at(p));
            for (const Value& v : echo_plan.extras)
                if (v.is_str()) other->add(v.as_str());
            return fe::IdSet::all_of(other);
        }
        case 5:
            if (call.children_results && !call.children_results->empty()) return call.children_results->back();
            return keys;
        default: throw DeliberateError();
    }
}

const FunctionStore& fuzz_store() {
    static const FunctionStore store = [] {
        FunctionStore s = brindlecap::functions::registry_and_store::build_default_store();
        s.register_entry(StoreEntry{"echo", "filtration", fe::Operator(echo), "", "", Value{}});
        // Registered without a factory under a module that does not exist.
        s.register_entry(StoreEntry{"ghost", "filtration", std::nullopt, "brindlecap.functions.nowhere",
                                    "_builtin_ghost", Value{}});
        s.register_entry(StoreEntry{"hollow", "filtration", std::nullopt,
                                    "brindlecap.functions.filtrations.comparison", "_builtin_missing", Value{}});
        return s;
    }();
    return store;
}

const std::vector<std::string>& operator_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n = fuzz_store().list_by_function_type("filtration");
        for (const char* extra : {"unknown_op", "", "GT", "and"}) n.emplace_back(extra);
        return n;
    }();
    return names;
}

void check_result(const fe::FiltrationResult& r, const fe::SignalPool& pool, const fe::FilterNode& tree) {
    if (r.passing_ids.empty()) finding("empty result returned instead of raised");
    if (!std::is_sorted(r.passing_ids.begin(), r.passing_ids.end()) ||
        std::adjacent_find(r.passing_ids.begin(), r.passing_ids.end()) != r.passing_ids.end())
        finding("passing_ids not sorted and unique");
    for (const auto& id : r.passing_ids)
        if (!pool.contains(id)) finding("passing id outside the pool: " + id);
    if (r.signal_count != static_cast<std::int64_t>(r.passing_ids.size())) finding("signal_count mismatch");
    if (r.total_pool_size != static_cast<std::int64_t>(pool.size())) finding("total_pool_size mismatch");
    if (r.filter_diagnostics.size() != node_count(tree)) finding("not one diagnostic per node");
    const auto& root = r.filter_diagnostics.back();
    if (root.function_name != tree.function_name || root.passing_count != r.signal_count)
        finding("root diagnostic does not describe the result");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    ValueGen gen(fdp);

    fe::SignalPool pool;
    const auto signals = fdp.ConsumeIntegralInRange<int>(0, 48);
    for (int i = 0; i < signals; ++i) {
        std::string id = fdp.ConsumeIntegralInRange<int>(0, 15) == 0 ? gen.text() : "s" + std::to_string(i);
        pool.insert(std::move(id), fe::UsefulSignal::make(signal_metadata(fdp, gen)));
    }

    echo_plan = {};
    echo_plan.kind = fdp.ConsumeIntegralInRange<int>(0, 6);
    for (int i = fdp.ConsumeIntegralInRange<int>(0, 6); i > 0; --i)
        echo_plan.picks.push_back(fdp.ConsumeIntegral<std::uint16_t>());
    for (int i = fdp.ConsumeIntegralInRange<int>(0, 2); i > 0; --i) echo_plan.extras.push_back(gen.any(1));

    std::vector<std::string> fields;
    for (const FieldSpec& f : POOL_FIELDS) fields.emplace_back(f.name);
    fields.emplace_back("absent_field");
    const fe::FilterNode tree = filter_tree(fdp, gen, operator_names(), fields, 4);

    try {
        const fe::FiltrationResult first = fe::resolve_filtrations(pool, tree, fuzz_store());
        check_result(first, pool, tree);
        if (fe::resolve_filtrations(pool, tree, fuzz_store()) != first) finding("second resolution differs");
    } catch (const fe::EmptyFiltrationError& e) {
        if (e.filter_diagnostics.size() != node_count(tree) || e.filter_diagnostics.back().passing_count != 0)
            finding("EmptyFiltrationError without every diagnostic");
        expect_documented(e, {"EmptyFiltrationError"});
    } catch (const fe::EmptyPoolError& e) {
        if (!pool.empty()) finding("EmptyPoolError for a non-empty pool");
        expect_documented(e, {"EmptyPoolError"});
    } catch (const std::exception& e) {
        if (pool.empty()) finding(std::string("empty pool not reported as such: ") + e.what());
        expect_documented(e, {"FilterValidationError", "FiltrationSubsetError", "TypeError", "ValueError",
                              "DeliberateError", "ModuleNotFoundError", "AttributeError"});
    }
    return 0;
}
