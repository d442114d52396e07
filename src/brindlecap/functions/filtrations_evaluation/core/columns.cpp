#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "brindlecap/runtime/huge_pages.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using runtime::Dict;
using runtime::Value;

namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

template <class T, class A>
std::size_t capacity_bytes(const std::vector<T, A>& v) {
    return v.capacity() * sizeof(T);
}

void grow_bits(Bits& bits, std::size_t pos) {
    if (bits.size() <= pos >> 6) bits.resize(std::max<std::size_t>(2 * bits.size(), (pos >> 6) + 1), 0);
}

}  // namespace

// ---- Column ---------------------------------------------------------------------------------

Value Column::value_at(std::size_t pos) const {
    switch (kind) {
        case ColumnKind::number:
            // While a column is being built, `ints` ends at the last int added.
            if ((pos >> 6) < ints.size() && bit(ints, pos)) return Value(static_cast<std::int64_t>(numbers[pos]));
            return Value(numbers[pos]);
        case ColumnKind::integer:
            return Value(integers[pos]);
        case ColumnKind::boolean:
            return Value(bit(bools, pos));
        case ColumnKind::str:
            return Value(strings[codes[pos]]);
        case ColumnKind::str_list: {
            runtime::List items;
            items.reserve(offsets[pos + 1] - offsets[pos]);
            for (std::uint32_t i = offsets[pos]; i < offsets[pos + 1]; ++i) items.emplace_back(strings[codes[i]]);
            return Value::list(std::move(items));
        }
        case ColumnKind::values:
            return values[pos];
        case ColumnKind::rows:
            break;
    }
    throw std::logic_error("a rows column holds no values");
}

std::size_t Column::bytes() const noexcept {
    std::size_t n = capacity_bytes(present) + capacity_bytes(numbers) + capacity_bytes(ints) +
                    capacity_bytes(integers) + capacity_bytes(bools) + capacity_bytes(codes) +
                    capacity_bytes(offsets) + capacity_bytes(masks) + capacity_bytes(strings) +
                    capacity_bytes(values);
    for (const auto& s : strings) n += sizeof(std::string) + (s->capacity() > 15 ? s->capacity() + 1 : 0);
    return n;
}

// ---- ColumnBuilder --------------------------------------------------------------------------

namespace {
bool generic(ColumnKind kind) { return kind == ColumnKind::values || kind == ColumnKind::rows; }
}  // namespace

// Records pos as held and settles the kind: the column stays (or becomes) `kind`, or turns
// generic (values / rows) when the value does not fit its typed arrays.
void ColumnBuilder::start(std::size_t pos, ColumnKind kind) {
    const std::size_t before = next_;
    next_ = pos + 1;
    if (empty_ && pos == 0) {
        dense_ = 1;
    } else {
        write_dense();
        grow_bits(col_.present, pos);
        set_bit(col_.present, pos);
    }
    ++col_.present_count;
    if (generic(kind)) kind = keep_values_ ? ColumnKind::values : ColumnKind::rows;
    if (empty_) {
        empty_ = false;
        col_.first = static_cast<std::uint32_t>(pos);
        col_.kind = kind;
        if (kind == ColumnKind::str_list) col_.offsets.push_back(0);
        return;
    }
    if (col_.kind == kind || generic(col_.kind)) return;
    to_values(before);
}

// Turns the typed arrays, settled for the positions before `before`, into Values.
void ColumnBuilder::to_values(std::size_t before) {
    Column& c = col_;
    if (keep_values_) {
        runtime::LargeVector<Value> values(before);
        for (std::size_t p = 0; p < before; ++p) {
            if (bit(c.present, p)) values[p] = c.value_at(p);
        }
        c.values = std::move(values);
    }
    c.kind = keep_values_ ? ColumnKind::values : ColumnKind::rows;
    c.numbers = {};
    c.ints = {};
    c.integers = {};
    c.bools = {};
    c.codes = {};
    c.offsets = {};
    c.strings = {};
    dictionary_ = {};
    seen_str_.fill(nullptr);
    guess_.fill(0);
}

void ColumnBuilder::to_integer() {
    // Only ints so far, each exact as a double.
    write_dense();
    Column& c = col_;
    c.integers.resize(c.numbers.size(), 0);
    for (std::size_t p = 0; p < c.numbers.size(); ++p) {
        if (bit(c.present, p)) c.integers[p] = static_cast<std::int64_t>(c.numbers[p]);
    }
    c.numbers = {};
    c.ints = {};
    c.kind = ColumnKind::integer;
}

void ColumnBuilder::add_generic(std::size_t pos, Value v) {
    if (empty_) col_.first_value = v;
    start(pos, ColumnKind::values);
    if (keep_values_) {
        col_.values.resize(pos);
        col_.values.push_back(std::move(v));
    }
}

void ColumnBuilder::write_dense() {
    if (dense_ == 0) return;
    col_.present.assign(word_count(dense_), ~std::uint64_t{0});
    col_.present.back() = word_mask(dense_, col_.present.size() - 1);
    dense_ = 0;
}

void ColumnBuilder::hold_sparse(std::size_t pos) {
    write_dense();
    grow_bits(col_.present, pos);
    set_bit(col_.present, pos);
    ++col_.present_count;
}

void ColumnBuilder::add_number_slowly(std::size_t pos, double d) {
    if (!empty_ && col_.kind != ColumnKind::number) return add_generic(pos, Value(d));
    if (empty_) col_.first_value = Value(d);
    start(pos, ColumnKind::number);
    col_.numbers.resize(pos, NOT_A_NUMBER);
    col_.numbers.push_back(d);
}

