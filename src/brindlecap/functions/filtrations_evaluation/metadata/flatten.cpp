#include "brindlecap/functions/filtrations_evaluation/metadata/flatten.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/flatten_internal.hpp"

#include <algorithm>
#include <exception>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/process_state_internal.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using runtime::Dict;
using runtime::List;
using runtime::Value;

namespace {

std::mutex hooks_mutex;
RecordObservationHook record_hook = &record_surface_observation;
FlushObserverHook flush_hook = &flush_surface_observer_sync;

RecordObservationHook current_record_hook() {
    std::lock_guard lock(hooks_mutex);
    return record_hook;
}

FlushObserverHook current_flush_hook() {
    std::lock_guard lock(hooks_mutex);
    return flush_hook;
}

// The dict behind a bag; AttributeError naming `operation` for anything else.
const Dict& require_dict(const Value& bag, const char* operation) {
    if (!bag.is_dict())
        throw runtime::AttributeError("'" + runtime::type_name(bag) + "' object has no attribute '" +
                                      operation + "'");
    return bag.as_dict();
}

// Key text form: a string unchanged, an integer in decimal, anything else by str().
std::string key_text(const Value& key) { return runtime::str(key); }

std::string sorted_key_list(const Dict& bag) {
    List keys = bag.keys();
    std::stable_sort(keys.begin(), keys.end(),
                     [](const Value& a, const Value& b) { return runtime::less(a, b); });
    std::string out = "[";
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) out += ", ";
        out += runtime::repr(keys[i]);
    }
    return out + "]";
}

bool same_key_set(const List& a, const List& b) {
    if (a.size() != b.size()) return false;
    Dict lookup;
    for (const Value& k : b) lookup.set(k, Value{});
    return std::all_of(a.begin(), a.end(), [&](const Value& k) { return lookup.contains(k); });
}

}  // namespace

void record_surface_observation(TelemetryObserver* observer, const std::string& /*surface*/,
                                const std::string& /*behaviour*/, double /*value*/,
                                const std::optional<Dict>& /*tags*/) {
    detail::brindlecap_sdk_internal_telemetry_unavailable(observer);
}

void flush_surface_observer_sync(TelemetryObserver* observer) {
    detail::brindlecap_sdk_internal_telemetry_unavailable(observer);
}

RecordObservationHook set_record_surface_observation_hook(RecordObservationHook hook) {
    if (!hook) hook = &record_surface_observation;
    std::lock_guard lock(hooks_mutex);
    return std::exchange(record_hook, std::move(hook));
}

FlushObserverHook set_flush_surface_observer_hook(FlushObserverHook hook) {
    if (!hook) hook = &flush_surface_observer_sync;
    std::lock_guard lock(hooks_mutex);
    return std::exchange(flush_hook, std::move(hook));
}

namespace {
void restore_telemetry_hooks() {
    set_record_surface_observation_hook({});
    set_flush_surface_observer_hook({});
}
const runtime::detail::RegisteredSlot telemetry_hooks_slot{
    "telemetry hooks", &restore_telemetry_hooks, runtime::detail::SlotHolds::host_objects};
}  // namespace

namespace detail {

void brindlecap_sdk_internal_telemetry_unavailable(TelemetryObserver* observer) {
    if (observer == nullptr) return;
    throw runtime::RuntimeError(
        "internal telemetry observers are unavailable in Brindlecap SDK companion modules");
}

void record_filtrations_evaluation_observation(TelemetryObserver* observer,
                                               const std::string& behaviour, double value,
                                               const std::optional<Dict>& tags) {
    const RecordObservationHook hook = current_record_hook();
    hook(observer, FILTRATIONS_EVALUATION_SURFACE, behaviour, value, tags);
}

std::int64_t shape_len(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::none: return 0;
        case Value::Kind::str: {
            std::int64_t n = 0;
            for (const char c : value.as_str())
                if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
            return n;
        }
        case Value::Kind::list: return static_cast<std::int64_t>(value.as_list().size());
        case Value::Kind::dict: return static_cast<std::int64_t>(value.as_dict().size());
        default: return -1;
    }
}

List mapping_key_set(const Value& value) {
    if (!value.is_dict()) return {};
    return value.as_dict().keys();
}

