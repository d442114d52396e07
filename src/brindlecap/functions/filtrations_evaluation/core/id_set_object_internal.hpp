#pragma once
// A set of identifiers as an open value, for evidence and shared check contexts.

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/core/ids.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// Type name "set", equality as sets, set display.
class IdSetObject : public runtime::Object {
public:
    explicit IdSetObject(IdSet ids) : ids(std::move(ids)) {}
    std::string type_name() const override { return "set"; }
    std::optional<runtime::Value> getattr(std::string_view) const override { return std::nullopt; }
    std::string repr() const override;
    bool equals(const runtime::Object& other) const override;
    std::size_t hash() const override;  // consistent with equals()
    std::optional<runtime::List> elements() const override;
    IdSet ids;
};
runtime::Value id_set_value(IdSet ids);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
