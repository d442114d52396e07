#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/functions/registry_and_store/store_internal.hpp"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/process_state_internal.hpp"

namespace brindlecap::functions::registry_and_store {

using filtrations_evaluation::Operator;

namespace {

std::uint64_t next_store_identity() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

// Orders (store identity, name) keys, also against a name given as a string_view.
struct KeyLess {
    using is_transparent = void;
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
        if (a.first != b.first) return a.first < b.first;
        return std::string_view(a.second) < std::string_view(b.second);
    }
};

// (store identity, operator name) -> operator.
struct OperatorCache {
    std::mutex mutex;
    std::map<std::pair<std::uint64_t, std::string>, Operator, KeyLess> entries;
};

OperatorCache& operator_cache() {
    // Never destroyed: stores may go away during static destruction.
    static auto* cache = new OperatorCache;
    return *cache;
}

// Drops cached operators; they are destroyed after the lock is released (an operator may own a
// host object whose destructor must not run under it).
void forget(std::uint64_t store, const std::string* name) {
    std::vector<Operator> dropped;  // declared first: destroyed after the lock is released
    OperatorCache& c = operator_cache();
    const std::lock_guard lock(c.mutex);
    for (auto it = c.entries.begin(); it != c.entries.end();) {
        if (it->first.first == store && (name == nullptr || it->first.second == *name)) {
            dropped.push_back(std::move(it->second));
            it = c.entries.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

FunctionStore::FunctionStore() : id_(next_store_identity()) {}

FunctionStore::~FunctionStore() { forget(id_, nullptr); }

FunctionStore::FunctionStore(const FunctionStore& other) : id_(next_store_identity()) {
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
    forget(id_, nullptr);
    return *this;
}

// The moved-to store takes over the identity (and its cached operators); the moved-from store
// starts over with a new one.
FunctionStore::FunctionStore(FunctionStore&& other) noexcept : id_(next_store_identity()) {
    std::lock_guard lock(other.mutex_);
    entries_ = std::move(other.entries_);
    other.entries_.clear();
    std::swap(id_, other.id_);
}

FunctionStore& FunctionStore::operator=(FunctionStore&& other) noexcept {
    if (this == &other) return *this;
    std::scoped_lock lock(mutex_, other.mutex_);
    forget(id_, nullptr);
    entries_ = std::move(other.entries_);
    other.entries_.clear();
    id_ = std::exchange(other.id_, next_store_identity());
    return *this;
}

void FunctionStore::register_entry(StoreEntry entry) {
    forget(id_, &entry.name);
    // The replaced entry is destroyed after the lock is released (its factory may own a host object).
    const std::string name = entry.name;
    std::unique_lock lock(mutex_);
    auto same_name = [&](const StoreEntry& e) { return e.name == name; };
    if (auto it = std::find_if(entries_.begin(), entries_.end(), same_name); it != entries_.end()) {
        std::swap(*it, entry);
    } else {
        entries_.push_back(std::move(entry));
    }
    lock.unlock();
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

std::size_t FunctionStore::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::optional<Operator> FunctionStore::cached_operator(std::string_view name) const {
    OperatorCache& c = operator_cache();
    const std::lock_guard lock(c.mutex);
    if (auto it = c.entries.find(std::pair<std::uint64_t, std::string_view>{id_, name}); it != c.entries.end()) {
        return it->second;
    }
    return std::nullopt;
}

void FunctionStore::cache_operator(const std::string& name, Operator op) const {
    OperatorCache& c = operator_cache();
    const std::lock_guard lock(c.mutex);
    c.entries.insert_or_assign({id_, name}, std::move(op));
}

namespace detail {

std::vector<std::pair<std::uint64_t, std::string>> operator_cache_keys() {
    OperatorCache& c = operator_cache();
    const std::lock_guard lock(c.mutex);
    std::vector<std::pair<std::uint64_t, std::string>> keys;
    keys.reserve(c.entries.size());
    for (const auto& [key, op] : c.entries) keys.push_back(key);
    return keys;
}

void clear_operator_cache() {
    std::map<std::pair<std::uint64_t, std::string>, Operator, KeyLess> dropped;  // destroyed unlocked
    OperatorCache& c = operator_cache();
    const std::lock_guard lock(c.mutex);
    dropped.swap(c.entries);
}

const runtime::detail::RegisteredSlot operator_cache_slot{
    "operator cache", &clear_operator_cache, runtime::detail::SlotHolds::host_objects};

}  // namespace detail

FunctionStore build_default_store(const std::vector<std::string>& function_types) {
    FunctionStore store;
    if (std::find(function_types.begin(), function_types.end(), "filtration") == function_types.end()) {
        return store;
    }
    // Resolved through the runtime module table, where functions/filtrations publishes the kernels.
    for (const auto& builtin : filtrations_evaluation::detail::builtin_operators()) {
        store.register_entry(StoreEntry{
            .name = std::string(builtin.name),
            .function_type = "filtration",
            .factory = std::nullopt,
            .module_path = std::string(builtin.module_path),
            .class_name = builtin.class_name(),
            .data_type = runtime::Value(),
        });
    }
    return store;
}

}  // namespace brindlecap::functions::registry_and_store
