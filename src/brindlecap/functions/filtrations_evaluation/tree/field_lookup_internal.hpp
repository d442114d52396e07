#pragma once
// Reading one metadata field across a pool, and the errors that name a field.

#include <cstddef>
#include <optional>
#include <string_view>

#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/names_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/vocabulary.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// The metadata value under field, or nullptr.
const Value* field_value(const Dict& metadata, const Value& field);
// Reads one field from many metadata dicts. Dicts of one key layout hold the field at the same
// position, so the reader looks the field up once per layout (the signals of a pool usually
// share one) and never touches the keys again.
class FieldReader {
public:
    explicit FieldReader(const Value& field) : field_(field) {}
    const Value* operator()(const Dict& metadata) {
        if (metadata.layout() != layout_) locate(metadata);
        return pos_ < 0 ? nullptr : &metadata.value(static_cast<std::size_t>(pos_));
    }
    // Asks the cache for the value a later call on metadata is likely to return.
    void prefetch(const Dict& metadata) const {
        // A negative position converts to a huge one. (Testing pos_ >= 0 as well makes GCC 12
        // drop the prefetch altogether.)
        const auto pos = static_cast<std::size_t>(pos_);
        if (pos < metadata.size()) __builtin_prefetch(&metadata.value(pos));
    }

private:
    void locate(const Dict& metadata);

    const Value& field_;
    const void* layout_ = nullptr;  // an empty dict has no layout and no keys
    std::ptrdiff_t pos_ = -1;
};

// Pool position of the first signal whose metadata holds field.
std::optional<std::size_t> first_holder(const SignalPool& pool, const Value& field);

// Where a field is first held and its value there (its type comes from it), from the field's
// column when the pool has one (or `build` asks for it: a string field only), else from the
// rows. `holder`, when a caller found it already, spares the rows a second search.
struct FieldSource {
    std::optional<std::size_t> holder;
    Value first_value;
    ColumnPtr column;  // null when the rows were read
};
FieldSource locate_field(const SignalPool& pool, const Value& field, bool build,
                         std::optional<std::size_t> holder = std::nullopt);

// "Unknown field 'x'. Valid fields: [...]" with the sorted union of the pool's metadata keys.
FilterValidationError unknown_field(const SignalPool& pool, const Value& field);
// "Operator 'gt' not valid for field 'x' (type categorical)".
FilterValidationError incompatible_operator(std::string_view op, const Value& field, FieldType field_type);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
