#pragma once
// The column store of a signal pool: per metadata field, its values in one typed array.
//
// A column describes one field over every pool position: which positions hold the field (a
// presence bitmap), the first holder and its value (the field's type comes from it), and the
// values themselves when they all fit one representation:
//   number    doubles: floats, and ints of magnitude at most 2**53 (exact); NaN where absent
//   integer   int64: ints only, some beyond 2**53
//   boolean   bits
//   str       dictionary codes, one per position
//   str_list  lists of strings: dictionary codes of the items, offsets per position, and for
//             dictionaries of at most 64 strings a bit mask of the codes per position
//   values    anything else, one Value per position (pools built column-wise only)
//   rows      anything else, left in the pool's rows (columns built from rows)
// A column never changes once built; the pool replaces or drops it.

#include <array>
#include <bit>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/same_text_internal.hpp"
#include "brindlecap/runtime/huge_pages.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using Bits = std::vector<std::uint64_t>;

inline std::size_t word_count(std::size_t n) noexcept { return (n + 63) / 64; }
inline bool bit(const Bits& bits, std::size_t pos) noexcept { return (bits[pos >> 6] >> (pos & 63)) & 1; }
inline void set_bit(Bits& bits, std::size_t pos) noexcept { bits[pos >> 6] |= std::uint64_t{1} << (pos & 63); }
// The valid bits of word w of a bitmap over n positions.
inline std::uint64_t word_mask(std::size_t n, std::size_t w) noexcept {
    const std::size_t rest = n - w * 64;
    return rest >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << rest) - 1;
}

// Integers up to 2**53 in magnitude convert to double exactly.
inline constexpr std::int64_t EXACT_INT_LIMIT = std::int64_t{1} << 53;
inline bool exact_as_double(std::int64_t i) noexcept { return i >= -EXACT_INT_LIMIT && i <= EXACT_INT_LIMIT; }

enum class ColumnKind : std::uint8_t { number, integer, boolean, str, str_list, values, rows };

struct Column {
    ColumnKind kind = ColumnKind::rows;
    std::size_t size = 0;                 // pool positions
    std::optional<std::uint32_t> first;   // first position holding the field
    runtime::Value first_value;           // its value
    Bits present;
    std::size_t present_count = 0;

    runtime::LargeVector<double> numbers;  // number: per position, NaN where absent
    Bits ints;                            // number: positions holding an int; empty when none do
    runtime::LargeVector<std::int64_t> integers;  // integer: per position, 0 where absent
    Bits bools;                           // boolean
    runtime::LargeVector<std::uint32_t> codes;    // str: per position (0 where absent); str_list: per item
    runtime::LargeVector<std::uint32_t> offsets;  // str_list: size + 1 entries
    // str_list with at most 64 strings: per position the mask of its codes, in mask_bytes bytes
    // (1, 2, 4 or 8: the fewest that hold a bit per string; read them with memcpy).
    runtime::LargeVector<std::uint8_t> masks;
    unsigned mask_bytes = 0;
    std::vector<runtime::StrPtr> strings; // str, str_list: the dictionary, distinct strings
    runtime::LargeVector<runtime::Value> values;  // values: per position (None where absent)

    bool holds(std::size_t pos) const noexcept { return bit(present, pos); }
    // The value at a held position, as the pool's metadata holds it (a fresh list for str_list).
    runtime::Value value_at(std::size_t pos) const;
    // Heap bytes of the arrays (capacity).
    std::size_t bytes() const noexcept;
};
using ColumnPtr = std::shared_ptr<const Column>;

// Builds one column from values given position by position (ascending, each at most once).
// With keep_values false, a field whose values fit no typed representation becomes a `rows`
// column (no values kept); otherwise a `values` column.
class ColumnBuilder {
public:
    explicit ColumnBuilder(bool keep_values) : keep_values_(keep_values) {}

    void add(std::size_t pos, const runtime::Value& v);
    // The same for values known by kind, without building a Value first.
    void add_number(std::size_t pos, double d) {
        // The common case, inline: a number column, every position held so far.
        if (col_.kind == ColumnKind::number && !empty_ && pos == col_.numbers.size()) {
            hold(pos);
            col_.numbers.push_back(d);
            return;
        }
        add_number_slowly(pos, d);
    }
    void add_int(std::size_t pos, std::int64_t i) {
        if (exact_as_double(i) && col_.kind == ColumnKind::number && !empty_ && pos == col_.numbers.size() &&
            (pos >> 6) < col_.ints.size()) {
            hold(pos);
            col_.numbers.push_back(static_cast<double>(i));
            set_bit(col_.ints, pos);
            return;
        }
        add_int_slowly(pos, i);
    }
    void add_bool(std::size_t pos, bool b);
    void add_str(std::size_t pos, std::string_view s);
    // A list of strings: begin_list, its items, end_list.
    void begin_list(std::size_t pos);
    void add_list_item(std::string_view s);
    void end_list();