void ColumnBuilder::add_int_slowly(std::size_t pos, std::int64_t i) {
    const bool exact = exact_as_double(i);
    if (exact && col_.kind == ColumnKind::number && !empty_ && pos == col_.numbers.size()) {
        hold(pos);
        col_.numbers.push_back(static_cast<double>(i));
        grow_bits(col_.ints, pos);
        set_bit(col_.ints, pos);
        return;
    }
    if (!empty_ && col_.kind == ColumnKind::number && !exact) {
        // A big int is exact only as int64, which can hold the column when all of it is ints.
        std::size_t int_count = 0;
        for (const std::uint64_t w : col_.ints) int_count += static_cast<std::size_t>(std::popcount(w));
        if (int_count == col_.present_count) to_integer();
    }
    const ColumnKind kind = !empty_ && col_.kind == ColumnKind::integer ? ColumnKind::integer
                            : exact                                    ? ColumnKind::number
                                                                       : ColumnKind::integer;
    if (!empty_ && col_.kind != kind) return add_generic(pos, Value(i));
    if (empty_) col_.first_value = Value(i);
    start(pos, kind);
    if (kind == ColumnKind::integer) {
        col_.integers.resize(pos, 0);
        col_.integers.push_back(i);
        return;
    }
    col_.numbers.resize(pos, NOT_A_NUMBER);
    col_.numbers.push_back(static_cast<double>(i));
    grow_bits(col_.ints, pos);
    set_bit(col_.ints, pos);
}

void ColumnBuilder::add_bool(std::size_t pos, bool b) {
    if (col_.kind == ColumnKind::boolean && !empty_ && pos >= next_) {
        hold(pos);
        grow_bits(col_.bools, pos);
        if (b) set_bit(col_.bools, pos);
        return;
    }
    if (!empty_ && col_.kind != ColumnKind::boolean) return add_generic(pos, Value(b));
    if (empty_) col_.first_value = Value(b);
    start(pos, ColumnKind::boolean);
    grow_bits(col_.bools, pos);
    if (b) set_bit(col_.bools, pos);
}

std::uint32_t ColumnBuilder::find_code(std::string_view s) const {
    // A few strings (categories, families) are found faster by their length and first bytes,
    // kept beside the strings (longer ones compared in full), than by hashing them all.
    if (col_.strings.size() <= SMALL_DICTIONARY) {
        const std::uint64_t head = head_of(s);
        const std::uint64_t tail = tail_of(s);
        for (std::size_t slot = guess_slot(head, s.size());; slot = (slot + 1) % guess_.size()) {
            const unsigned guess = guess_[slot];
            if (guess == 0) return NO_CODE;
            const unsigned code = guess - 1;
            if (heads_[code] == head && tails_[code] == tail && sizes_[code] == s.size() &&
                (s.size() <= 16 || same_text(*col_.strings[code], s))) {
                return code;
            }
        }
    }
    const auto it = dictionary_.find(s);
    return it != dictionary_.end() ? it->second : NO_CODE;
}

void ColumnBuilder::new_string(std::uint32_t code) {
    const std::string_view s = *col_.strings[code];
    dictionary_.emplace(s, code);
    if (code < SMALL_DICTIONARY) {
        heads_[code] = head_of(s);
        tails_[code] = tail_of(s);
        sizes_[code] = s.size();
        std::size_t slot = guess_slot(heads_[code], s.size());
        while (guess_[slot] != 0) slot = (slot + 1) % guess_.size();
        guess_[slot] = static_cast<std::uint8_t>(code + 1);
    }
}

std::uint32_t ColumnBuilder::code_of(std::string_view s) {
    if (const std::uint32_t code = find_code(s); code != NO_CODE) return code;
    const auto code = static_cast<std::uint32_t>(col_.strings.size());
    col_.strings.push_back(std::make_shared<const std::string>(s));
    new_string(code);
    return code;
}

std::uint32_t ColumnBuilder::code_of(const runtime::StrPtr& s) {
    // A string object seen before (strings shared between signals) skips the lookup.
    const std::size_t slot = (reinterpret_cast<std::uintptr_t>(s.get()) >> 5) % SEEN_STRINGS;
    if (seen_str_[slot] == s.get()) return seen_code_[slot];
    std::uint32_t code = find_code(*s);
    if (code == NO_CODE) {
        code = static_cast<std::uint32_t>(col_.strings.size());
        col_.strings.push_back(s);
        new_string(code);
    }
    seen_str_[slot] = s.get();
    seen_code_[slot] = code;
    return code;
}

void ColumnBuilder::add_str(std::size_t pos, std::string_view s) {
    if (col_.kind == ColumnKind::str && !empty_ && pos == col_.codes.size()) {
        hold(pos);
        col_.codes.push_back(code_of(s));
        return;
    }
    if (!empty_ && col_.kind != ColumnKind::str) return add_generic(pos, Value(s));
    const bool first = empty_;
    start(pos, ColumnKind::str);
    col_.codes.resize(pos, 0);
    col_.codes.push_back(code_of(s));
    if (first) col_.first_value = Value(col_.strings[col_.codes.back()]);
}

std::size_t ColumnBuilder::set_presence(std::size_t size, std::span<const std::uint8_t> present, ColumnKind kind) {
    if (!empty_) throw std::logic_error("ColumnBuilder: a whole column goes into an empty builder");
    Column& c = col_;
    c.present.assign(word_count(size), 0);
    if (present.empty()) {
        if (size > 0) {
            std::fill(c.present.begin(), c.present.end(), ~std::uint64_t{0});
            c.present.back() = word_mask(size, c.present.size() - 1);
        }
        c.present_count = size;
    } else {
        for (std::size_t w = 0; w < c.present.size(); ++w) {
            std::uint64_t bits = 0;
            const std::size_t end = std::min(size, w * 64 + 64);
            for (std::size_t p = w * 64; p < end; ++p) bits |= static_cast<std::uint64_t>(present[p] != 0) << (p & 63);
            c.present[w] = bits;
            c.present_count += static_cast<std::size_t>(std::popcount(bits));
        }
    }
    next_ = size;
    std::size_t first = size;
    for (std::size_t w = 0; w < c.present.size(); ++w) {
        if (c.present[w] != 0) {
            first = w * 64 + static_cast<std::size_t>(std::countr_zero(c.present[w]));
            break;
        }
    }
    if (first == size) return size;
    empty_ = false;
    c.kind = kind;
    c.first = static_cast<std::uint32_t>(first);
    return first;
}

void ColumnBuilder::set_numbers(std::span<const double> values, std::span<const std::uint8_t> present) {
    const std::size_t n = values.size();
    const std::size_t first = set_presence(n, present, ColumnKind::number);
    if (first == n) return;
    col_.first_value = Value(values[first]);
    col_.numbers.assign(values.begin(), values.end());
    if (!present.empty()) {
        for (std::size_t p = 0; p < n; ++p) {
            if (present[p] == 0) col_.numbers[p] = NOT_A_NUMBER;
        }
    }
}

