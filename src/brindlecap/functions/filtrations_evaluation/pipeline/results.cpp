#include "brindlecap/functions/filtrations_evaluation/pipeline/results.hpp"

#include <functional>
#include <string_view>

#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

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

Value id_set_value(IdSet ids) {
    return Value(runtime::ObjectPtr(std::make_shared<IdSetObject>(std::move(ids))));
}

const CheckOutcome* OperatorCheckResult::check(std::string_view name) const {
    for (const auto& [check_name, outcome] : checks) {
        if (check_name == name) return &outcome;
    }
    return nullptr;
}

}  // namespace brindlecap::functions::filtrations_evaluation