    // A whole column of one kind at once, into an empty builder (nothing is added after it): the
    // column that adding each held value would give. `present` has a byte per position (0: not
    // held); empty, every position holds a value.
    void set_numbers(std::span<const double> values, std::span<const std::uint8_t> present);
    void set_ints(std::span<const std::int64_t> values, std::span<const std::uint8_t> present);
    void set_bools(std::span<const std::uint8_t> values, std::span<const std::uint8_t> present);
    // Strings by dictionary code: position p holds strings[codes[p]], nothing where codes[p] < 0
    // (codes past the strings are the caller's to refuse).
    template <class Code>  // int8_t, int16_t or int32_t
    void set_codes(std::span<const Code> codes, const std::vector<runtime::StrPtr>& strings);

    std::size_t present_count() const noexcept { return col_.present_count; }
    // List items per held position so far (0 for other kinds).
    double items_per_position() const noexcept {
        return col_.kind == ColumnKind::str_list && col_.present_count > 0
                   ? static_cast<double>(col_.codes.size()) / static_cast<double>(col_.present_count)
                   : 0.0;
    }
    // Room for n positions of the column's current kind (list items: items_per_position each).
    void reserve(std::size_t n, double items_per_position = 0.0);
    Column finish(std::size_t size) &&;

private:
    void start(std::size_t pos, ColumnKind kind);
    // pos holds a value of the column's settled kind.
    void hold(std::size_t pos) {
        next_ = pos + 1;
        if (pos == dense_ && col_.present_count == dense_) {
            ++dense_;
            ++col_.present_count;
            return;
        }
        hold_sparse(pos);
    }
    void hold_sparse(std::size_t pos);
    void add_number_slowly(std::size_t pos, double d);
    void add_int_slowly(std::size_t pos, std::int64_t i);
    void write_dense();          // the presence bits of the first dense_ positions
    void to_values(std::size_t before);
    void to_integer();
    void add_generic(std::size_t pos, runtime::Value v);
    // set_*: the presence bits; the first held position (size when none), which settles the column.
    std::size_t set_presence(std::size_t size, std::span<const std::uint8_t> present, ColumnKind kind);
    static constexpr std::size_t SMALL_DICTIONARY = 16;
    static constexpr std::uint32_t NO_CODE = ~std::uint32_t{0};
    std::uint32_t find_code(std::string_view s) const;
    // A string's first 8 bytes, zeros past its end.
    static std::uint64_t head_of(std::string_view s) noexcept {
        // Fixed-size loads only (a memcpy of a variable size is a call).
        const char* p = s.data();
        const std::size_t n = s.size();
        if (n >= 8) {
            std::uint64_t head;
            std::memcpy(&head, p, 8);
            return head;
        }
        if constexpr (std::endian::native == std::endian::little) {
            if (n >= 4) {  // two overlapping words cover the string
                std::uint32_t low;
                std::uint32_t high;
                std::memcpy(&low, p, 4);
                std::memcpy(&high, p + n - 4, 4);
                return low | (std::uint64_t{high} << (8 * (n - 4)));
            }
        }
        std::uint64_t head = 0;
        for (std::size_t k = 0; k < n; ++k) head |= std::uint64_t{static_cast<unsigned char>(s[k])} << (8 * k);
        return head;
    }
    // Its last 8 bytes when longer than 8, else 0: with the head, the whole of a string of up to
    // 16 bytes.
    static std::uint64_t tail_of(std::string_view s) noexcept {
        if (s.size() <= 8) return 0;
        std::uint64_t tail;
        std::memcpy(&tail, s.data() + s.size() - 8, 8);
        return tail;
    }
    void new_string(std::uint32_t code);                        // indexes col_.strings[code]
    std::uint32_t code_of(std::string_view s);
    std::uint32_t code_of(const runtime::StrPtr& s);

