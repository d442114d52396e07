#include "brindlecap/functions/registry_and_store/store.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::registry_and_store {

FunctionStore::FunctionStore(const FunctionStore& other) {
    std::lock_guard lock(other.mutex_);
    entries_ = other.entries_;
}

FunctionStore& FunctionStore::operator=(const FunctionStore& other) {
    if (this == &other) return *this;
    std::vector<StoreEntry> entries;
    {
        std::lock_guard lock(other.mutex_);
        entries = other.entries_;
    }
    std::lock_guard lock(mutex_);
    entries_ = std::move(entries);
    cache_.clear();
    return *this;
}

FunctionStore::FunctionStore(FunctionStore&& other) noexcept {
    std::lock_guard lock(other.mutex_);
    entries_ = std::move(other.entries_);
    other.entries_.clear();
    other.cache_.clear();
}

FunctionStore& FunctionStore::operator=(FunctionStore&& other) noexcept {
    if (this == &other) return *this;
    std::scoped_lock lock(mutex_, other.mutex_);
    entries_ = std::move(other.entries_);
    other.entries_.clear();
    other.cache_.clear();
    cache_.clear();
    return *this;
}

void FunctionStore::register_entry(StoreEntry entry) {
    std::lock_guard lock(mutex_);
    if (auto cached = cache_.find(entry.name); cached != cache_.end()) cache_.erase(cached);
    auto same_name = [&](const StoreEntry& e) { return e.name == entry.name; };
    if (auto it = std::find_if(entries_.begin(), entries_.end(), same_name); it != entries_.end()) {
        *it = std::move(entry);
    } else {
        entries_.push_back(std::move(entry));
    }
}

StoreEntry FunctionStore::get_entry(std::string_view name) const {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_) {
        if (e.name == name) return e;
    }
    throw runtime::KeyError(runtime::Value(name));
}

bool FunctionStore::has(std::string_view name) const {
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const StoreEntry& e) { return e.name == name; });
}

std::vector<std::string> FunctionStore::list_by_function_type(std::string_view function_type) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& e : entries_) {
        if (e.function_type == function_type) names.push_back(e.name);
    }
    return names;
}

std::optional<Operator> FunctionStore::cached_operator(std::string_view name) const {
    std::lock_guard lock(mutex_);
    if (auto it = cache_.find(name); it != cache_.end()) return it->second;
    return std::nullopt;
}

void FunctionStore::cache_operator(const std::string& name, Operator op) const {
    std::lock_guard lock(mutex_);
    cache_.insert_or_assign(name, std::move(op));
}

FunctionStore build_default_store(const std::vector<std::string>& function_types) {
    FunctionStore store;
    if (std::find(function_types.begin(), function_types.end(), "filtration") == function_types.end()) {
        return store;
    }
    using namespace filtrations;
    const std::pair<std::string_view, std::string_view> builtins[] = {
        {"gt", COMPARISON_MODULE},   {"gte", COMPARISON_MODULE},  {"lt", COMPARISON_MODULE},
        {"lte", COMPARISON_MODULE},  {"eq", COMPARISON_MODULE},   {"neq", COMPARISON_MODULE},
        {"between", COMPARISON_MODULE}, {"in_", COMPARISON_MODULE},
        {"top_pct", RANK_MODULE},    {"bottom_pct", RANK_MODULE}, {"top_n", RANK_MODULE},
        {"bottom_n", RANK_MODULE},
        {"and_", BOOLEAN_MODULE},    {"or_", BOOLEAN_MODULE},     {"not_", BOOLEAN_MODULE},
        {"filtration", WRAPPER_MODULE},
    };
    for (const auto& [name, module] : builtins) {
        store.register_entry(StoreEntry{
            .name = std::string(name),
            .function_type = "filtration",
            .factory = std::nullopt,
            .module_path = std::string(module),
            .class_name = "_builtin_" + std::string(name),
            .data_type = runtime::Value(),
        });
    }
    return store;
}

}  // namespace brindlecap::functions::registry_and_store
