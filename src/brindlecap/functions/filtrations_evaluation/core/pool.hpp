#pragma once
// Signals and the insertion-ordered pool that holds them.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "brindlecap/functions/filtrations_evaluation/core/ids.hpp"
#include "brindlecap/numeric/matrix.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using runtime::Dict;
using runtime::DictPtr;
using runtime::Value;

// "A signal with weights and metadata."
struct UsefulSignal {
    numeric::MatrixPtr weights;  // (T, N_alloc); product pseudo-signals carry 0x0
    numeric::MatrixPtr pnl;      // null when absent
    DictPtr metadata;            // never null in a pool

    static UsefulSignal make(Dict metadata, numeric::Matrix weights = {});
};

class SignalPool;

// A pool of metadata-only signals from a mapping {id: {metadata}} in its order (the metadata
// dicts are shared, not copied); ValueError naming `where` when it is not such a mapping.
SignalPool pool_from_value(const runtime::Value& signals, std::string_view where = "signals");

// Insertion-ordered mapping identifier -> UsefulSignal. Inserting an existing identifier
// replaces its signal in place. The key index is shared with the IdSets built over it and is
// copied on write, so such sets stay valid when the pool grows.
class SignalPool {
public:
    struct Entry {
        const std::string& id;
        UsefulSignal& signal;
    };
    struct ConstEntry {
        const std::string& id;
        const UsefulSignal& signal;
    };

    SignalPool();

    std::size_t size() const noexcept { return signals_.size(); }
    bool empty() const noexcept { return signals_.empty(); }
    void reserve(std::size_t n);
    void insert(std::string id, UsefulSignal signal);
    bool contains(std::string_view id) const { return index_->find(id).has_value(); }
    const UsefulSignal* find(std::string_view id) const;
    UsefulSignal* find(std::string_view id);

    const std::string& id(std::size_t pos) const { return index_->id(pos); }
    const UsefulSignal& signal(std::size_t pos) const { return signals_[pos]; }
    UsefulSignal& signal(std::size_t pos) { return signals_[pos]; }
    ConstEntry operator[](std::size_t pos) const { return {id(pos), signals_[pos]}; }
    Entry operator[](std::size_t pos) { return {id(pos), signals_[pos]}; }

    // By value: the pool holds a mutable index, so a const reference would bind a temporary.
    KeyIndexPtr index() const noexcept { return index_; }
    // The set of all identifiers.
    IdSet keys() const { return IdSet::all_of(index_); }

    template <class Self>
    struct Iter {
        Self* pool;
        std::size_t pos;
        auto operator*() const { return (*pool)[pos]; }
        Iter& operator++() {
            ++pos;
            return *this;
        }
        bool operator!=(const Iter& o) const { return pos != o.pos; }
    };
    Iter<SignalPool> begin() { return {this, 0}; }
    Iter<SignalPool> end() { return {this, size()}; }
    Iter<const SignalPool> begin() const { return {this, 0}; }
    Iter<const SignalPool> end() const { return {this, size()}; }

private:
    std::shared_ptr<KeyIndex> index_;
    std::vector<UsefulSignal> signals_;
};

}  // namespace brindlecap::functions::filtrations_evaluation
