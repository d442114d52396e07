#include <string_view>
#include <unordered_set>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using detail::ColumnBuilder;

struct ColumnarPoolBuilder::State {
    std::shared_ptr<KeyIndex> index = std::make_shared<KeyIndex>();
    std::shared_ptr<const detail::SortedIds> id_order;
    std::vector<std::string> names;
    std::vector<detail::ColumnPtr> columns;  // null where deferred
    std::vector<std::shared_ptr<detail::DeferredColumn>> deferred;  // per field, when any is

    // Orders the identifiers (which also finds a repeated one); the hash index waits for the
    // first lookup.
    void seal() {
        auto order = std::make_shared<detail::SortedIds>(detail::sorted_ids_of(*index));
        if (!order->distinct) {
            std::unordered_set<std::string_view> seen;
            index->for_each([&](std::size_t, const std::string& id) {
                if (!seen.insert(id).second) throw runtime::ValueError("signal id " + runtime::repr(std::string_view(id)) + " given twice");
            });
        }
        index->defer_index();
        id_order = std::move(order);
    }

    void check_new(const std::string& field) const {
        for (const std::string& name : names) {
            if (name == field) throw runtime::ValueError("field " + runtime::repr(std::string_view(field)) + " given twice");
        }
    }
};

namespace {

std::string quoted(std::string_view s) { return runtime::repr(s); }

}  // namespace

ColumnarPoolBuilder::ColumnarPoolBuilder(std::vector<std::string> ids) : state_(std::make_unique<State>()) {
    for (std::string& id : ids) state_->index->append(std::move(id));
    state_->seal();
}

ColumnarPoolBuilder::ColumnarPoolBuilder(std::span<const std::string_view> ids) : state_(std::make_unique<State>()) {
    for (const std::string_view id : ids) state_->index->append(id);
    state_->seal();
}

ColumnarPoolBuilder::ColumnarPoolBuilder(std::shared_ptr<KeyIndex> index) : state_(std::make_unique<State>()) {
    state_->index = std::move(index);
}

ColumnarPoolBuilder::~ColumnarPoolBuilder() = default;
ColumnarPoolBuilder::ColumnarPoolBuilder(ColumnarPoolBuilder&&) noexcept = default;
ColumnarPoolBuilder& ColumnarPoolBuilder::operator=(ColumnarPoolBuilder&&) noexcept = default;

std::size_t ColumnarPoolBuilder::size() const noexcept { return state_ ? state_->index->size() : 0; }

const std::string& ColumnarPoolBuilder::id(std::size_t pos) const { return state_->index->id(pos); }

