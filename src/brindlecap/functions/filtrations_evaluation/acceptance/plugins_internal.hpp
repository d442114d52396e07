#pragma once
// Plug-in check numbers: after the highest canonical number, in registration order.

#include <cstdint>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using PluginEntries = std::vector<std::pair<std::int64_t, PluginPtr>>;
PluginEntries get_plugin_check_entries();
PluginEntries build_plugin_check_entries(const std::vector<PluginPtr>& plugins);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
