#pragma once
// Import by dotted name: a process-wide table of named modules with named attributes.

#include <any>
#include <string>
#include <string_view>

namespace brindlecap::runtime {

// Registers (or replaces) attribute `attr` of module `module`; creates the module if needed.
void register_module_attr(const std::string& module, const std::string& attr, std::any value);
// The attribute; ModuleNotFoundError "No module named 'x'", AttributeError
// "module 'x' has no attribute 'y'".
const std::any& import_attr(std::string_view module, std::string_view attr);

}  // namespace brindlecap::runtime
