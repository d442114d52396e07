#pragma once
// Shared helpers of the check tests: configurations, evidence access, small operators.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/id_set_object_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/evaluate_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/order_probe_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/pool_keeper_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/reference_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/snapshot_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve_internal.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/text.hpp"
#include "functions/filtrations_evaluation/acceptance/golden_pool.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::test::checks {

namespace fe = functions::filtrations_evaluation;
namespace fd = functions::filtrations_evaluation::detail;
namespace rt = runtime;
namespace num = numeric;
using fe::Dict;
using fe::IdSet;
using fe::Value;

using fd::SEED_BOUND;
using fd::id_set_value;
using fe::CheckStatus;

inline const double kNaN = std::nan("");

// The demo configuration: the 24 demo signals as ingested metadata, default settings.
inline fe::FiltrationEvaluationConfig demo_config() {
    static const Dict metadata = load_golden("demo_signals.json").as_dict();
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.signal_metadata = metadata.deep_copy();
    c.N_signals = static_cast<std::int64_t>(metadata.size());
    return c;
}

// A synthetic configuration (no metadata), small arrays.
inline fe::FiltrationEvaluationConfig synthetic_config(std::int64_t n_signals = 12) {
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.N_signals = n_signals;
    c.T = 4;
    c.N_alloc = 3;
    return c;
}

using test::key_texts;

// The strings of a list value.
inline std::vector<std::string> strings_of(const Value& list) { return str_items(list.as_list()); }

// Generator states compare equal when both streams are at the same place.
inline bool same_state(const num::Generator& a, const num::Generator& b) {
    const auto x = a.state();
    const auto y = b.state();
    return x.state == y.state && x.inc == y.inc && x.has_uint32 == y.has_uint32 &&
           (!x.has_uint32 || x.uinteger == y.uinteger);
}

inline IdSet ids(std::initializer_list<std::string_view> items) { return IdSet(items); }

// A field-leaf operator selecting the pairs that satisfy pred(value).
template <class Pred>
fe::Operator select_where(std::string name, Pred pred) {
    return fe::field_operator(std::move(name), [pred](const fe::PreparedField& prepared, const Dict& params) {
        IdSet out = IdSet::over(prepared.pool_keys.universe());
        for (const auto& pv : prepared.values) {
            if (pred(*pv.value, params)) out.insert(pv.id);
        }
        return fe::OperatorResult(std::move(out));
    });
}

// A top_n that keeps exactly n positions, cutting through ties by identifier.
inline fe::Operator top_n_without_ties() {
    return fe::field_operator("top_n", [](const fe::PreparedField& prepared, const Dict& params) {
        std::vector<fe::PreparedValue> values = prepared.values;
        std::sort(values.begin(), values.end(), [](const fe::PreparedValue& a, const fe::PreparedValue& b) {
            const double x = a.value->to_double();
            const double y = b.value->to_double();
            return x != y ? x > y : a.id > b.id;
        });
        IdSet out = IdSet::over(prepared.pool_keys.universe());
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(params.at(Value("n")).as_int()), values.size());
        for (std::size_t i = 0; i < n; ++i) out.insert(values[i].id);
        return fe::OperatorResult(std::move(out));
    });
}

// A field leaf that raises `error` on every call.
template <class E>
fe::Operator raising_leaf(std::string name, E error) {
    return fe::field_operator(std::move(name), [error](const fe::PreparedField&, const Dict&) -> fe::OperatorResult {
        throw error;
    });
}

// "status: details" of an outcome, to compare both at once.
inline std::string verdict(const fe::CheckOutcome& out) { return std::string(to_string(out.status)) + ": " + out.details; }

// One run of `check` on `config` (the demo configuration unless given) with a fresh generator.
template <class Check>
fe::CheckOutcome run_seeded(Check check, const std::string& name, const fe::Operator& op, std::int64_t seed,
                            fe::FiltrationEvaluationConfig config = demo_config()) {
    auto rng = fd::make_rng(seed);
    return check(name, op, config, rng);
}

using PluginConfig = functions::evaluation_utils::BaseEvaluationConfig;
using Validate = std::function<fe::CheckOutcome(const fe::Operator&, fe::SignalPool&, PluginConfig&)>;

// A check plug-in whose verdict comes from `fn`.
class FnPlugin : public fe::EvaluationCheckPlugin {
public:
    FnPlugin(std::string name, Value data_type, Validate fn)
        : name_(std::move(name)), data_type_(std::move(data_type)), fn_(std::move(fn)) {}
    std::string name() const override { return name_; }
    Value data_type() const override { return data_type_; }
    fe::CheckOutcome validate(const fe::Operator& op, fe::SignalPool& pool, PluginConfig& c) override {
        return fn_(op, pool, c);
    }

private:
    std::string name_;
    Value data_type_;
    Validate fn_;
};

// Registers an FnPlugin.
inline void add_plugin(std::string name, Validate fn, Value data_type = {}) {
    fe::register_check_plugin(std::make_shared<FnPlugin>(std::move(name), std::move(data_type), std::move(fn)));
}
// A plug-in verdict with no details.
inline Validate returns(const char* status) {
    return [status](auto&, auto&, auto&) { return fe::CheckOutcome{*functions::evaluation_utils::parse_check_status(status), "", {}}; };
}

inline fe::Operator builtin(const std::string& name) {
    static const functions::registry_and_store::FunctionStore store =
        functions::registry_and_store::build_default_store();
    return fd::load_operator(store, name);
}

}  // namespace brindlecap::test::checks
