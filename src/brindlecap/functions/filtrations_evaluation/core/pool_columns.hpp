#pragma once
// Signal pools built column-wise: from typed arrays (one per metadata field), or from pool JSON.
//
// A pool built this way holds no per-signal objects: the built-in operators read its columns
// directly, and its rows (UsefulSignal with a metadata dict and an empty weights matrix) are made
// the first time something asks for them (signal(), find(), iteration, a plug-in operator's
// PreparedField). The rows then are exactly those of a pool built signal by signal from the same
// data: each signal's metadata holds the fields it holds, in field order (in the JSON reader, in
// the signal's own key order), with the same values.
//
//   ColumnarPoolBuilder b({"s1", "s2", "s3"});
//   const double sharpe[] = {1.2, NaN, -0.3};
//   b.add_float64("is_sharpe", sharpe);
//   const std::int32_t category[] = {0, 1, -1};       // pandas codes; -1: not held
//   b.add_categorical("signal_category", category, {"momentum", "value"});
//   const std::uint64_t offsets[] = {0, 2, 2, 3};     // signal i: items[offsets[i], offsets[i+1])
//   const std::string_view items[] = {"numerical", "event", "event"};
//   b.add_string_lists("rotation_families_used", offsets, items);
//   SignalPool pool = std::move(b).build();
//
// Arrays are read during the call and not kept; a field added with add_deferred is read the
// first time something needs it (DeferredField). `present`, where a method takes it, has one byte
// per signal (0: the signal does not hold the field); empty means every signal holds it. NaN in a
// float64 array is a value (the JSON literal NaN), not an absence; the built-in operators treat
// both alike for numeric fields, the metadata dicts keep the difference. Sizes that do not match
// the identifiers, a repeated field name or a repeated identifier raise ValueError.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

class ColumnarPoolBuilder;

// A field whose values are read the first time something needs them (an operator reading the
// field, the rows, the list of fields), for sources whose conversion costs more than most
// questions need. Shared by the pool and its copies; read at most once successfully.
class DeferredField {
public:
    virtual ~DeferredField() = default;
    // Adds the field to `column` (a builder of the pool's identifiers and no field yet) with one
    // add_* call; what it raises reaches the caller that needed the field (and the next caller
    // tries again).
    virtual void read(ColumnarPoolBuilder& column) = 0;
    // Runs `make` (which calls read) alone among the calls for this field. Called with no lock of
    // the pool held. Sources that need a lock of their own to be read (the Python interpreter's)
    // override it to take both in one order.
    virtual void exclusive(const std::function<void()>& make) {
        const std::lock_guard lock(mutex_);
        make();
    }
    // This field alone, read into a pool over these (distinct) identifiers: how a pool reads it.
    SignalPool read_alone(std::shared_ptr<KeyIndex> ids);

private:
    std::mutex mutex_;
};

class ColumnarPoolBuilder {
public:
    // The signals' identifiers in pool order.
    explicit ColumnarPoolBuilder(std::vector<std::string> ids);
    explicit ColumnarPoolBuilder(std::span<const std::string_view> ids);
    ~ColumnarPoolBuilder();
    ColumnarPoolBuilder(ColumnarPoolBuilder&&) noexcept;
    ColumnarPoolBuilder& operator=(ColumnarPoolBuilder&&) noexcept;

    std::size_t size() const noexcept;
    // The identifier at a pool position.
    const std::string& id(std::size_t pos) const;

    // float values (NaN included).
    ColumnarPoolBuilder& add_float64(std::string field, std::span<const double> values,
                                     std::span<const std::uint8_t> present = {});
    // int values.
    ColumnarPoolBuilder& add_int64(std::string field, std::span<const std::int64_t> values,
                                   std::span<const std::uint8_t> present = {});
    // bool values, one byte each (nonzero: True), as numpy stores them.
    ColumnarPoolBuilder& add_bool(std::string field, std::span<const std::uint8_t> values,
                                  std::span<const std::uint8_t> present = {});
    // str values.
    ColumnarPoolBuilder& add_strings(std::string field, std::span<const std::string_view> values,
                                     std::span<const std::uint8_t> present = {});
    // str values by dictionary code (a pandas Categorical): signal i holds categories[codes[i]];
    // a negative code means it does not hold the field. Codes past the categories raise ValueError.
    ColumnarPoolBuilder& add_categorical(std::string field, std::span<const std::int32_t> codes,
                                         const std::vector<std::string>& categories);
    // The same with narrower codes (pandas keeps them in the narrowest integer type).
    ColumnarPoolBuilder& add_categorical(std::string field, std::span<const std::int16_t> codes,
                                         const std::vector<std::string>& categories);
    ColumnarPoolBuilder& add_categorical(std::string field, std::span<const std::int8_t> codes,
                                         const std::vector<std::string>& categories);
    // Lists of str: signal i holds the list items[offsets[i] .. offsets[i + 1]); offsets has
    // size() + 1 ascending entries ending at items.size().
    ColumnarPoolBuilder& add_string_lists(std::string field, std::span<const std::uint64_t> offsets,
                                          std::span<const std::string_view> items,
                                          std::span<const std::uint8_t> present = {});
    // Any values (None, dicts, mixed kinds ...), one per signal; typed columns are made where the
    // values allow it.
    ColumnarPoolBuilder& add_values(std::string field, std::span<const runtime::Value> values,
                                    std::span<const std::uint8_t> present = {});

    // A field read on first use, in this place of the field order.
    ColumnarPoolBuilder& add_deferred(std::string field, std::shared_ptr<DeferredField> values);

    // The pool; the builder is left empty.
    SignalPool build() &&;

private:
    struct State;
    friend class DeferredField;
    // A builder of one field over an existing index (a deferred field being read).
    explicit ColumnarPoolBuilder(std::shared_ptr<KeyIndex> index);
    template <class Code>
    ColumnarPoolBuilder& add_codes(std::string field, std::span<const Code> codes, const std::vector<std::string>& categories);
    template <class Add>
    void add_column(std::string field, std::size_t count, std::span<const std::uint8_t> present, Add&& add);

    std::unique_ptr<State> state_;
};

// The pool in pool JSON, {"<id>": {metadata}, ...}, with the NaN, Infinity and -Infinity
// literals: the signals in file order, each with its metadata (a repeated id keeps its first
// position and its last metadata, as parse_json gives them). Built column-wise. Malformed JSON
// raises parse_json's ValueError; a document that is not an object of objects raises TypeError
// ("signal pool JSON must be an object of signal metadata objects, got list" / "signal 'x':
// metadata must be an object, got int").
SignalPool parse_signal_pool_json(std::string_view text);
// The same over a file's contents; errors name the file as read_json_file's do.
SignalPool read_signal_pool_json(const std::string& path);

}  // namespace brindlecap::functions::filtrations_evaluation
