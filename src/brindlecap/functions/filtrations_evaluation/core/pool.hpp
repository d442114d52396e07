#pragma once
// Signals and the insertion-ordered pool that holds them, row-wise and column-wise.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/ids.hpp"
#include "brindlecap/numeric/matrix.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// "A signal with weights and metadata."
struct UsefulSignal {
    // (T, N_alloc); product pseudo-signals carry 0x0. make() gives every signal without weights
    // the same 0x0 matrix: replace a signal's pointer, never assign through it.
    numeric::MatrixPtr weights;
    numeric::MatrixPtr pnl;      // null when absent
    runtime::DictPtr metadata;   // never null in a pool

    static UsefulSignal make(runtime::Dict metadata, numeric::Matrix weights = {});
};

class SignalPool;

// A pool of metadata-only signals from a mapping {id: {metadata}} in its order (the metadata
// dicts are shared, not copied); ValueError naming `where` when it is not such a mapping.
SignalPool pool_from_value(const runtime::Value& signals, std::string_view where = "signals");

// Insertion-ordered mapping identifier -> UsefulSignal. Inserting an existing identifier
// replaces its signal in place. The key index is shared with the IdSets built over it and is
// copied on write, so such sets stay valid when the pool grows.
//
// Columns. Beside its rows the pool keeps a column store: per metadata field, the values of all
// signals in one typed array, built on first use by the built-in operators (or by
// build_columns). A pool may also be born column-wise (ColumnarPoolBuilder,
// read_signal_pool_json); its rows are then made only when something asks for them.
//
// What counts as a change, after which the columns are rebuilt from the rows:
//   - insert, and every accessor of a non-const pool that hands out a signal (signal, find,
//     operator[], iteration): handing out the reference counts as the change, so read through a
//     const pool (std::as_const) to keep the columns;
//   - any change of a metadata dict the pool holds, however it is reached (Dict::watch: set,
//     pop, clear, mutable find/at, assignment).
// Not seen: a change made later through a mutable reference taken before the columns were
// built, and a list or dict inside the metadata changed in place through another Value sharing
// it (change the field with Dict::set instead). Call drop_columns() after such a change.
// Const members may be called from several threads at once.
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
    ~SignalPool();
    SignalPool(const SignalPool& other);
    SignalPool(SignalPool&& other) noexcept;
    SignalPool& operator=(const SignalPool& other);
    SignalPool& operator=(SignalPool&& other) noexcept;

    std::size_t size() const noexcept { return index_->size(); }
    bool empty() const noexcept { return size() == 0; }
    void reserve(std::size_t n);
    void insert(std::string id, UsefulSignal signal);
    bool contains(std::string_view id) const { return index_->find(id).has_value(); }
    const UsefulSignal* find(std::string_view id) const;
    UsefulSignal* find(std::string_view id);

    const std::string& id(std::size_t pos) const { return index_->id(pos); }
    const UsefulSignal& signal(std::size_t pos) const { return rows()[pos]; }
    UsefulSignal& signal(std::size_t pos) { return rows_to_change()[pos]; }
    ConstEntry operator[](std::size_t pos) const { return {id(pos), rows()[pos]}; }
    Entry operator[](std::size_t pos) { return {id(pos), rows_to_change()[pos]}; }

    // By value: the pool holds a mutable index, so a const reference would bind a temporary.
    KeyIndexPtr index() const noexcept { return index_; }
    // The set of all identifiers.
    IdSet keys() const { return IdSet::all_of(index_); }

    // Builds the columns of these metadata fields now (in one walk over the rows).
    void build_columns(const std::vector<std::string>& fields) const;
    // Forgets the columns built from the rows (a pool born column-wise makes its rows first).
    void drop_columns() const;

    // The column store and its access to the pool, defined where the library builds columns.
    struct State;
    struct Access;

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
    const std::vector<UsefulSignal>& rows() const {
        if (!rows_ready_.load(std::memory_order_acquire)) make_rows();
        return signals_;
    }
    // The rows, about to be handed out for change: the columns describe them no longer.
    std::vector<UsefulSignal>& rows_to_change();
    void make_rows() const;

    std::shared_ptr<KeyIndex> index_;
    mutable std::vector<UsefulSignal> signals_;  // one per position once the rows are made
    mutable std::atomic<bool> rows_ready_{true};
    std::uint64_t generation_ = 0;               // moves with every change
    std::unique_ptr<State> state_;               // never null
};

}  // namespace brindlecap::functions::filtrations_evaluation