void ColumnBuilder::set_ints(std::span<const std::int64_t> values, std::span<const std::uint8_t> present) {
    const std::size_t n = values.size();
    bool exact = true;
    for (std::size_t p = 0; p < n; ++p) exact = exact && ((!present.empty() && present[p] == 0) || exact_as_double(values[p]));
    const std::size_t first = set_presence(n, present, exact ? ColumnKind::number : ColumnKind::integer);
    if (first == n) return;
    col_.first_value = Value(values[first]);
    if (!exact) {
        col_.integers.assign(values.begin(), values.end());
        if (!present.empty()) {
            for (std::size_t p = 0; p < n; ++p) {
                if (present[p] == 0) col_.integers[p] = 0;
            }
        }
        return;
    }
    col_.numbers.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        col_.numbers[p] = present.empty() || present[p] != 0 ? static_cast<double>(values[p]) : NOT_A_NUMBER;
    }
    col_.ints = col_.present;
}

void ColumnBuilder::set_bools(std::span<const std::uint8_t> values, std::span<const std::uint8_t> present) {
    const std::size_t n = values.size();
    const std::size_t first = set_presence(n, present, ColumnKind::boolean);
    if (first == n) return;
    col_.first_value = Value(values[first] != 0);
    col_.bools.assign(word_count(n), 0);
    for (std::size_t w = 0; w < col_.bools.size(); ++w) {
        std::uint64_t bits = 0;
        const std::size_t end = std::min(n, w * 64 + 64);
        for (std::size_t p = w * 64; p < end; ++p) bits |= static_cast<std::uint64_t>(values[p] != 0) << (p & 63);
        col_.bools[w] = bits & col_.present[w];
    }
}

template <class Code>
void ColumnBuilder::set_codes(std::span<const Code> codes, const std::vector<runtime::StrPtr>& strings) {
    const std::size_t n = codes.size();
    std::vector<std::uint8_t> present(n);
    for (std::size_t p = 0; p < n; ++p) present[p] = codes[p] >= 0;
    const std::size_t first = set_presence(n, present, ColumnKind::str);
    if (first == n) return;
    // Dictionary codes in order of first appearance, equal strings one code.
    std::vector<std::uint32_t> remap(strings.size(), NO_CODE);
    col_.codes.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        const Code given = codes[p];
        if (given < 0) {
            col_.codes[p] = 0;
            continue;
        }
        std::uint32_t& code = remap[static_cast<std::size_t>(given)];
        if (code == NO_CODE) code = code_of(strings[static_cast<std::size_t>(given)]);
        col_.codes[p] = code;
    }
    col_.first_value = Value(col_.strings[col_.codes[first]]);
}

template void ColumnBuilder::set_codes(std::span<const std::int8_t>, const std::vector<runtime::StrPtr>&);
template void ColumnBuilder::set_codes(std::span<const std::int16_t>, const std::vector<runtime::StrPtr>&);
template void ColumnBuilder::set_codes(std::span<const std::int32_t>, const std::vector<runtime::StrPtr>&);

void ColumnBuilder::reserve(std::size_t n, double items_per_position) {
    col_.present.reserve(word_count(n));
    switch (col_.kind) {
        case ColumnKind::number: col_.numbers.reserve(n); break;
        case ColumnKind::integer: col_.integers.reserve(n); break;
        case ColumnKind::boolean: col_.bools.reserve(word_count(n)); break;
        case ColumnKind::str: col_.codes.reserve(n); break;
        case ColumnKind::str_list: {
            col_.offsets.reserve(n + 1);
            // A better estimate may also lower the room: growing would copy the items, and so
            // would giving back the room at the end.
            const auto items = static_cast<std::size_t>(static_cast<double>(n) * items_per_position * 1.05) + 64;
            if (items > col_.codes.capacity() || items < col_.codes.capacity() - col_.codes.capacity() / 8) {
                runtime::LargeVector<std::uint32_t> room;
                room.reserve(std::max(items, col_.codes.size()));
                room.assign(col_.codes.begin(), col_.codes.end());
                col_.codes.swap(room);
            }
            break;
        }
        case ColumnKind::values: col_.values.reserve(n); break;
        case ColumnKind::rows: break;
    }
}

void ColumnBuilder::begin_list(std::size_t pos) {
    list_items_.clear();
    list_pos_ = pos;
}

void ColumnBuilder::add_list_item(std::string_view s) { list_items_.push_back(s); }

