#pragma once
// The built-in filtration operators, published as modules of the runtime module table:
//   brindlecap.functions.filtrations.comparison  _builtin_gt ... _builtin_in_
//   brindlecap.functions.filtrations.rank        _builtin_top_pct ... _builtin_bottom_n
//   brindlecap.functions.filtrations.boolean     _builtin_and_, _builtin_or_, _builtin_not_
//   brindlecap.functions.filtrations.wrapper     _builtin_filtration
// Each attribute is a filtrations_evaluation::Operator.

#include <functional>
#include <string_view>

#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"

namespace brindlecap::functions::filtrations {

inline constexpr std::string_view COMPARISON_MODULE = "brindlecap.functions.filtrations.comparison";
inline constexpr std::string_view RANK_MODULE = "brindlecap.functions.filtrations.rank";
inline constexpr std::string_view BOOLEAN_MODULE = "brindlecap.functions.filtrations.boolean";
inline constexpr std::string_view WRAPPER_MODULE = "brindlecap.functions.filtrations.wrapper";

// Registers the four modules once (idempotent, thread-safe).
void ensure_builtin_modules_registered();

// Imports module_path and returns its attribute class_name as an operator;
// ModuleNotFoundError / AttributeError wording of the runtime module table.
filtrations_evaluation::Operator resolve_builtin_filtration_target(std::string_view module_path,
                                                                   std::string_view class_name);

// An embedding host's own modules (a Python interpreter's imports, say), asked when the runtime
// module table has no such module or attribute; the host's errors replace the table's.
// Installing an empty resolver removes it. Returns the previous one.
using HostTargetResolver = std::function<filtrations_evaluation::Operator(std::string_view module_path,
                                                                          std::string_view class_name)>;
HostTargetResolver set_host_target_resolver(HostTargetResolver resolver);

}  // namespace brindlecap::functions::filtrations
