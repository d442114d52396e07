#include "brindlecap/functions/filtrations_evaluation/metadata/ingest_internal.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/vocabulary_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/warnings.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using runtime::Dict;
using runtime::List;
using runtime::Value;

namespace {

std::string int_text(std::int64_t v) { return std::to_string(v); }
std::string float_text(double v) { return runtime::repr(v); }

// Expected field names absent from a metadata dict, ascending.
std::vector<std::string> missing_expected_fields(const Dict& metadata) {
    std::vector<std::string> missing;
    for (const std::string& name : EXPECTED_METADATA_FIELDS)
        if (!metadata.contains(std::string_view{name})) missing.push_back(name);
    return missing;
}

std::string join(const std::vector<std::string>& items, const char* sep) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += sep;
        out += items[i];
    }
    return out;
}

// ValueError "<field> must be <bound>, got <value>." when an integer or number field is out of
// its bound.
void check_bound(const ConfigField& field, const FiltrationEvaluationConfig& config) {
    visit_member(field.member, config, [&](const auto& value) {
        using T = std::remove_cvref_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, double>) {
            const auto fail = [&](const std::string& bound) {
                std::string text;
                if constexpr (std::is_same_v<T, double>) {
                    text = float_text(value);
                } else {
                    text = int_text(value);
                }
                throw runtime::ValueError(std::string(field.name) + " must be " + bound + ", got " + text + ".");
            };
            switch (field.bound.kind) {
                case ConfigBound::at_least:
                    if (value < field.bound.least) fail(">= " + int_text(field.bound.least));
                    break;
                case ConfigBound::positive:
                    if (value <= 0) fail("> 0");
                    break;
                case ConfigBound::open_unit:
                    if (value <= 0.0 || value >= 1.0) fail("in (0.0, 1.0)");
                    break;
                case ConfigBound::none:
                    break;
            }
        }
    });
}

// The groups whose bounds are checked before ingestion, in this order; the others after it.
constexpr std::array<ConfigGroup, 3> BEFORE_INGESTION{ConfigGroup::ingested, ConfigGroup::fixture,
                                                      ConfigGroup::bias};
constexpr std::array<ConfigGroup, 1> INGESTED_FIRST{ConfigGroup::ingested};

bool checked_before_ingestion(ConfigGroup group) {
    return std::find(BEFORE_INGESTION.begin(), BEFORE_INGESTION.end(), group) != BEFORE_INGESTION.end();
}

// A field ingestion writes is checked here only when the caller gave it (not 0): ingestion
// derives it.
void check_bounds_before_ingestion(const FiltrationEvaluationConfig& config) {
    for (const ConfigField* field : config_fields(BEFORE_INGESTION)) {
        if (!checked_before_ingestion(field->group)) break;
        const bool given = visit_member(field->member, config, [](const auto& value) {
            if constexpr (std::is_arithmetic_v<std::remove_cvref_t<decltype(value)>>) {
                return value != 0;
            } else {
                return true;
            }
        });
        if (field->group != ConfigGroup::ingested || given) check_bound(*field, config);
    }
}

// What ingestion wrote, then every bound not checked before it.
void check_bounds_after_ingestion(const FiltrationEvaluationConfig& config) {
    for (const ConfigField* field : config_fields(INGESTED_FIRST)) {
        if (field->group == ConfigGroup::ingested || !checked_before_ingestion(field->group)) {
            check_bound(*field, config);
        }
    }
}

}  // namespace

