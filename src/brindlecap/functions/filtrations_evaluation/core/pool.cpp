#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"

#include <mutex>
#include <string>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using runtime::Dict;
using runtime::DictPtr;
using runtime::Value;

UsefulSignal UsefulSignal::make(Dict metadata, numeric::Matrix weights) {
    // Signals without weights (pools of metadata, a million at a time) share one 0x0 matrix.
    static const numeric::MatrixPtr no_weights = std::make_shared<numeric::Matrix>();
    numeric::MatrixPtr w = weights.rows() == 0 && weights.cols() == 0
                               ? no_weights
                               : std::make_shared<numeric::Matrix>(std::move(weights));
    return UsefulSignal{std::move(w), nullptr, std::make_shared<Dict>(std::move(metadata))};
}

SignalPool::SignalPool() : index_(std::make_shared<KeyIndex>()), state_(std::make_unique<State>()) {}

SignalPool::~SignalPool() = default;

SignalPool::SignalPool(const SignalPool& other)
    : index_(other.index_), state_(std::make_unique<State>()) {
    const std::lock_guard lock(other.state_->mutex);
    const bool ready = other.rows_ready_.load(std::memory_order_acquire);
    if (ready) signals_ = other.signals_;
    rows_ready_.store(ready, std::memory_order_relaxed);
    // Same rows, same columns: the copy starts with the other's (they never change).
    State& mine = *state_;
    const State& theirs = *other.state_;
    mine.born = theirs.born;
    if (theirs.generation == other.generation_) {
        mine.columns = theirs.columns;
        mine.horizon = theirs.horizon;
        mine.dicts_watched = theirs.dicts_watched;
    }
    mine.id_order = theirs.id_order;
    mine.id_order_index = theirs.id_order_index;
    mine.id_order_size = theirs.id_order_size;
}

SignalPool::SignalPool(SignalPool&& other) noexcept
    : index_(std::exchange(other.index_, std::make_shared<KeyIndex>())),
      signals_(std::move(other.signals_)),
      rows_ready_(other.rows_ready_.load(std::memory_order_acquire)),
      generation_(other.generation_),
      state_(std::exchange(other.state_, std::make_unique<State>())) {
    other.signals_.clear();
    other.rows_ready_.store(true, std::memory_order_relaxed);
}

SignalPool& SignalPool::operator=(const SignalPool& other) {
    if (this != &other) *this = SignalPool(other);
    return *this;
}

SignalPool& SignalPool::operator=(SignalPool&& other) noexcept {
    if (this == &other) return *this;
    index_ = std::exchange(other.index_, std::make_shared<KeyIndex>());
    signals_ = std::move(other.signals_);
    other.signals_.clear();
    rows_ready_.store(other.rows_ready_.load(std::memory_order_acquire), std::memory_order_relaxed);
    other.rows_ready_.store(true, std::memory_order_relaxed);
    // Columns cached for this pool's former contents must not survive: the state goes along.
    generation_ = other.generation_;
    state_ = std::exchange(other.state_, std::make_unique<State>());
    return *this;
}

void SignalPool::reserve(std::size_t n) {
    state_->reserved = n;
    // Copy on write: sets built over the current index keep it unchanged.
    if (index_.use_count() > 1) index_ = std::make_shared<KeyIndex>(*index_);
    index_->reserve(n);
    if (rows_ready_.load(std::memory_order_relaxed)) signals_.reserve(n);
}

std::vector<UsefulSignal>& SignalPool::rows_to_change() {
    if (!rows_ready_.load(std::memory_order_acquire)) make_rows();
    ++generation_;
    state_->born.reset();
    return signals_;
}

void SignalPool::insert(std::string id, UsefulSignal signal) {
    const std::uint64_t generation = generation_;
    std::vector<UsefulSignal>& rows = rows_to_change();
    if (index_.use_count() > 1) {
        if (const auto pos = index_->find(id)) {
            rows[*pos] = std::move(signal);
            state_->growing.reset();
            return;
        }
        index_ = std::make_shared<KeyIndex>(*index_);
    }
    // One lookup: add() finds an existing identifier or appends a new one.
    const std::size_t known = index_->size();
    const std::uint32_t pos = index_->add(std::move(id));
    if (pos < known) {
        rows[pos] = std::move(signal);
        state_->growing.reset();
    } else {
        rows.push_back(std::move(signal));
        detail::grow_columns(*this, pos, generation);
    }
}

const UsefulSignal* SignalPool::find(std::string_view id) const {
    const auto pos = index_->find(id);
    return pos ? &rows()[*pos] : nullptr;
}

