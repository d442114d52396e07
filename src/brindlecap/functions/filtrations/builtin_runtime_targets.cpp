#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"

#include <algorithm>
#include <any>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "brindlecap/functions/filtrations/builtin_operators_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
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

}  // namespace

// Each kernel goes where its row in the operator table says, under its class name.
void ensure_builtin_modules_registered() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::vector<detail::NamedOperator> kernels;
        for (auto* group : {&detail::comparison_operators, &detail::rank_operators, &detail::boolean_operators,
                            &detail::wrapper_operators}) {
            for (detail::NamedOperator& kernel : group()) kernels.push_back(std::move(kernel));
        }
        for (const auto& builtin : filtrations_evaluation::detail::builtin_operators()) {
            const auto kernel = std::find_if(kernels.begin(), kernels.end(),
                                             [&](const detail::NamedOperator& k) { return k.name == builtin.name; });
            if (kernel == kernels.end()) {
                throw std::logic_error("no kernel for the built-in " + std::string(builtin.name));
            }
            const Operator op = filtrations_evaluation::detail::BuiltinOperator{kernel->op, kernel->columns};
            runtime::register_module_attr(std::string(builtin.module_path), builtin.class_name(), std::any(op));
        }
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