    bool keep_values_;
    bool empty_ = true;
    std::size_t next_ = 0;  // positions settled
    // Positions [0, dense_) all hold a value and their presence bits are not written yet (none
    // are then): a field every signal has costs no bit until one lacks it.
    std::size_t dense_ = 0;
    Column col_;
    std::vector<std::string_view> list_items_;
    std::size_t list_pos_ = 0;
    std::unordered_map<std::string_view, std::uint32_t> dictionary_;
    // The small dictionary's strings by length and first bytes.
    std::array<std::uint64_t, SMALL_DICTIONARY> heads_{};
    std::array<std::uint64_t, SMALL_DICTIONARY> tails_{};
    std::array<std::size_t, SMALL_DICTIONARY> sizes_{};
    // Their codes + 1 by a hash of length and first bytes, in the first free slot from there
    // (0: free; at most a quarter are taken).
    static constexpr unsigned GUESS_BITS = 6;
    static std::size_t guess_slot(std::uint64_t head, std::size_t size) noexcept {
        return static_cast<std::size_t>(((head ^ size) * 0x9E3779B97F4A7C15ULL) >> (64 - GUESS_BITS));
    }
    std::array<std::uint8_t, std::size_t{1} << GUESS_BITS> guess_{};
    // The codes of string objects looked up by pointer lately, by pointer bits.
    static constexpr std::size_t SEEN_STRINGS = 16;
    std::array<const std::string*, SEEN_STRINGS> seen_str_{};
    std::array<std::uint32_t, SEEN_STRINGS> seen_code_{};
};

// The columns of every field of a row pool, built while its signals are appended one by one
// (each signal's dict is then still in cache): the first build takes the columns it needs from
// here instead of walking the rows again. Given up (and the rows walked) after any other change.
struct GrowingColumns {
    static constexpr std::size_t MAX_FIELDS = 64;  // more fields: not worth the memory
    static constexpr std::uint32_t NO_FIELD = ~std::uint32_t{0};

    std::vector<std::string> names;      // fields in order of first appearance
    std::vector<ColumnBuilder> builders;  // per field
    std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> field_of;
    const void* layout = nullptr;          // key layout of the last dict read
    std::vector<std::uint32_t> field_at;   // its keys' fields (NO_FIELD: not a string key)
    std::size_t rows = 0;                  // positions added
    std::uint64_t generation = 0;          // the pool's generation after the last one
    std::uint64_t horizon = 0;             // watched-dict changes then
    bool give_up = false;

    // Whether the columns still describe a pool of `size` positions at this generation (no watched
    // dict changed since the last add).
    bool current(std::size_t size, std::uint64_t pool_generation) const;
    // Adds the dict of position `rows` (watching it); false when the columns are to be given up.
    bool add(const runtime::Dict& metadata, std::size_t expected);
    // The columns of these fields over `size` positions (the builders are left empty).
    std::vector<Column> take(const std::vector<std::string_view>& fields, std::size_t size);
};

// The key order of each signal's metadata in a pool born column-wise: shape s lists the field
// indices of its keys in order; `of` gives each position's shape (empty when all share shape 0).
// Without shapes, a signal's keys are the fields it holds, in field order.
struct Shapes {
    std::vector<std::vector<std::uint32_t>> orders;
    std::vector<std::uint32_t> of;
};

// A field of a pool born column-wise read on first use: its column, once made.
struct DeferredColumn {
    std::shared_ptr<DeferredField> source;
    std::shared_ptr<KeyIndex> index;  // the pool's identifiers
    std::atomic<bool> ready{false};
    ColumnPtr column;  // once ready

    // The column, made now if needed. Call it with no lock of the pool held: reading the source
    // may wait for another lock.
    ColumnPtr get();
};

// Columns of every field of a pool built column-wise, in field order.
struct BornColumns {
    std::vector<std::string> names;
    std::vector<ColumnPtr> columns;  // null where deferred
    std::vector<std::shared_ptr<DeferredColumn>> deferred;  // per field (null where made), or empty
    std::shared_ptr<const Shapes> shapes;  // may be null

    // Field f's column, made now when deferred (no lock of the pool held).
    ColumnPtr column(std::size_t f) const { return columns[f] ? columns[f] : deferred[f]->get(); }
    // Field f's column when already made, else null.
    ColumnPtr column_if_made(std::size_t f) const {
        if (columns[f]) return columns[f];
        const DeferredColumn& d = *deferred[f];
        return d.ready.load(std::memory_order_acquire) ? d.column : nullptr;
    }
};