// Checks the field name and the sizes, then fill(builder) makes the column.
template <class Fill>
void ColumnarPoolBuilder::add_column(std::string field, std::size_t count, std::span<const std::uint8_t> present,
                                     Fill&& fill) {
    State& st = *state_;
    const std::size_t n = st.index->size();
    st.check_new(field);
    if (count != n) {
        throw runtime::ValueError("field " + quoted(field) + ": " + std::to_string(count) + " values for " +
                                  std::to_string(n) + " signals");
    }
    if (!present.empty() && present.size() != n) {
        throw runtime::ValueError("field " + quoted(field) + ": " + std::to_string(present.size()) +
                                  " presence flags for " + std::to_string(n) + " signals");
    }
    ColumnBuilder builder(/*keep_values=*/true);
    fill(builder);
    st.columns.push_back(std::make_shared<const detail::Column>(std::move(builder).finish(n)));
    if (!st.deferred.empty()) st.deferred.emplace_back();
    st.names.push_back(std::move(field));
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_deferred(std::string field, std::shared_ptr<DeferredField> values) {
    State& st = *state_;
    st.check_new(field);
    auto deferred = std::make_shared<detail::DeferredColumn>();
    deferred->source = std::move(values);
    deferred->index = st.index;
    st.deferred.resize(st.columns.size());
    st.deferred.push_back(std::move(deferred));
    st.columns.emplace_back();
    st.names.push_back(std::move(field));
    return *this;
}

namespace {

// Feeds every held position to add(builder, pos), with room for all once the kind is known.
template <class Add>
void add_each(ColumnBuilder& b, std::size_t n, std::span<const std::uint8_t> present, Add&& add,
              double items_per_position = 0.0) {
    bool reserved = false;
    for (std::size_t pos = 0; pos < n; ++pos) {
        if (!present.empty() && present[pos] == 0) continue;
        add(b, pos);
        if (!reserved) {
            b.reserve(n, items_per_position);
            reserved = true;
        }
    }
}

}  // namespace

ColumnarPoolBuilder& ColumnarPoolBuilder::add_float64(std::string field, std::span<const double> values,
                                                      std::span<const std::uint8_t> present) {
    add_column(std::move(field), values.size(), present, [&](ColumnBuilder& b) { b.set_numbers(values, present); });
    return *this;
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_int64(std::string field, std::span<const std::int64_t> values,
                                                    std::span<const std::uint8_t> present) {
    add_column(std::move(field), values.size(), present, [&](ColumnBuilder& b) { b.set_ints(values, present); });
    return *this;
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_bool(std::string field, std::span<const std::uint8_t> values,
                                                   std::span<const std::uint8_t> present) {
    add_column(std::move(field), values.size(), present, [&](ColumnBuilder& b) { b.set_bools(values, present); });
    return *this;
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_strings(std::string field, std::span<const std::string_view> values,
                                                      std::span<const std::uint8_t> present) {
    add_column(std::move(field), values.size(), present, [&](ColumnBuilder& b) {
        add_each(b, values.size(), present, [&](ColumnBuilder& c, std::size_t pos) { c.add_str(pos, values[pos]); });
    });
    return *this;
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_categorical(std::string field, std::span<const std::int32_t> codes,
                                                          const std::vector<std::string>& categories) {
    return add_codes(std::move(field), codes, categories);
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_categorical(std::string field, std::span<const std::int16_t> codes,
                                                          const std::vector<std::string>& categories) {
    return add_codes(std::move(field), codes, categories);
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_categorical(std::string field, std::span<const std::int8_t> codes,
                                                          const std::vector<std::string>& categories) {
    return add_codes(std::move(field), codes, categories);
}

template <class Code>
ColumnarPoolBuilder& ColumnarPoolBuilder::add_codes(std::string field, std::span<const Code> codes,
                                                    const std::vector<std::string>& categories) {
    for (const Code code : codes) {
        if (code >= 0 && static_cast<std::size_t>(code) >= categories.size()) {
            throw runtime::ValueError("field " + quoted(field) + ": code " + std::to_string(code) + " past the " +
                                      std::to_string(categories.size()) + " categories");
        }
    }
    std::vector<runtime::StrPtr> strings;
    strings.reserve(categories.size());
    for (const std::string& c : categories) strings.push_back(std::make_shared<const std::string>(c));
    add_column(std::move(field), codes.size(), {}, [&](ColumnBuilder& b) { b.set_codes(codes, strings); });
    return *this;
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_string_lists(std::string field, std::span<const std::uint64_t> offsets,
                                                           std::span<const std::string_view> items,
                                                           std::span<const std::uint8_t> present) {
    const std::size_t n = size();
    bool ok = offsets.size() == n + 1 && offsets.back() == items.size();
    for (std::size_t i = 0; ok && i < n; ++i) ok = offsets[i] <= offsets[i + 1];
    if (!ok) {
        throw runtime::ValueError("field " + quoted(field) + ": offsets must be " + std::to_string(n + 1) +
                                  " ascending entries ending at " + std::to_string(items.size()));
    }
    const double per_position = n > 0 ? static_cast<double>(items.size()) / static_cast<double>(n) : 0.0;
    add_column(std::move(field), n, present, [&](ColumnBuilder& b) {
        add_each(
            b, n, present,
            [&](ColumnBuilder& c, std::size_t pos) {
                c.begin_list(pos);
                for (std::uint64_t i = offsets[pos]; i < offsets[pos + 1]; ++i) c.add_list_item(items[i]);
                c.end_list();
            },
            per_position);
    });
    return *this;
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_values(std::string field, std::span<const runtime::Value> values,
                                                     std::span<const std::uint8_t> present) {
    add_column(std::move(field), values.size(), present, [&](ColumnBuilder& b) {
        add_each(b, values.size(), present, [&](ColumnBuilder& c, std::size_t pos) { c.add(pos, values[pos]); });
    });
    return *this;
}

SignalPool ColumnarPoolBuilder::build() && {
    auto born = std::make_shared<detail::BornColumns>();
    born->names = std::move(state_->names);
    born->columns = std::move(state_->columns);
    born->deferred = std::move(state_->deferred);
    SignalPool pool = detail::PoolAccess::born(std::move(state_->index), std::move(born), std::move(state_->id_order));
    state_ = std::make_unique<State>();
    return pool;
}

SignalPool DeferredField::read_alone(std::shared_ptr<KeyIndex> ids) {
    ColumnarPoolBuilder b(std::move(ids));
    read(b);
    return std::move(b).build();
}

namespace detail {

ColumnPtr DeferredColumn::get() {
    if (ready.load(std::memory_order_acquire)) return column;
    source->exclusive([&] {
        if (ready.load(std::memory_order_acquire)) return;
        const SignalPool alone = source->read_alone(index);
        const BornColumns& born = *PoolAccess::state(alone).born;
        if (born.columns.size() != 1 || !born.columns.front()) {
            throw runtime::ValueError("a deferred field gave " + std::to_string(born.columns.size()) + " columns, not one");
        }
        column = born.columns.front();
        ready.store(true, std::memory_order_release);
    });
    return column;
}

}  // namespace detail

}  // namespace brindlecap::functions::filtrations_evaluation