void ColumnBuilder::end_list() {
    const std::size_t pos = list_pos_;
    // The common case: a list column, held at the position before.
    if (col_.kind == ColumnKind::str_list && !empty_ && col_.offsets.size() == pos + 1) {
        hold(pos);
        for (const auto s : list_items_) col_.codes.push_back(code_of(s));
        if (col_.codes.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("list column too long");
        col_.offsets.push_back(static_cast<std::uint32_t>(col_.codes.size()));
        return;
    }
    if (!empty_ && col_.kind != ColumnKind::str_list) {
        runtime::List items;
        items.reserve(list_items_.size());
        for (const auto s : list_items_) items.emplace_back(s);
        return add_generic(pos, Value::list(std::move(items)));
    }
    const bool first = empty_;
    start(pos, ColumnKind::str_list);
    col_.offsets.resize(pos + 1, static_cast<std::uint32_t>(col_.codes.size()));
    for (const auto s : list_items_) col_.codes.push_back(code_of(s));
    if (col_.codes.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("list column too long");
    col_.offsets.push_back(static_cast<std::uint32_t>(col_.codes.size()));
    if (first) col_.first_value = col_.value_at(pos);
}

void ColumnBuilder::add(std::size_t pos, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::floating:
            return add_number(pos, v.as_float());
        case Value::Kind::integer:
            return add_int(pos, v.as_int());
        case Value::Kind::boolean:
            return add_bool(pos, v.as_bool());
        case Value::Kind::str: {
            if (!empty_ && col_.kind != ColumnKind::str) return add_generic(pos, v);
            if (empty_) col_.first_value = v;
            start(pos, ColumnKind::str);
            col_.codes.resize(pos, 0);
            col_.codes.push_back(code_of(v.str_ptr()));
            return;
        }
        case Value::Kind::list: {
            const runtime::List& items = v.as_list();
            const bool strings = std::all_of(items.begin(), items.end(), [](const Value& x) { return x.is_str(); });
            if (!strings || (!empty_ && col_.kind != ColumnKind::str_list)) return add_generic(pos, v);
            if (empty_) col_.first_value = v;
            start(pos, ColumnKind::str_list);
            col_.offsets.resize(pos + 1, static_cast<std::uint32_t>(col_.codes.size()));
            for (const Value& x : items) col_.codes.push_back(code_of(x.str_ptr()));
            if (col_.codes.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("list column too long");
            col_.offsets.push_back(static_cast<std::uint32_t>(col_.codes.size()));
            return;
        }
        default:
            return add_generic(pos, v);
    }
}

namespace {

// Gives back the room a vector grew beyond its size (columns built without knowing their size).
template <class T, class A>
void fit(std::vector<T, A>& v) {
    if (v.capacity() > v.size() + v.size() / 8) v.shrink_to_fit();
}

// The mask of each position's codes, as M (wide enough for the dictionary).
template <class M>
void fill_masks(Column& c) {
    c.mask_bytes = sizeof(M);
    c.masks.assign(c.size * sizeof(M), 0);
    std::uint8_t* out = c.masks.data();
    for (std::size_t p = 0; p < c.size; ++p) {
        M m = 0;
        for (std::uint32_t i = c.offsets[p]; i < c.offsets[p + 1]; ++i) m = static_cast<M>(m | (M{1} << c.codes[i]));
        std::memcpy(out + p * sizeof(M), &m, sizeof(M));
    }
}

}  // namespace

Column ColumnBuilder::finish(std::size_t size) && {
    write_dense();
    Column& c = col_;
    c.size = size;
    c.present.resize(word_count(size), 0);
    if (empty_) {
        c.kind = ColumnKind::rows;
        return std::move(c);
    }
    switch (c.kind) {
        case ColumnKind::number:
            c.numbers.resize(size, NOT_A_NUMBER);
            if (!c.ints.empty()) c.ints.resize(word_count(size), 0);
            break;
        case ColumnKind::integer:
            c.integers.resize(size, 0);
            break;
        case ColumnKind::boolean:
            c.bools.resize(word_count(size), 0);
            break;
        case ColumnKind::str:
            c.codes.resize(size, 0);
            break;
        case ColumnKind::str_list:
            c.offsets.resize(size + 1, static_cast<std::uint32_t>(c.codes.size()));
            if (c.strings.size() <= 8) {
                fill_masks<std::uint8_t>(c);
            } else if (c.strings.size() <= 16) {
                fill_masks<std::uint16_t>(c);
            } else if (c.strings.size() <= 32) {
                fill_masks<std::uint32_t>(c);
            } else if (c.strings.size() <= 64) {
                fill_masks<std::uint64_t>(c);
            }
            break;
        case ColumnKind::values:
            c.values.resize(size);
            break;
        case ColumnKind::rows:
            break;
    }
    dictionary_ = {};
    fit(c.present);
    fit(c.numbers);
    fit(c.ints);
    fit(c.integers);
    fit(c.bools);
    fit(c.codes);
    fit(c.offsets);
    fit(c.values);
    return std::move(c);
}

// ---- Columns growing with a row pool ------------------------------------------------------------

bool GrowingColumns::add(const Dict& metadata, std::size_t expected) {
    const std::size_t pos = rows;
    if (metadata.layout() != layout || layout == nullptr) {
        layout = metadata.layout();
        field_at.assign(metadata.size(), NO_FIELD);
        for (std::size_t i = 0; i < metadata.size(); ++i) {
            const Value& key = metadata.key(i);
            if (!key.is_str()) continue;
            auto it = field_of.find(key.as_str());
            if (it == field_of.end()) {
                if (names.size() == MAX_FIELDS) return false;
                it = field_of.emplace(key.as_str(), static_cast<std::uint32_t>(names.size())).first;
                names.push_back(key.as_str());
                builders.emplace_back(/*keep_values=*/false);
            }
            field_at[i] = it->second;
        }
    }
    metadata.watch();
    for (std::size_t i = 0; i < field_at.size(); ++i) {
        if (field_at[i] != NO_FIELD) builders[field_at[i]].add(pos, metadata.value(i));
    }
    rows = pos + 1;
    if ((pos == 63 || pos == 4095) && expected > rows) {
        // As the walk does: room for every position once the kinds are known.
        for (ColumnBuilder& b : builders) {
            b.reserve(expected, b.items_per_position() * static_cast<double>(b.present_count()) / static_cast<double>(rows));
        }
    }
    return true;
}

bool GrowingColumns::current(std::size_t size, std::uint64_t pool_generation) const {
    return rows == size && generation == pool_generation && horizon == Dict::watched_changes();
}

std::vector<Column> GrowingColumns::take(const std::vector<std::string_view>& fields, std::size_t size) {
    std::vector<Column> out;
    out.reserve(fields.size());
    for (const std::string_view field : fields) {
        const auto it = field_of.find(field);
        out.push_back(it != field_of.end() ? std::move(builders[it->second]).finish(size)
                                           : ColumnBuilder(/*keep_values=*/false).finish(size));
    }
    return out;
}

void grow_columns(const SignalPool& pool, std::size_t pos, std::uint64_t generation) {
    PoolState& st = PoolAccess::state(pool);
    if (pos == 0) {
        st.growing = std::make_unique<GrowingColumns>();
        st.growing->horizon = Dict::watched_changes();
    } else if (!st.growing || !st.growing->current(pos, generation)) {
        st.growing.reset();
        return;
    }
    GrowingColumns& g = *st.growing;
    const UsefulSignal& signal = PoolAccess::rows(pool)[pos];
    bool kept = false;
    try {
        kept = signal.metadata != nullptr && g.add(*signal.metadata, std::max(st.reserved, pos + 1));
    } catch (const std::exception&) {
        kept = false;  // out of memory, a list column too long: the walk will tell
    }
    if (!kept) {
        st.growing.reset();
        return;
    }
    g.generation = PoolAccess::generation(pool);
    g.horizon = Dict::watched_changes();
}

// ---- The pool's column store ------------------------------------------------------------------

namespace {

// Drops what no longer describes the pool: columns of an earlier generation, and everything
// built from rows whose metadata changed since (watched dicts). Called with the state locked.
void refresh(const SignalPool& pool, PoolState& st) {
    const std::uint64_t generation = PoolAccess::generation(pool);
    if (st.generation != generation) {
        st.generation = generation;
        st.columns.clear();
        st.dicts_watched = false;
        st.horizon = runtime::Dict::watched_changes();
    }
    if (!PoolAccess::has_rows(pool)) return;
    const std::uint64_t now = runtime::Dict::watched_changes();
    if (now == st.horizon) return;
    if (st.dicts_watched && (!st.columns.empty() || st.born)) {
        for (const UsefulSignal& s : PoolAccess::rows(pool)) {
            if (s.metadata->last_change() > st.horizon) {
                st.columns.clear();
                st.born.reset();
                st.dicts_watched = false;
                break;
            }
        }
    }
    st.horizon = now;
}

// Builds the columns of `names` in one walk over the rows, watching every metadata dict.
// Each value sits several dependent loads away (signal, dict, value array, list, its items,
// their strings): each is fetched in its own stage ahead of the signal being read.
std::vector<Column> columns_from_rows(const std::vector<UsefulSignal>& rows, const std::vector<std::string_view>& names,
                                      bool watch) {
    const std::size_t fields = names.size();
    std::vector<ColumnBuilder> builders(fields, ColumnBuilder(/*keep_values=*/false));
    // Dicts of one key layout hold a field at one position: look it up once per layout.
    std::vector<std::ptrdiff_t> slot(fields, -1);
    const void* layout = nullptr;
    const auto value_ahead = [&](std::size_t pos, std::size_t f) -> const Value* {
        const Dict& d = *rows[pos].metadata;
        const std::ptrdiff_t at = slot[f];
        return at >= 0 && static_cast<std::size_t>(at) < d.size() ? &d.value(static_cast<std::size_t>(at)) : nullptr;
    };
    constexpr std::size_t STAGE = 16;
    const std::size_t n = rows.size();
    for (std::size_t pos = 0; pos < n; ++pos) {
        if (pos + 5 * STAGE < n) __builtin_prefetch(rows[pos + 5 * STAGE].metadata.get());
        if (pos + 4 * STAGE < n) {
            const Dict& d = *rows[pos + 4 * STAGE].metadata;
            for (std::size_t f = 0; f < fields; ++f) {
                if (slot[f] >= 0 && static_cast<std::size_t>(slot[f]) < d.size()) {
                    __builtin_prefetch(&d.value(static_cast<std::size_t>(slot[f])));
                }
            }
        }
        if (pos + 3 * STAGE < n) {
            for (std::size_t f = 0; f < fields; ++f) {
                if (const Value* v = value_ahead(pos + 3 * STAGE, f)) {
                    if (v->is_list()) __builtin_prefetch(&v->as_list());
                    else if (v->is_str()) __builtin_prefetch(v->str_ptr().get());
                }
            }
        }
        if (pos + 2 * STAGE < n) {
            for (std::size_t f = 0; f < fields; ++f) {
                const Value* v = value_ahead(pos + 2 * STAGE, f);
                if (v != nullptr && v->is_list() && !v->as_list().empty()) __builtin_prefetch(v->as_list().data());
            }
        }
        if (pos + STAGE < n) {
            for (std::size_t f = 0; f < fields; ++f) {
                const Value* v = value_ahead(pos + STAGE, f);
                if (v == nullptr || !v->is_list()) continue;
                for (const Value& item : v->as_list()) {
                    if (item.is_str()) __builtin_prefetch(item.str_ptr().get());
                }
            }
        }
        const Dict& metadata = *rows[pos].metadata;
        if (watch) metadata.watch();
        if (metadata.layout() != layout || layout == nullptr) {
            layout = metadata.layout();
            for (std::size_t f = 0; f < fields; ++f) slot[f] = metadata.position(names[f]);
        }
        for (std::size_t f = 0; f < fields; ++f) {
            if (slot[f] >= 0) builders[f].add(pos, metadata.value(static_cast<std::size_t>(slot[f])));
        }
        if (pos == 63 || pos == 4095) {
            // The kinds are known by now: room for every position; list items as seen so far,
            // estimated again after more positions (moving what is there costs little then).
            for (ColumnBuilder& b : builders) {
                b.reserve(n, b.items_per_position() * static_cast<double>(b.present_count()) / static_cast<double>(pos + 1));
            }
        }
    }
    std::vector<Column> out;
    out.reserve(fields);
    for (ColumnBuilder& b : builders) out.push_back(std::move(b).finish(n));
    return out;
}

// The pool's identifier order when built for its present key index, else null.
std::shared_ptr<const SortedIds> built_id_order(PoolState& st, const KeyIndexPtr& index) {
    if (st.id_order && st.id_order_index == index.get() && st.id_order_size == index->size()) return st.id_order;
    return nullptr;
}

const ColumnPtr& absent_column() {
    static const auto* column = new ColumnPtr(std::make_shared<const Column>());
    return *column;
}

}  // namespace

ColumnPtr pool_column(const SignalPool& pool, std::string_view field, bool build,
                      const std::vector<std::string_view>& also) {
    PoolState& st = PoolAccess::state(pool);
    std::unique_lock lock(st.mutex);
    refresh(pool, st);
    if (st.born) {
        const std::shared_ptr<const BornColumns> born = st.born;
        lock.unlock();  // a deferred column is made without the pool's lock
        for (std::size_t f = 0; f < born->names.size(); ++f) {
            if (born->names[f] == field) return born->column(f);
        }
        return absent_column();
    }
    if (const auto it = st.columns.find(std::string(field)); it != st.columns.end()) return it->second;
    if (!build) return nullptr;

    std::vector<std::string_view> names{field};
    for (const auto name : also) {
        if (std::find(names.begin(), names.end(), name) == names.end() && !st.columns.contains(std::string(name))) {
            names.push_back(name);
        }
    }
    // Columns grown with the rows, while they still describe them; else a walk over the rows.
    std::unique_ptr<GrowingColumns> grown = std::move(st.growing);
    std::vector<Column> built;
    if (grown && grown->current(pool.size(), PoolAccess::generation(pool))) {
        built = grown->take(names, pool.size());
    } else {
        built = columns_from_rows(PoolAccess::rows(pool), names, !st.dicts_watched);
    }
    grown.reset();
    st.dicts_watched = true;
    for (std::size_t f = 0; f < names.size(); ++f) {
        st.columns[std::string(names[f])] = std::make_shared<const Column>(std::move(built[f]));
    }
    return st.columns.at(std::string(field));
}

std::vector<Value> pool_metadata_keys(const SignalPool& pool) {
    std::vector<Value> names;
    {
        PoolState& st = PoolAccess::state(pool);
        std::unique_lock lock(st.mutex);
        refresh(pool, st);
        if (st.born) {
            const std::shared_ptr<const BornColumns> born = st.born;
            lock.unlock();  // a deferred column is made without the pool's lock
            for (std::size_t f = 0; f < born->names.size(); ++f) {
                if (born->column(f)->first) names.emplace_back(born->names[f]);
            }
            return names;
        }
    }
    std::unordered_set<Value, runtime::ValueHash> seen;
    for (const UsefulSignal& s : PoolAccess::rows(pool)) {
        for (const auto& [key, value] : *s.metadata) {
            if (seen.insert(key).second) names.push_back(key);
        }
    }
    return names;
}

std::size_t column_store_bytes(const SignalPool& pool, const std::vector<std::string>& fields) {
    PoolState& st = PoolAccess::state(pool);
    const std::lock_guard lock(st.mutex);
    std::size_t n = st.id_order ? st.id_order->bytes() : 0;
    if (fields.empty()) {
        for (const auto& [name, column] : st.columns) n += column->bytes();
        return n;
    }
    for (const std::string& field : fields) {
        if (const auto it = st.columns.find(field); it != st.columns.end()) {
            n += it->second->bytes();
        } else if (st.born) {
            for (std::size_t f = 0; f < st.born->names.size(); ++f) {
                if (st.born->names[f] != field) continue;
                if (const ColumnPtr column = st.born->column_if_made(f)) n += column->bytes();
            }
        }
    }
    return n;
}

// ---- Identifier order -----------------------------------------------------------------------

namespace {

// LSD radix sort of 64-bit keys on their low `bits` bits, in passes of at most 12 bits. The
// bits above are left out of every digit (the last digit may be narrower than the others): they
// carry the pool position, which must not take part in the order.
// `buffer` has room for the keys; returns whether the sorted keys ended up in it.
bool radix_sort(runtime::LargeVector<std::uint64_t>& keys, std::uint64_t* buffer, unsigned bits) {
    if (bits == 0) return false;
    const unsigned passes = (bits + 11) / 12;
    const unsigned digit = (bits + passes - 1) / passes;
    const std::uint64_t low = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    const std::uint64_t mask = (std::uint64_t{1} << digit) - 1;
    // Every pass's counts from one read of the keys.
    std::vector<std::size_t> count(static_cast<std::size_t>(passes) << digit, 0);
    for (const std::uint64_t key : keys) {
        const std::uint64_t k = key & low;
        for (unsigned d = 0; d < passes; ++d) ++count[(static_cast<std::size_t>(d) << digit) + ((k >> (d * digit)) & mask)];
    }
    std::uint64_t* from = keys.data();
    std::uint64_t* to = buffer;
    const std::size_t n = keys.size();
    for (unsigned d = 0; d < passes; ++d) {
        std::size_t* c = count.data() + (static_cast<std::size_t>(d) << digit);
        // A digit that is the same in every key moves nothing.
        if (std::find(c, c + mask + 1, n) != c + mask + 1) continue;
        std::size_t sum = 0;
        for (std::size_t b = 0; b <= mask; ++b) sum += std::exchange(c[b], sum);
        const unsigned shift = d * digit;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = from[i];
            to[c[((k & low) >> shift) & mask]++] = k;
        }
        std::swap(from, to);
    }
    return from == buffer;
}

// Bytes of an identifier whose symbols are collected; identifiers that differ only further on
// are ordered by comparing them.
constexpr std::size_t ANALYSED = 64;

// A byte position of the identifiers that takes part in the packed code. Its symbols: 0 for an
// identifier that ends before it, byte + 1 otherwise, coded densely in their order.
struct Place {
    std::uint32_t p = 0;
    unsigned width = 0;
    std::array<std::uint16_t, 257> code{};    // symbol -> dense code
    std::array<std::uint16_t, 257> symbol{};  // dense code -> symbol
};

// Sorts the identifiers at `members` (ascending positions; empty: the whole index) by code
// point. Identifiers are compared by their bytes (unsigned), a shorter one first when it is a
// prefix of the other. Positions where every identifier has the same symbol are left out; the
// others, from the first, are coded densely (order kept) and packed, most significant first, as
// many as fit 64 bits beside the member's index. A radix sort orders the packed codes; when
// they hold every varying position, codes are distinct and the sorted identifiers are decoded
// from them, otherwise runs of equal codes are ordered by comparing their identifiers.
SortedIds sort_ids(const KeyIndex& index, std::span<const std::uint32_t> members) {
    const bool all = members.empty();
    const std::size_t n = all ? index.size() : members.size();
    const auto position = [&](std::size_t j) { return all ? static_cast<std::uint32_t>(j) : members[j]; };
    // f(j, id) for every member j.
    const auto visit = [&](auto&& f) {
        if (all) {
            index.for_each(f);
        } else {
            for (std::size_t j = 0; j < n; ++j) f(j, index.id(members[j]));
        }
    };
    SortedIds out;
    if (n == 0) return out;

    // Lengths, the bytes seen at each of the first ANALYSED positions (plain stores: no
    // dependence from one identifier to the next), whether already sorted.
    std::vector<std::array<std::uint8_t, 256>> seen(ANALYSED);
    for (auto& s : seen) s.fill(0);
    std::size_t total_chars = 0;
    std::size_t shortest = std::numeric_limits<std::size_t>::max();
    std::size_t longest = 0;
    bool ascending = true;
    std::string_view previous;
    visit([&](std::size_t j, const std::string& id) {
        const std::size_t len = id.size();
        total_chars += len;
        shortest = std::min(shortest, len);
        longest = std::max(longest, len);
        if (ascending) {
            ascending = j == 0 || previous < std::string_view(id);
            previous = id;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(id.data());
        const std::size_t m = std::min(len, ANALYSED);
        for (std::size_t p = 0; p < m; ++p) seen[p][bytes[p]] = 1;
    });
    const bool fixed = shortest == longest;
    if (fixed) out.width = longest;
    out.positions.reserve(n);
    // Room for the bytes, and for the sort's keys when they fit in it.
    out.text.resize(std::max((total_chars + 7) / 8, fixed && longest >= 8 ? n : 0));
    char* chars = reinterpret_cast<char*>(out.text.data());
    std::size_t written = 0;
    if (!fixed) {
        out.offsets.reserve(n + 1);
        out.offsets.push_back(0);
    }
    const auto append = [&](std::string_view id) {
        if (!id.empty()) std::memcpy(chars + written, id.data(), id.size());  // chars is null when all ids are empty
        written += id.size();
        if (!fixed) out.offsets.push_back(written);
    };
    if (ascending) {
        for (std::size_t j = 0; j < n; ++j) {
            out.positions.push_back(position(j));
            append(index.id(position(j)));
        }
        return out;
    }

    // The varying positions that fit the code, in order.
    const unsigned index_bits = static_cast<unsigned>(std::bit_width(n - 1));
    const unsigned budget = 64 - index_bits;
    std::vector<Place> places;
    std::vector<char> constant(std::min(longest, ANALYSED), 0);  // the byte of positions that do not vary
    unsigned total = 0;
    bool complete = longest <= ANALYSED;
    for (std::size_t p = 0; p < std::min(longest, ANALYSED); ++p) {
        Place place;
        place.p = static_cast<std::uint32_t>(p);
        std::uint16_t next = 0;
        if (p >= shortest) place.symbol[next++] = 0;  // some identifier ends here
        for (unsigned byte = 0; byte < 256; ++byte) {
            if (seen[p][byte] != 0) {
                place.code[byte + 1] = next;
                place.symbol[next++] = static_cast<std::uint16_t>(byte + 1);
                constant[p] = static_cast<char>(byte);
            }
        }
        if (next < 2) continue;
        place.width = static_cast<unsigned>(std::bit_width(static_cast<unsigned>(next - 1)));
        if (total + place.width > budget) {
            complete = false;
            break;
        }
        total += place.width;
        places.push_back(place);
    }

    // The packed codes in the low `total` bits, the member's index above them.
    runtime::LargeVector<std::uint64_t> keys(n);
    visit([&](std::size_t j, const std::string& id) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(id.data());
        const std::size_t len = id.size();
        std::uint64_t k = 0;
        for (const Place& place : places) {
            const unsigned sym = place.p < len ? bytes[place.p] + 1u : 0u;
            k = (k << place.width) | place.code[sym];
        }
        keys[j] = k | (static_cast<std::uint64_t>(j) << total);
    });
    // Identifiers of one width of 8 bytes or more, all positions coded: the sort works in the room of
    // the bytes, which are then written over the keys (from the last, when the keys ended there:
    // identifier k's bytes never reach a key after k's).
    const bool in_place = complete && fixed && longest >= 8;
    runtime::LargeVector<std::uint64_t> scratch(in_place ? 0 : n);
    std::uint64_t* buffer = in_place ? out.text.data() : scratch.data();
    const bool moved = radix_sort(keys, buffer, total);
    std::uint64_t* sorted = moved ? buffer : keys.data();
    const bool in_text = moved && in_place;
    const std::uint64_t code_mask = total == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << total) - 1;

    if (!complete) {
        // Equal codes: identifiers that agree on the coded positions, ordered by comparing them.
        const auto id_of = [&](std::uint64_t key) -> const std::string& { return index.id(position(key >> total)); };
        for (std::size_t lo = 0; lo < n;) {
            std::size_t hi = lo + 1;
            while (hi < n && ((sorted[hi] ^ sorted[lo]) & code_mask) == 0) ++hi;
            if (hi - lo > 1) {
                std::sort(sorted + lo, sorted + hi, [&](std::uint64_t a, std::uint64_t b) { return id_of(a) < id_of(b); });
                for (std::size_t k = lo + 1; k < hi && out.distinct; ++k) out.distinct = id_of(sorted[k - 1]) != id_of(sorted[k]);
            }
            lo = hi;
        }
        constexpr std::size_t AHEAD = 16;
        for (std::size_t k = 0; k < n; ++k) {
            if (k + AHEAD < n) __builtin_prefetch(&index.id(position(sorted[k + AHEAD] >> total)));
            out.positions.push_back(position(sorted[k] >> total));
            append(index.id(out.positions.back()));
        }
        return out;
    }

    // Every varying position is coded: the identifiers are their codes over the constant bytes,
    // equal codes equal identifiers.
    for (std::size_t k = 1; k < n && out.distinct; ++k) out.distinct = ((sorted[k - 1] ^ sorted[k]) & code_mask) != 0;
    if (fixed) {
        const std::size_t width = out.width;
        out.positions.resize(n);
        const auto decode = [&](std::size_t k) {
            const std::uint64_t key = sorted[k];
            out.positions[k] = position(key >> total);
            char* row = chars + k * width;
            if (width != 0) std::memcpy(row, constant.data(), width);
            std::uint64_t code = key & code_mask;
            for (auto place = places.rbegin(); place != places.rend(); ++place) {
                row[place->p] = static_cast<char>(place->symbol[code & ((std::uint64_t{1} << place->width) - 1)] - 1);
                code >>= place->width;
            }
        };
        if (in_text) {
            for (std::size_t k = n; k-- > 0;) decode(k);
        } else {
            for (std::size_t k = 0; k < n; ++k) decode(k);
        }
        return out;
    }
    std::vector<std::uint16_t> symbols(longest);
    for (std::size_t p = 0; p < longest; ++p) symbols[p] = static_cast<std::uint16_t>(static_cast<unsigned char>(constant[p]) + 1u);
    for (std::size_t k = 0; k < n; ++k) {
        out.positions.push_back(position(sorted[k] >> total));
        std::uint64_t code = sorted[k] & code_mask;
        for (auto place = places.rbegin(); place != places.rend(); ++place) {
            symbols[place->p] = place->symbol[code & ((std::uint64_t{1} << place->width) - 1)];
            code >>= place->width;
        }
        for (std::size_t p = 0; p < longest && symbols[p] != 0; ++p) chars[written++] = static_cast<char>(symbols[p] - 1);
        out.offsets.push_back(written);
    }
    return out;
}

}  // namespace

