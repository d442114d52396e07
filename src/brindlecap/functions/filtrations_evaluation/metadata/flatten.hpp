#pragma once
// Epoch prefixing of signal statistics, with telemetry observations.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// Opaque telemetry observer; the library never calls it, it only hands it to the hooks.
class TelemetryObserver {
public:
    virtual ~TelemetryObserver() = default;
};

inline constexpr const char* FILTRATIONS_EVALUATION_SURFACE =
    "brindlecap/functions/evaluation_harnesses/filtrations_evaluation";

// Bags are open values: a dict normally; None or other kinds are handled as the rules say.
runtime::Dict flatten_signal_metadata(const runtime::Value& is_stats, const runtime::Value& os_stats,
                                      const runtime::Value& metadata,
                                      TelemetryObserver* telemetry_observer = nullptr);

// Default hooks: refuse any observer other than nullptr.
void record_surface_observation(TelemetryObserver* observer, const std::string& surface,
                                const std::string& behaviour, double value,
                                const std::optional<runtime::Dict>& tags = std::nullopt);
void flush_surface_observer_sync(TelemetryObserver* observer);

using RecordObservationHook =
    std::function<void(TelemetryObserver*, const std::string& surface, const std::string& behaviour,
                       double value, const std::optional<runtime::Dict>& tags)>;
using FlushObserverHook = std::function<void(TelemetryObserver*)>;

// Replaceable bindings, looked up afresh at every observation. An empty function restores the
// default. Each returns the previous binding.
RecordObservationHook set_record_surface_observation_hook(RecordObservationHook hook);
FlushObserverHook set_flush_surface_observer_hook(FlushObserverHook hook);

}  // namespace brindlecap::functions::filtrations_evaluation