void validate_and_ingest(FiltrationEvaluationConfig& config,
                         const registry_and_store::FunctionStore* store) {
    check_bounds_before_ingestion(config);
    if (store == nullptr) throw runtime::ValueError("store (FunctionStore) is required.");
    if (!config.mode) throw runtime::ValueError("mode is required. Use 'mock' or 'real'.");
    const std::optional<EvaluationMode> mode = evaluation_mode(config);
    if (!mode) throw runtime::ValueError("mode must be 'mock' or 'real', got '" + *config.mode + "'.");

    if (*mode == EvaluationMode::mock) {
        if (!config.mock_signals)
            throw runtime::ValueError(
                "mock_signals is required when mode='mock'. Provide a Dict[str, Dict[str, Any]] "
                "with signal metadata.");
        ingest_mock_data_filtration(config);
    } else {
        if (config.mock_signals)
            throw runtime::ValueError(
                "mock_signals is only valid when mode='mock'; real-mode filtration evaluation "
                "requires signal_ids backed by DB metadata.");
        if (!config.signal_ids)
            throw runtime::ValueError(
                "signal_ids is required when mode='real'. Provide a List[str] of signal IDs.");
        ingest_real_data_filtration(config);
    }

    check_bounds_after_ingestion(config);
}

void ingest_mock_data_filtration(FiltrationEvaluationConfig& config) {
    if (!config.mock_signals || config.mock_signals->empty())
        throw runtime::ValueError(
            "mock_signals dict is empty. Provide at least one signal with metadata.");
    const Dict& mock = *config.mock_signals;

    // Deep copies: checks mutate their pools, and the caller's mock data must stay as given.
    config.signal_metadata = mock.deep_copy();
    config.N_signals = static_cast<std::int64_t>(config.signal_metadata->size());

    for (const auto& [signal_id, metadata] : mock) {
        if (!metadata.is_dict())
            throw runtime::AttributeError("'" + runtime::type_name(metadata) +
                                          "' object has no attribute 'keys'");
        const std::vector<std::string> missing = missing_expected_fields(metadata.as_dict());
        if (missing.empty()) continue;
        runtime::warn("Signal '" + runtime::str(signal_id) + "' metadata missing fields: " +
                          join(missing, ", ") +
                          ". Operators referencing these fields will be represented as NaN in "
                          "mock-only evaluation.",
                      "UserWarning", 2);
    }
}

void ingest_real_data_filtration(FiltrationEvaluationConfig& config) {
    const evaluation_utils::SignalMetadataQuery query =
        evaluation_utils::current_signal_metadata_query();
    if (!config.market_id)
        throw runtime::ValueError(
            "market_id is required when mode='real'. Pass the runtime market identity before "
            "filtration ingestion.");
    if (!config.era_number)
        throw runtime::ValueError(
            "era_number is required when mode='real'. Pass the runtime era identity before "
            "filtration ingestion.");
    if (!config.signal_ids)
        throw runtime::ValueError(
            "signal_ids is required when mode='real'. Provide a List[str] of signal IDs.");
    const std::vector<std::string>& signal_ids = *config.signal_ids;

    const Dict returned = query(signal_ids, *config.market_id, *config.era_number);

    std::vector<std::string> absent;
    for (const std::string& id : signal_ids)
        if (!returned.contains(std::string_view{id})) absent.push_back(id);
    if (!absent.empty())
        throw runtime::ValueError("Real-mode signal metadata missing for signal_ids: " +
                                  runtime::repr_list(absent) +
                                  ". Populate signal_service metadata before running filtration "
                                  "evaluation in mode='real'.");

    Dict ingested;
    Dict incomplete;  // id -> missing field names, in request order
    for (const std::string& id : signal_ids) {
        const Value& metadata = *returned.find(std::string_view{id});
        if (!metadata.is_dict())
            throw runtime::TypeError("Real-mode signal metadata for '" + id +
                                     "' is not a mapping, got " + runtime::type_name(metadata));
        Dict copied = metadata.as_dict().deep_copy();
        const std::vector<std::string> missing = missing_expected_fields(copied);
        if (!missing.empty()) {
            List names(missing.begin(), missing.end());
            incomplete.set(Value{id}, Value::list(std::move(names)));
        }
        ingested.set(Value{id}, Value{std::move(copied)});
    }
    if (!incomplete.empty())
        throw runtime::ValueError("Real-mode signal metadata is incomplete: " +
                                  runtime::repr(Value{std::move(incomplete)}) +
                                  ". Missing fields must be backfilled; real evaluation will not "
                                  "use NaN metadata defaults.");

    config.N_signals = static_cast<std::int64_t>(ingested.size());
    config.signal_metadata = std::move(ingested);
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