SortedIds sorted_ids_of(const KeyIndex& index) { return sort_ids(index, {}); }

SortedIds sorted_ids_of(const KeyIndex& index, std::span<const std::uint32_t> positions) {
    if (positions.empty()) return {};
    return sort_ids(index, positions);
}

std::vector<std::uint32_t> id_order(const KeyIndex& index) {
    const SortedIds sorted = sorted_ids_of(index);
    return {sorted.positions.begin(), sorted.positions.end()};
}

std::size_t SortedIds::bytes() const noexcept {
    return capacity_bytes(positions) + capacity_bytes(offsets) + capacity_bytes(text);
}

namespace {

// The pool's identifier order, built once per key index.
std::shared_ptr<const SortedIds> id_order_of(const SignalPool& pool, const KeyIndexPtr& index) {
    PoolState& st = PoolAccess::state(pool);
    const std::lock_guard lock(st.mutex);
    if (auto order = built_id_order(st, index)) return order;
    st.id_order = std::make_shared<const SortedIds>(sorted_ids_of(*index));
    st.id_order_index = index.get();
    st.id_order_size = index->size();
    return st.id_order;
}

// The order to sort a set over the pool's own universe with: the pool's, when the set is large
// enough for one pass over it to beat sorting the members (built for sets of a sixteenth of the
// pool and more); null: sort the members.
std::shared_ptr<const SortedIds> order_for(const SignalPool& pool, const KeyIndexPtr& index, const IdSet& set) {
    const std::size_t n = index->size();
    const std::size_t m = set.size();
    if (m * 64 < n) return nullptr;
    {
        PoolState& st = PoolAccess::state(pool);
        const std::lock_guard lock(st.mutex);
        if (auto order = built_id_order(st, index)) return order;
    }
    return m * 16 >= n ? id_order_of(pool, index) : nullptr;
}

// The set's members (all in the universe), in position order.
std::vector<std::uint32_t> member_positions(const IdSet& set) {
    std::vector<std::uint32_t> out;
    out.reserve(set.size());
    const Bits& bits = set.bits();
    for (std::size_t w = 0; w < bits.size(); ++w) {
        for (std::uint64_t word = bits[w]; word != 0; word &= word - 1) {
            out.push_back(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(word))));
        }
    }
    return out;
}

