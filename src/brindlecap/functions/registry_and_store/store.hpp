#pragma once
// The operator store: named entries of function types. Loaded operators are cached process-wide
// by (store, name); a store's entries leave the cache with the store.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::registry_and_store {

struct StoreEntry {
    std::string name;
    std::string function_type;
    std::optional<filtrations_evaluation::Operator> factory;  // the operator itself when present
    std::string module_path;
    std::string class_name;
    runtime::Value data_type;  // None when the entry has none
};

class FunctionStore {
public:
    FunctionStore();
    ~FunctionStore();
    // Copies share no cache: a copy loads its operators afresh.
    FunctionStore(const FunctionStore& other);
    FunctionStore& operator=(const FunctionStore& other);
    FunctionStore(FunctionStore&& other) noexcept;
    FunctionStore& operator=(FunctionStore&& other) noexcept;

    // Registers or replaces an entry (keeping its position); drops any operator cached for it.
    void register_entry(StoreEntry entry);
    // KeyError(name) for an unknown name.
    StoreEntry get_entry(std::string_view name) const;
    bool has(std::string_view name) const;
    // Names of a function type, in registration order.
    std::vector<std::string> list_by_function_type(std::string_view function_type) const;

    std::size_t size() const;

    // This store's entries of the operator cache used by operator loading; each lookup and
    // insertion is atomic.
    std::optional<filtrations_evaluation::Operator> cached_operator(std::string_view name) const;
    void cache_operator(const std::string& name, filtrations_evaluation::Operator op) const;

    // Distinguishes stores in the operator cache; a copy gets an identity of its own.
    std::uint64_t identity() const noexcept { return id_; }

private:
    mutable std::mutex mutex_;
    std::vector<StoreEntry> entries_;
    std::uint64_t id_;
};

// A store holding the sixteen built-in filtration operators (no factories; they resolve
// through the built-in target resolver).
FunctionStore build_default_store(const std::vector<std::string>& function_types = {"filtration"});

}  // namespace brindlecap::functions::registry_and_store
