#pragma once
// The process-wide registry of plug-in checks, run after the canonical checks.

#include <memory>
#include <vector>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using PluginPtr = std::shared_ptr<evaluation_utils::EvaluationCheckPlugin>;

// Appends a plug-in; ValueError when its name collides with a canonical check or another plug-in.
void register_check_plugin(PluginPtr plugin);
std::vector<PluginPtr> get_registered_plugins();
void clear_check_plugins();

}  // namespace brindlecap::functions::filtrations_evaluation