// Ranks (in code point order) of the set's members, ascending (branch-free: every rank is
// written, the count moves on for members only).
std::vector<std::uint32_t> member_ranks(const SortedIds& sorted, const IdSet& set) {
    const Bits& bits = set.bits();
    const std::uint32_t* positions = sorted.positions.data();
    const std::size_t n = sorted.positions.size();
    std::vector<std::uint32_t> ranks(set.size() + 1);
    std::size_t m = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t pos = positions[k];
        ranks[m] = static_cast<std::uint32_t>(k);
        m += (bits[pos >> 6] >> (pos & 63)) & 1;
    }
    ranks.resize(m);
    return ranks;
}

// Sets this small are sorted as strings.
constexpr std::size_t FEW = 64;

}  // namespace

std::vector<std::string> sorted_ids(const SignalPool& pool, const IdSet& set) {
    const KeyIndexPtr index = pool.index();
    if (set.universe() != index || !set.others().empty() || set.size() < FEW) return set.sorted();
    std::vector<std::string> out;
    // In huge pages up to its end (the room past it holds the end's block).
    runtime::reserve_large(out, set.size() + (set.size() >= (std::size_t{1} << 16) ? runtime::HUGE_PAGE / sizeof(std::string) : 0));
    if (const auto order = order_for(pool, index, set)) {
        // The members' ranks a block at a time, each rank written and the count moved on for
        // members only (no branch to mispredict).
        const Bits& bits = set.bits();
        const std::size_t n = order->positions.size();
        constexpr std::size_t BLOCK = 2048;
        std::array<std::uint32_t, BLOCK + 1> ranks;
        for (std::size_t from = 0; from < n; from += BLOCK) {
            const std::size_t to = std::min(n, from + BLOCK);
            std::size_t m = 0;
            for (std::size_t k = from; k < to; ++k) {
                const std::uint32_t pos = order->positions[k];
                ranks[m] = static_cast<std::uint32_t>(k);
                m += (bits[pos >> 6] >> (pos & 63)) & 1;
            }
            for (std::size_t i = 0; i < m; ++i) out.emplace_back(order->at(ranks[i]));
        }
        return out;
    }
    const SortedIds members = sorted_ids_of(*index, member_positions(set));
    for (std::size_t k = 0; k < members.positions.size(); ++k) out.emplace_back(members.at(k));
    return out;
}

SortedMembers sorted_members(const SignalPool& pool, const IdSet& set) {
    SortedMembers out;
    const KeyIndexPtr index = pool.index();
    if (set.universe() != index || !set.others().empty() || set.size() < FEW) {
        for (const std::string& id : set.sorted()) out.positions.push_back(*index->find(id));
        return out;
    }
    if (const auto order = order_for(pool, index, set)) {
        out.ranks = member_ranks(*order, set);
        out.positions.reserve(out.ranks.size());
        for (const std::uint32_t k : out.ranks) out.positions.push_back(order->positions[k]);
        return out;
    }
    const SortedIds sorted = sorted_ids_of(*index, member_positions(set));
    out.positions.assign(sorted.positions.begin(), sorted.positions.end());
    return out;
}

std::vector<std::uint32_t> id_order(const SignalPool& pool) {
    const auto sorted = id_order_of(pool, pool.index());
    return {sorted->positions.begin(), sorted->positions.end()};
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