Dict flatten_signal_metadata_impl(const Value& is_stats, const Value& os_stats,
                                  const Value& metadata) {
    const Dict& is_bag = require_dict(is_stats, "keys");
    const Dict& os_bag = require_dict(os_stats, "keys");
    if (!same_key_set(is_bag.keys(), os_bag.keys())) {
        throw runtime::ValueError("is_stats and os_stats must have the same key sets. is_stats keys: " +
                                  sorted_key_list(is_bag) + ", os_stats keys: " +
                                  sorted_key_list(os_bag) + ". Key mismatch detected.");
    }
    Dict result;
    for (const auto& [key, value] : is_bag) result.set(Value{"is_" + key_text(key)}, value);
    for (const auto& [key, value] : os_bag) result.set(Value{"os_" + key_text(key)}, value);
    const Dict& md_bag = require_dict(metadata, "items");
    for (const auto& [key, value] : md_bag) {
        if (result.contains(key)) {
            throw runtime::ValueError("Key collision detected: '" + key_text(key) +
                                      "' in metadata collides with prefixed key in result");
        }
        result.set(key, value);
    }
    return result;
}

Dict flatten_signal_metadata_shape_tags(const Value& is_stats, const Value& os_stats,
                                        const Value& metadata, const std::optional<Dict>& result,
                                        const std::optional<std::string>& status) {
    const List is_keys = mapping_key_set(is_stats);
    const List os_keys = mapping_key_set(os_stats);
    const List md_keys = mapping_key_set(metadata);

    std::set<std::string, std::less<>> prefixed;
    for (const Value& k : is_keys) prefixed.insert("is_" + key_text(k));
    for (const Value& k : os_keys) prefixed.insert("os_" + key_text(k));
    std::int64_t collisions = 0;
    for (const Value& k : md_keys)
        if (k.is_str() && prefixed.count(k.as_str()) != 0) ++collisions;

    Dict tags;
    tags.set("is_stat_count_shape", shape_len(is_stats));
    tags.set("os_stat_count_shape", shape_len(os_stats));
    tags.set("metadata_count_shape", shape_len(metadata));
    tags.set("key_set_match_shape", std::int64_t{same_key_set(is_keys, os_keys) ? 1 : 0});
    tags.set("collision_count_shape", collisions);
    tags.set("result_field_count_shape",
             result ? static_cast<std::int64_t>(result->size()) : std::int64_t{0});
    if (status) tags.set("status", *status);
    return tags;
}

}  // namespace detail

Dict flatten_signal_metadata(const Value& is_stats, const Value& os_stats, const Value& metadata,
                             TelemetryObserver* telemetry_observer) {
    if (telemetry_observer == nullptr)
        return detail::flatten_signal_metadata_impl(is_stats, os_stats, metadata);

    const Dict entry_tags = detail::flatten_signal_metadata_shape_tags(is_stats, os_stats, metadata);
    detail::record_filtrations_evaluation_observation(telemetry_observer, "entry", 1.0, entry_tags);

    Dict exit_tags = entry_tags;
    Dict result;
    std::exception_ptr pending;
    try {
        try {
            result = detail::flatten_signal_metadata_impl(is_stats, os_stats, metadata);
            exit_tags = detail::flatten_signal_metadata_shape_tags(is_stats, os_stats, metadata,
                                                                   result, "flattened");
            detail::record_filtrations_evaluation_observation(telemetry_observer, "decision", 2.0,
                                                              exit_tags);
        } catch (const std::exception& e) {
            exit_tags = detail::flatten_signal_metadata_shape_tags(is_stats, os_stats, metadata,
                                                                   std::nullopt, "error");
            exit_tags.set("error_type", runtime::error_kind(e));
            detail::record_filtrations_evaluation_observation(telemetry_observer, "decision", 2.0,
                                                              exit_tags);
            throw;
        }
    } catch (...) {
        pending = std::current_exception();
    }
    // Runs on success and on any failure; an error raised here replaces the pending outcome.
    detail::record_filtrations_evaluation_observation(telemetry_observer, "exit", 3.0, exit_tags);
    current_flush_hook()(telemetry_observer);
    if (pending) std::rethrow_exception(pending);
    return result;
}

}  // namespace brindlecap::functions::filtrations_evaluation
