#pragma once
// Plug-in check numbers: after the highest canonical number, in registration order.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using PluginEntries = std::vector<std::pair<std::int64_t, PluginPtr>>;
PluginEntries get_plugin_check_entries();
PluginEntries build_plugin_check_entries(const std::vector<PluginPtr>& plugins);

// The operator whose plug-ins the pipeline runs on this thread (set around them), or nullptr.
const std::string* judged_operator_name() noexcept;
class JudgedOperator {
public:
    explicit JudgedOperator(const std::string& name) noexcept;
    ~JudgedOperator();
    JudgedOperator(const JudgedOperator&) = delete;
    JudgedOperator& operator=(const JudgedOperator&) = delete;

private:
    const std::string* previous_;
};

}  // namespace brindlecap::functions::filtrations_evaluation::detail
