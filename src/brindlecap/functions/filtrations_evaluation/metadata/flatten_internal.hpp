#pragma once
// Flattening without telemetry, shape tags and the observation helpers.

#include "brindlecap/functions/filtrations_evaluation/metadata/flatten.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

runtime::Dict flatten_signal_metadata_impl(const runtime::Value& is_stats,
                                           const runtime::Value& os_stats,
                                           const runtime::Value& metadata);
runtime::Dict flatten_signal_metadata_shape_tags(const runtime::Value& is_stats,
                                                 const runtime::Value& os_stats,
                                                 const runtime::Value& metadata,
                                                 const std::optional<runtime::Dict>& result = std::nullopt,
                                                 const std::optional<std::string>& status = std::nullopt);
std::int64_t shape_len(const runtime::Value& value);
// Key set of a dict value (empty for None and non-dicts).
runtime::List mapping_key_set(const runtime::Value& value);
void brindlecap_sdk_internal_telemetry_unavailable(TelemetryObserver* observer);
void record_filtrations_evaluation_observation(TelemetryObserver* observer,
                                               const std::string& behaviour, double value,
                                               const std::optional<runtime::Dict>& tags);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
