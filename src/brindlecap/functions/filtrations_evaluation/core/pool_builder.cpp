#include <utility>

#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using detail::ColumnBuilder;

struct ColumnarPoolBuilder::State {
    std::shared_ptr<KeyIndex> index = std::make_shared<KeyIndex>();
    std::vector<std::string> names;
    std::vector<detail::ColumnPtr> columns;
};

namespace {

std::string quoted(std::string_view s) { return runtime::repr(s); }

}  // namespace

ColumnarPoolBuilder::ColumnarPoolBuilder(std::vector<std::string> ids) : state_(std::make_unique<State>()) {
    KeyIndex& index = *state_->index;
    index.reserve(ids.size());
    for (std::string& id : ids) {
        const std::size_t before = index.size();
        std::string copy = id;
        index.add(std::move(id));
        if (index.size() == before) throw runtime::ValueError("signal id " + quoted(copy) + " given twice");
    }
}

ColumnarPoolBuilder::~ColumnarPoolBuilder() = default;
ColumnarPoolBuilder::ColumnarPoolBuilder(ColumnarPoolBuilder&&) noexcept = default;
ColumnarPoolBuilder& ColumnarPoolBuilder::operator=(ColumnarPoolBuilder&&) noexcept = default;

std::size_t ColumnarPoolBuilder::size() const noexcept { return state_ ? state_->index->size() : 0; }

// Checks the field name and the sizes, then feeds every held position to add(builder, pos).
template <class Add>
void ColumnarPoolBuilder::add_column(std::string field, std::size_t count, std::span<const std::uint8_t> present,
                                     Add&& add) {
    State& st = *state_;
    {
        const std::size_t n = st.index->size();
        for (const std::string& name : st.names) {
            if (name == field) throw runtime::ValueError("field " + quoted(field) + " given twice");
        }
        if (count != n) {
            throw runtime::ValueError("field " + quoted(field) + ": " + std::to_string(count) + " values for " +
                                      std::to_string(n) + " signals");
        }
        if (!present.empty() && present.size() != n) {
            throw runtime::ValueError("field " + quoted(field) + ": " + std::to_string(present.size()) +
                                      " presence flags for " + std::to_string(n) + " signals");
        }
        ColumnBuilder builder(/*keep_values=*/true);
        for (std::size_t pos = 0; pos < n; ++pos) {
            if (present.empty() || present[pos] != 0) add(builder, pos);
        }
        st.columns.push_back(std::make_shared<const detail::Column>(std::move(builder).finish(n)));
        st.names.push_back(std::move(field));
    }
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_float64(std::string field, std::span<const double> values,
                                                      std::span<const std::uint8_t> present) {
    add_column(std::move(field), values.size(), present,
                     [&](ColumnBuilder& b, std::size_t pos) { b.add_number(pos, values[pos]); });
    return *this;
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_int64(std::string field, std::span<const std::int64_t> values,
                                                    std::span<const std::uint8_t> present) {
    add_column(std::move(field), values.size(), present,
                     [&](ColumnBuilder& b, std::size_t pos) { b.add_int(pos, values[pos]); });
    return *this;
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_bool(std::string field, std::span<const std::uint8_t> values,
                                                   std::span<const std::uint8_t> present) {
    add_column(std::move(field), values.size(), present,
                     [&](ColumnBuilder& b, std::size_t pos) { b.add_bool(pos, values[pos] != 0); });
    return *this;
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_strings(std::string field, std::span<const std::string_view> values,
                                                      std::span<const std::uint8_t> present) {
    add_column(std::move(field), values.size(), present,
                     [&](ColumnBuilder& b, std::size_t pos) { b.add_str(pos, values[pos]); });
    return *this;
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_categorical(std::string field, std::span<const std::int32_t> codes,
                                                          const std::vector<std::string>& categories) {
    std::vector<runtime::Value> strings(categories.begin(), categories.end());
    std::vector<std::uint8_t> present(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (codes[i] >= 0 && static_cast<std::size_t>(codes[i]) >= categories.size()) {
            throw runtime::ValueError("field " + quoted(field) + ": code " + std::to_string(codes[i]) + " past the " +
                                      std::to_string(categories.size()) + " categories");
        }
        present[i] = codes[i] >= 0;
    }
    add_column(std::move(field), codes.size(), present,
                     [&](ColumnBuilder& b, std::size_t pos) { b.add(pos, strings[static_cast<std::size_t>(codes[pos])]); });
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
    add_column(std::move(field), n, present, [&](ColumnBuilder& b, std::size_t pos) {
        b.begin_list(pos);
        for (std::uint64_t i = offsets[pos]; i < offsets[pos + 1]; ++i) b.add_list_item(items[i]);
        b.end_list();
    });
    return *this;
}

ColumnarPoolBuilder& ColumnarPoolBuilder::add_values(std::string field, std::span<const runtime::Value> values,
                                                     std::span<const std::uint8_t> present) {
    add_column(std::move(field), values.size(), present,
                     [&](ColumnBuilder& b, std::size_t pos) { b.add(pos, values[pos]); });
    return *this;
}

SignalPool ColumnarPoolBuilder::build() && {
    auto born = std::make_shared<detail::BornColumns>();
    born->names = std::move(state_->names);
    born->columns = std::move(state_->columns);
    SignalPool pool = detail::PoolAccess::born(std::move(state_->index), std::move(born));
    state_ = std::make_unique<State>();
    return pool;
}

}  // namespace brindlecap::functions::filtrations_evaluation