UsefulSignal* SignalPool::find(std::string_view id) {
    const auto pos = index_->find(id);
    return pos ? &rows_to_change()[*pos] : nullptr;
}

// The rows of a pool born column-wise, made once from its columns. Each signal's metadata gets
// its keys in the order the signal had them, and is watched from the start.
void SignalPool::make_rows() const {
    State& st = *state_;
    std::shared_ptr<const detail::BornColumns> born_columns;
    {
        const std::lock_guard lock(st.mutex);
        if (rows_ready_.load(std::memory_order_acquire)) return;
        born_columns = st.born;
    }
    // Deferred columns are made first, without the lock: reading one may wait for another lock.
    std::vector<detail::ColumnPtr> columns(born_columns->names.size());
    for (std::size_t f = 0; f < columns.size(); ++f) columns[f] = born_columns->column(f);
    const std::lock_guard lock(st.mutex);
    if (rows_ready_.load(std::memory_order_acquire)) return;
    const detail::BornColumns& born = *born_columns;
    const std::size_t n = size();
    std::vector<Value> keys;
    keys.reserve(born.names.size());
    for (const std::string& name : born.names) keys.emplace_back(name);
    const detail::Shapes* shapes = born.shapes.get();

    std::vector<UsefulSignal> rows;
    rows.reserve(n);
    std::vector<std::uint32_t> order;
    for (std::size_t pos = 0; pos < n; ++pos) {
        const std::vector<std::uint32_t>* fields = nullptr;
        if (shapes != nullptr) {
            fields = &shapes->orders[shapes->of.empty() ? 0 : shapes->of[pos]];
        } else {
            order.clear();
            for (std::uint32_t f = 0; f < columns.size(); ++f) {
                if (columns[f]->holds(pos)) order.push_back(f);
            }
            fields = &order;
        }
        Dict metadata;
        for (const std::uint32_t f : *fields) metadata.set(keys[f], columns[f]->value_at(pos));
        UsefulSignal signal = UsefulSignal::make(std::move(metadata));
        signal.metadata->watch();
        rows.push_back(std::move(signal));
    }
    signals_ = std::move(rows);
    st.dicts_watched = true;
    st.horizon = Dict::watched_changes();
    rows_ready_.store(true, std::memory_order_release);
}

void SignalPool::build_columns(const std::vector<std::string>& fields) const {
    if (fields.empty()) return;
    std::vector<std::string_view> rest(fields.begin() + 1, fields.end());
    detail::pool_column(*this, fields.front(), /*build=*/true, rest);
}

void SignalPool::drop_columns() const {
    (void)rows();
    State& st = *state_;
    const std::lock_guard lock(st.mutex);
    st.columns.clear();
    st.born.reset();
    st.growing.reset();
    st.dicts_watched = false;
}

SignalPool SignalPool::Access::born(std::shared_ptr<KeyIndex> index, std::shared_ptr<const detail::BornColumns> columns,
                                    std::shared_ptr<const detail::SortedIds> id_order) {
    SignalPool pool;
    pool.index_ = std::move(index);
    const bool none = pool.index_->size() == 0;
    pool.rows_ready_.store(none, std::memory_order_relaxed);
    pool.state_->born = std::move(columns);
    if (id_order) {
        pool.state_->id_order_index = pool.index_.get();
        pool.state_->id_order_size = pool.index_->size();
        pool.state_->id_order = std::move(id_order);
    }
    return pool;
}

SignalPool pool_from_value(const runtime::Value& signals, std::string_view where) {
    if (!signals.is_dict()) {
        throw runtime::ValueError(std::string(where) + ": expected an object mapping signal ids to metadata objects, got " +
                                  runtime::type_name(signals));
    }
    const runtime::Dict& entries = signals.as_dict();
    SignalPool pool;
    pool.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Value& id = entries.key(i);
        Value metadata = entries.value(i);
        if (!id.is_str()) {
            throw runtime::ValueError(std::string(where) + ": signal ids must be strings, got " + runtime::type_name(id));
        }
        if (!metadata.is_dict()) {
            throw runtime::ValueError(std::string(where) + ": signal " + runtime::repr(id) +
                                      ": metadata must be an object, got " + runtime::type_name(metadata));
        }
        pool.insert(id.as_str(), UsefulSignal{nullptr, nullptr, metadata.dict_ptr()});
    }
    return pool;
}

}  // namespace brindlecap::functions::filtrations_evaluation
