// resolve_filtrations on generated pools and trees: built-in operators, unknown names, operators
// of the store's own that return duplicates, foreign or non-string identifiers or raise, and
// parameters of every kind. A call either returns a consistent result (passing ids sorted and
// unique) or raises one of the documented errors with a message, and the slow twins agree: the
// built-ins behind callables the library does not recognise (the row operators) and the same
// signals born column-wise give the same outcome, ids, order and diagnostics.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve_internal.hpp"
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

// The same operators, each behind a callable of its own: built-ins then take the row way.
const FunctionStore& row_way_store() {
    static const FunctionStore store = [] {
        FunctionStore s;
        for (const std::string& name : fuzz_store().list_by_function_type("filtration")) {
            const StoreEntry& entry = fuzz_store().get_entry(name);
            if (!entry.factory && name != "echo") {
                s.register_entry(entry);
                continue;
            }
            fe::Operator op = entry.factory ? *entry.factory
                                            : brindlecap::functions::filtrations_evaluation::detail::load_operator(fuzz_store(), name);
            s.register_entry(StoreEntry{name, "filtration", fe::Operator([op](const fe::OperatorCall& c) { return op(c); }),
                                        "", "", Value{}});
        }
        return s;
    }();
    return store;
}

// The pool's signals born column-wise, one values array per field.
fe::SignalPool born_copy(const fe::SignalPool& pool) {
    std::vector<std::string> ids;
    std::vector<std::string> fields;
    for (std::size_t i = 0; i < pool.size(); ++i) {
        ids.push_back(pool.id(i));
        for (const auto& [key, value] : *pool.signal(i).metadata)
            if (key.is_str() && std::find(fields.begin(), fields.end(), key.as_str()) == fields.end()) fields.push_back(key.as_str());
    }
    fe::ColumnarPoolBuilder builder(ids);
    for (const std::string& field : fields) {
        std::vector<Value> values;
        std::vector<std::uint8_t> present;
        for (std::size_t i = 0; i < pool.size(); ++i) {
            const Value* v = pool.signal(i).metadata->find(field);
            values.push_back(v != nullptr ? *v : Value{});
            present.push_back(v != nullptr);
        }
        builder.add_values(field, values, present);
    }
    return std::move(builder).build();
}

// The outcome as one comparable text: the result, or the error with its diagnostics.
std::string outcome(const fe::SignalPool& pool, const fe::FilterNode& tree, const FunctionStore& store) {
    const auto diagnostics = [](const std::vector<fe::FilterDiagnostic>& all) {
        std::string out;
        for (const auto& d : all) out += "|" + d.function_name + " " + std::to_string(d.passing_count) + " " + d.filter_description;
        return out;
    };
    try {
        const fe::FiltrationResult r = fe::resolve_filtrations(pool, tree, store);
        std::string out;
        for (const auto& id : r.passing_ids) out += id + '\0';
        return out + std::to_string(r.signal_count) + diagnostics(r.filter_diagnostics);
    } catch (const fe::EmptyFiltrationError& e) {
        return e.kind() + ": " + e.message() + diagnostics(e.filter_diagnostics);
    } catch (const brindlecap::runtime::Exception& e) {
        return e.kind() + ": " + e.message();
    }
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
        // Ids of one shape per pool mostly: numbered, or short words of few symbols (the
        // identifier order packs those densely).
        std::string id;
        switch (fdp.ConsumeIntegralInRange<int>(0, 15)) {
            case 0: id = gen.text(); break;
            case 1: case 2: case 3: case 4: case 5: case 6:
                for (int k = fdp.ConsumeIntegralInRange<int>(1, 7); k > 0; --k) id += "ab_Z09~"[fdp.ConsumeIntegralInRange<int>(0, 6)];
                break;
            default: id = "s" + std::to_string(i);
        }
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

    {
        const std::string expected = outcome(pool, tree, fuzz_store());
        if (outcome(pool, tree, row_way_store()) != expected) finding("the row operators disagree with the column kernels");
        if (outcome(born_copy(pool), tree, fuzz_store()) != expected) finding("a pool born column-wise disagrees");
    }

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
