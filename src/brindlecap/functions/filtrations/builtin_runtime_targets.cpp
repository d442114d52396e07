#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"

#include <any>
#include <mutex>
#include <string>
#include <utility>

#include "brindlecap/functions/filtrations/builtin_operators_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/modules_internal.hpp"
#include "brindlecap/runtime/process_state_internal.hpp"

namespace brindlecap::functions::filtrations {

using filtrations_evaluation::Operator;

namespace {

std::mutex host_mutex;
HostTargetResolver host_resolver;

HostTargetResolver current_host_resolver() {
    const std::lock_guard lock(host_mutex);
    return host_resolver;
}

void publish(std::string_view module, const std::vector<detail::NamedOperator>& operators) {
    for (const auto& [name, op, columns] : operators) {
        const Operator builtin = filtrations_evaluation::detail::BuiltinOperator{op, columns};
        runtime::register_module_attr(std::string(module), "_builtin_" + name, std::any(builtin));
    }
}

}  // namespace

void ensure_builtin_modules_registered() {
    static std::once_flag once;
    std::call_once(once, [] {
        publish(COMPARISON_MODULE, detail::comparison_operators());
        publish(RANK_MODULE, detail::rank_operators());
        publish(BOOLEAN_MODULE, detail::boolean_operators());
        publish(WRAPPER_MODULE, detail::wrapper_operators());
    });
}

Operator resolve_builtin_filtration_target(std::string_view module_path, std::string_view class_name) {
    ensure_builtin_modules_registered();
    const std::any* found = nullptr;
    try {
        found = &runtime::import_attr(module_path, class_name);
    } catch (const runtime::ModuleNotFoundError&) {
        if (const HostTargetResolver host = current_host_resolver()) return host(module_path, class_name);
        throw;
    } catch (const runtime::AttributeError&) {
        if (const HostTargetResolver host = current_host_resolver()) return host(module_path, class_name);
        throw;
    }
    const std::any& attr = *found;
    if (const auto* op = std::any_cast<Operator>(&attr)) return *op;
    throw runtime::TypeError("attribute '" + std::string(class_name) + "' of module '" +
                             std::string(module_path) + "' is not a filtration operator");
}

HostTargetResolver set_host_target_resolver(HostTargetResolver resolver) {
    const std::lock_guard lock(host_mutex);
    return std::exchange(host_resolver, std::move(resolver));
}

namespace {
const runtime::detail::RegisteredSlot host_target_resolver_slot{
    "host target resolver", [] { set_host_target_resolver({}); }, runtime::detail::SlotHolds::host_objects};
}  // namespace

}  // namespace brindlecap::functions::filtrations