// A pool's identifiers in code point order: the positions, and the identifiers' bytes laid out in
// that order (so that sorted output is copied from one sequential block).
struct SortedIds {
    runtime::LargeVector<std::uint32_t> positions;
    // Identifier k is chars[offsets[k], offsets[k + 1]); when all have one length, offsets is
    // empty and identifier k is chars[k * width, (k + 1) * width).
    runtime::LargeVector<std::uint64_t> offsets;
    std::size_t width = 0;
    // The bytes, in words (the sort uses their room for its keys before the bytes are written).
    runtime::LargeVector<std::uint64_t> text;
    bool distinct = true;  // false: some identifier occurs more than once
    const char* chars() const noexcept { return reinterpret_cast<const char*>(text.data()); }
    std::string_view at(std::size_t k) const noexcept {
        return offsets.empty() ? std::string_view(chars() + k * width, width)
                               : std::string_view(chars() + offsets[k], offsets[k + 1] - offsets[k]);
    }
    std::size_t bytes() const noexcept;
};

}  // namespace brindlecap::functions::filtrations_evaluation::detail

namespace brindlecap::functions::filtrations_evaluation {

// The mutable side of a pool: its column cache, rows built on demand, the identifiers' order.
struct SignalPool::State {
    std::mutex mutex;
    std::unordered_map<std::string, detail::ColumnPtr> columns;
    std::uint64_t generation = 0;   // the pool generation the columns describe
    std::uint64_t horizon = 0;      // watched-dict changes up to this number are accounted for
    bool dicts_watched = false;     // every row's metadata is watched
    // Pools born column-wise, until their rows change: every field, and how to make the rows.
    std::shared_ptr<const detail::BornColumns> born;
    // The identifiers in code point order, for the index of that size and address.
    std::shared_ptr<const detail::SortedIds> id_order;
    const KeyIndex* id_order_index = nullptr;
    std::size_t id_order_size = 0;
    // Columns built as signals are appended to an empty row pool, until the first build.
    std::unique_ptr<detail::GrowingColumns> growing;
    std::size_t reserved = 0;  // the pool's reserve() hint
};

// Access to a pool's internals for the column store.
struct SignalPool::Access {
    // A pool of these columns, and the identifiers' order when known.
    static SignalPool born(std::shared_ptr<KeyIndex> index, std::shared_ptr<const detail::BornColumns> columns,
                           std::shared_ptr<const detail::SortedIds> id_order = nullptr);
    static State& state(const SignalPool& pool) { return *pool.state_; }
    static std::uint64_t generation(const SignalPool& pool) { return pool.generation_; }
    static bool has_rows(const SignalPool& pool) { return pool.rows_ready_.load(std::memory_order_acquire); }
    static const std::vector<UsefulSignal>& rows(const SignalPool& pool) { return pool.rows(); }
};

}  // namespace brindlecap::functions::filtrations_evaluation

namespace brindlecap::functions::filtrations_evaluation::detail {

using PoolState = SignalPool::State;
using PoolAccess = SignalPool::Access;

// After insert() appended position `pos`: the growing columns take its metadata, or are given up.
// `generation` is the pool's generation before the insert.
void grow_columns(const SignalPool& pool, std::size_t pos, std::uint64_t generation);

// The column of a field. Built from the rows when `build` is set and the column is not there
// yet (with the other fields of `also`, in the same walk); nullptr when not built. A column
// whose `first` is empty means no signal holds the field.
ColumnPtr pool_column(const SignalPool& pool, std::string_view field, bool build,
                      const std::vector<std::string_view>& also = {});

// The metadata keys of the pool's signals, each once, in order of first appearance.
std::vector<runtime::Value> pool_metadata_keys(const SignalPool& pool);

// The set's members sorted by code point (IdSet::sorted), using the pool's identifier order.
std::vector<std::string> sorted_ids(const SignalPool& pool, const IdSet& set);
// Their pool positions in that order (the set holds pool identifiers only), and, when the set
// is over the pool's own universe, their ranks in the pool's identifier order (ascending).
struct SortedMembers {
    std::vector<std::uint32_t> positions;
    std::vector<std::uint32_t> ranks;
};
SortedMembers sorted_members(const SignalPool& pool, const IdSet& set);
// The pool's positions in identifier order (kept with the pool once built).
std::vector<std::uint32_t> id_order(const SignalPool& pool);

// The index's identifiers in ascending code point order.
SortedIds sorted_ids_of(const KeyIndex& index);
// Those at these positions (ascending) in that order.
SortedIds sorted_ids_of(const KeyIndex& index, std::span<const std::uint32_t> positions);
std::vector<std::uint32_t> id_order(const KeyIndex& index);  // its positions

// Heap bytes of the pool's columns of these fields (built from the rows or born with the pool)
// and of its identifier order; without fields, of every column built from the rows.
std::size_t column_store_bytes(const SignalPool& pool, const std::vector<std::string>& fields = {});

}  // namespace brindlecap::functions::filtrations_evaluation::detail
