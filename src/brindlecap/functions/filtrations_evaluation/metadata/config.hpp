#pragma once
// Configuration of the acceptance pipeline.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

struct OperatorCheckResult;

// Called once per operator after its verdict: (name, result, completed so far, total).
using OperatorProgressCallback = std::function<void(
    const std::string&, const OperatorCheckResult&, std::int64_t, std::int64_t)>;

// The two ways signal metadata is ingested: given by the caller, or read from the signal store.
enum class EvaluationMode { mock, real };
// The mode a configuration names ("mock" or "real"); nullopt for none or any other text.
std::optional<EvaluationMode> evaluation_mode(const evaluation_utils::BaseEvaluationConfig& config) noexcept;

// Oracles by operator name: the correctness cases of an operator named here are computed by its
// oracle (acceptance/references.hpp).
using OperatorReferences = std::map<std::string, Operator, std::less<>>;

// Declared properties by operator name, each as written ("numeric", "pointwise",
// "complement=lte", ...; the vocabulary is in acceptance/properties.hpp): the strict checks draw
// an operator's inputs and relations from them when it has no oracle of its own.
using OperatorProperties = std::map<std::string, std::vector<std::string>, std::less<>>;

struct FiltrationEvaluationConfig : evaluation_utils::BaseEvaluationConfig {
    std::int64_t N_trials = 100;
    double bias_tolerance = 0.05;
    std::int64_t speed_small_T = 100;
    std::int64_t speed_small_N = 50;
    double speed_small_limit_s = 5.0;
    std::int64_t speed_large_T = 500;
    std::int64_t speed_large_N = 200;
    double speed_large_limit_s = 30.0;
    std::optional<runtime::Dict> mock_signals;     // signal id -> metadata dict
    std::optional<std::vector<std::string>> signal_ids;
    std::optional<std::int64_t> market_id;
    std::optional<std::int64_t> era_number;
    std::optional<runtime::Dict> signal_metadata;  // filled by ingestion
    std::int64_t N_signals = 0;                    // filled by ingestion
    std::int64_t T = 50;
    std::int64_t N_alloc = 50;
    OperatorReferences references;
    OperatorProperties properties;
    OperatorProgressCallback operator_progress_callback;  // optional
};

// ---- The fields, for the readers that go through all of them -------------------------------
//
// One row per field, in declaration order, BaseEvaluationConfig's first: the tool's options and
// its JSON, the report's configuration table, the Python record and validation read the fields
// from here (a new field is a member above and a row).

// The member a field is; a member of BaseEvaluationConfig converts to one of the derived record.
using ConfigMember = std::variant<std::optional<std::string> FiltrationEvaluationConfig::*,  // mode
                                  std::int64_t FiltrationEvaluationConfig::*,
                                  double FiltrationEvaluationConfig::*,
                                  std::set<std::int64_t> FiltrationEvaluationConfig::*,  // check numbers
                                  std::optional<std::int64_t> FiltrationEvaluationConfig::*,
                                  std::optional<std::vector<std::string>> FiltrationEvaluationConfig::*,  // ids
                                  std::optional<runtime::Dict> FiltrationEvaluationConfig::*,   // metadata by id
                                  OperatorReferences FiltrationEvaluationConfig::*,
                                  OperatorProperties FiltrationEvaluationConfig::*>;

// What a field is about. A reader that does not go in declaration order puts these in its own.
enum class ConfigGroup {
    base,      // BaseEvaluationConfig's: mode, seed and the check selection
    bias,      // the bias check's settings
    speed,     // the speed check's settings
    signals,   // what mock and real mode ingest
    identity,  // real mode's market and era
    ingested,  // what ingestion writes
    fixture,   // the shape of every fixture weights matrix
    oracles,   // the caller's oracles for operators, and their declared properties
};

// What validation holds a field to: >= least (an integer), > 0, or in (0.0, 1.0).
struct ConfigBound {
    enum Kind { none, at_least, positive, open_unit } kind = none;
    std::int64_t least = 0;
};

struct ConfigField {
    const char* name;
    ConfigMember member;
    ConfigGroup group;
    const char* option = nullptr;  // the tool's option that sets it (none: the tool sets it otherwise)
    const char* help = nullptr;    // that option's help
    ConfigBound bound = {};
};

// Calls f with the member of `config` (const or not, as `config` is), in its own type.
template <class Config, class F>
decltype(auto) visit_member(const ConfigMember& member, Config& config, F&& f) {
    return std::visit([&](auto pointer) -> decltype(auto) { return f(config.*pointer); }, member);
}

std::span<const ConfigField> config_fields();
// Every field: those of the groups in `first` first, in that order, then the others; declaration
// order within a group.
std::vector<const ConfigField*> config_fields(std::span<const ConfigGroup> first);

}  // namespace brindlecap::functions::filtrations_evaluation
