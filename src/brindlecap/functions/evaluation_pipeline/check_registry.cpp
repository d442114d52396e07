#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"

#include <algorithm>
#include <mutex>
#include <set>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/process_state_internal.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::evaluation_pipeline {

using runtime::Dict;
using runtime::List;
using runtime::Value;

namespace {

const std::vector<CheckEntry>& default_filtration_entries() {
    static const std::vector<CheckEntry> entries = {
        {1, "contract"},    {2, "correctness"},         {3, "nan_handling"}, {4, "determinism"},
        {5, "parallel_safety"}, {6, "boundary_conditions"}, {7, "bias"},         {8, "speed"},
    };
    return entries;
}

struct Overrides {
    std::mutex mutex;
    std::optional<std::vector<CheckEntry>> entries;
    std::optional<SharedCheckBodyMap> bodies;
};

Overrides& overrides() {
    static Overrides o;
    return o;
}

const Value& require(const Dict& context, const char* body, const char* key) {
    const Value* v = context.find(key);
    if (v == nullptr) {
        throw runtime::TypeError(std::string(body) + "() missing 1 required keyword-only argument: '" +
                                 key + "'");
    }
    return *v;
}

// Identifier outputs compare as sets: a list of strings counts as the set of its elements;
// anything else (a set object, a scalar) compares by value.
bool same_output(const Value& a, const Value& b) {
    auto as_string_set = [](const Value& v) -> std::optional<std::set<std::string>> {
        if (!v.is_list()) return std::nullopt;
        std::set<std::string> out;
        for (const Value& item : v.as_list()) {
            if (!item.is_str()) return std::nullopt;
            out.insert(item.as_str());
        }
        return out;
    };
    const auto sa = as_string_set(a);
    const auto sb = as_string_set(b);
    if (sa && sb) return *sa == *sb;
    return a == b;
}

std::vector<std::string> sorted_strs(std::set<std::string> keys) {
    return {keys.begin(), keys.end()};
}

std::string key_text(const Value& key) { return runtime::str(key); }

SharedCheckResult filtration_determinism(const Dict& context) {
    const Value& first = require(context, "filtration_determinism", "first_output");
    const Value& second = require(context, "filtration_determinism", "second_output");
    const Dict& a = first.as_dict();
    const Dict& b = second.as_dict();

    // Keys of both outputs; a key only one side holds is a mismatch.
    std::set<std::string> compared;
    std::set<std::string> mismatched;
    for (const auto& [key, value] : a) {
        const std::string k = key_text(key);
        compared.insert(k);
        const Value* other = b.find(key);
        if (other == nullptr || !same_output(value, *other)) mismatched.insert(k);
    }
    for (const auto& [key, value] : b) {
        const std::string k = key_text(key);
        compared.insert(k);
        if (a.find(key) == nullptr) mismatched.insert(k);
    }

    List compared_list;
    for (const auto& k : sorted_strs(compared)) compared_list.emplace_back(k);
    List mismatched_list;
    for (const auto& k : sorted_strs(mismatched)) mismatched_list.emplace_back(k);

    const bool match = mismatched.empty();
    SharedCheckResult result;
    result.status = match ? "pass" : "fail";
    result.evidence.set("outputs_match", match);
    result.evidence.set("compared_keys", Value::list(std::move(compared_list)));
    result.evidence.set("mismatched_keys", Value::list(std::move(mismatched_list)));
    return result;
}

SharedCheckResult filtration_parallel_safety(const Dict& context) {
    const Value& results = require(context, "filtration_parallel_safety", "thread_results");
    const List& items = results.as_list();
    List mismatched;
    for (std::size_t i = 1; i < items.size(); ++i) {
        if (!same_output(items[i], items[0])) mismatched.emplace_back(static_cast<std::int64_t>(i));
    }
    const bool match = mismatched.empty();
    SharedCheckResult result;
    result.status = match ? "pass" : "fail";
    result.evidence.set("results_match", match);
    result.evidence.set("result_count", static_cast<std::int64_t>(items.size()));
    result.evidence.set("mismatched_indices", Value::list(std::move(mismatched)));
    return result;
}

}  // namespace

std::vector<CheckEntry> get_check_registry_entries(const std::string& family) {
    if (family != "filtration") return {};
    Overrides& o = overrides();
    std::lock_guard lock(o.mutex);
    if (o.entries) return *o.entries;
    return default_filtration_entries();
}

std::map<std::int64_t, std::string> get_check_key_map(const std::string& family) {
    std::map<std::int64_t, std::string> out;
    for (const auto& [number, name] : get_check_registry_entries(family)) out.emplace(number, name);
    return out;
}

SharedCheckBodyMap get_shared_check_body_map() {
    Overrides& o = overrides();
    {
        std::lock_guard lock(o.mutex);
        if (o.bodies) return *o.bodies;
    }
    return {
        {{"filtration", "determinism"}, &filtration_determinism},
        {{"filtration", "parallel_safety"}, &filtration_parallel_safety},
    };
}

void override_check_registry_entries(std::optional<std::vector<CheckEntry>> entries) {
    Overrides& o = overrides();
    std::lock_guard lock(o.mutex);
    o.entries = std::move(entries);
}

void override_shared_check_body_map(std::optional<SharedCheckBodyMap> bodies) {
    Overrides& o = overrides();
    std::lock_guard lock(o.mutex);
    o.bodies = std::move(bodies);
}

namespace {
void restore_check_registry() {
    override_check_registry_entries(std::nullopt);
    override_shared_check_body_map(std::nullopt);
}
// Overriding bodies may be a host's callables.
const runtime::detail::RegisteredSlot check_registry_overrides_slot{
    "check registry overrides", &restore_check_registry, runtime::detail::SlotHolds::host_objects};
}  // namespace

}  // namespace brindlecap::functions::evaluation_pipeline
