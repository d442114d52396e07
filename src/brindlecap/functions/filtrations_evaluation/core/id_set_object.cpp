#include "brindlecap/functions/filtrations_evaluation/core/id_set_object_internal.hpp"

#include <functional>

#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

std::string IdSetObject::repr() const { return runtime::set_display(ids.sorted()); }

bool IdSetObject::equals(const runtime::Object& other) const {
    const auto* o = dynamic_cast<const IdSetObject*>(&other);
    return o != nullptr && o->ids == ids;
}

std::size_t IdSetObject::hash() const {
    // Order-independent combination of the members' hashes.
    std::size_t h = 0x5e7;
    ids.for_each([&](std::string_view id) { h ^= std::hash<std::string_view>{}(id) * 0x9e3779b97f4a7c15ULL; });
    return h + ids.size();
}

std::optional<runtime::List> IdSetObject::elements() const {
    runtime::List out;
    out.reserve(ids.size());
    ids.for_each([&](std::string_view id) { out.emplace_back(id); });
    return out;
}

runtime::Value id_set_value(IdSet ids) {
    return runtime::Value(runtime::ObjectPtr(std::make_shared<IdSetObject>(std::move(ids))));
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
