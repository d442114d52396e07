#pragma once
// Records of an acceptance run, the check tables and the plug-in registry.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/records.hpp"
#include "brindlecap/numeric/generator.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using evaluation_utils::CheckOutcome;
using evaluation_utils::EvaluationCheckPlugin;

// A set of identifiers as an open value (type name "set", equality as sets, set display).
class IdSetObject : public runtime::Object {
public:
    explicit IdSetObject(IdSet ids) : ids(std::move(ids)) {}
    std::string type_name() const override { return "set"; }
    std::optional<Value> getattr(std::string_view) const override { return std::nullopt; }
    std::string repr() const override;
    bool equals(const runtime::Object& other) const override;
    std::size_t hash() const override;  // consistent with equals()
    IdSet ids;
};
Value id_set_value(IdSet ids);

// One custom correctness case. A pool entry is either a signal or a metadata dict (which gets
// all-zero weights of the configured shape).
struct CorrectnessTestCase {
    using PoolEntry = std::variant<UsefulSignal, Dict>;
    std::optional<std::vector<std::pair<std::string, PoolEntry>>> pool;  // default: the check's pool
    std::optional<Dict> params;                                          // default: {}
    std::optional<IdSet> expected;                                       // missing: counted as such
    std::optional<std::vector<IdSet>> children_results;                  // default: [{}]
};

struct OperatorCheckResult {
    std::string operator_name;
    bool accepted = false;
    std::vector<std::pair<std::string, CheckOutcome>> checks;  // in visiting order
    std::vector<std::string> warnings;
    const CheckOutcome* check(std::string_view name) const;
};

struct EvalFiltrationConfig {
    std::string name;
    std::optional<std::vector<CorrectnessTestCase>> test_cases;
};

struct FiltrationEvaluationResult {
    std::vector<std::pair<std::string, OperatorCheckResult>> operator_results;  // evaluation order
    FiltrationEvaluationConfig config;
    std::vector<EvalFiltrationConfig> operator_configs;
};

struct CheckRegistryEntry {
    std::int64_t check_number = 0;
    std::string name;
    std::string default_mode = "mandatory";
    bool verifies_return_shape = false;
    bool verifies_return_ids = false;
    bool verifies_input_immutability = false;
    bool verifies_empty_pool = false;
    friend bool operator==(const CheckRegistryEntry&, const CheckRegistryEntry&) = default;
};

// Canonical check name -> entry, in service order (built once, at first use).
const std::vector<std::pair<std::string, CheckRegistryEntry>>& CHECK_REGISTRY();

using PluginPtr = std::shared_ptr<EvaluationCheckPlugin>;
void register_check_plugin(PluginPtr plugin);
std::vector<PluginPtr> get_registered_plugins();
void clear_check_plugins();

namespace detail {

using CheckRunner = std::function<CheckOutcome(
    const std::string& name, const Operator& impl, FiltrationEvaluationConfig& cfg,
    numeric::Generator& rng, const std::optional<std::vector<CorrectnessTestCase>>& test_cases)>;

// Canonical check number -> runner.
const std::map<std::int64_t, CheckRunner>& CHECK_RUNNERS();
const std::map<std::int64_t, std::string>& CHECK_NAME_BY_NUMBER();

std::vector<std::pair<std::int64_t, PluginPtr>> get_plugin_check_entries();
std::vector<std::pair<std::int64_t, PluginPtr>> build_plugin_check_entries(
    const std::vector<PluginPtr>& plugins);

}  // namespace detail
}  // namespace brindlecap::functions::filtrations_evaluation
