#include "brindlecap/runtime/modules_internal.hpp"

#include <map>
#include <mutex>

#include <fmt/format.h>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::runtime {

namespace {

using Attrs = std::map<std::string, std::any, std::less<>>;

struct ModuleTable {
    std::mutex mutex;
    std::map<std::string, Attrs, std::less<>> modules;
};

ModuleTable& module_table() {
    static ModuleTable instance;
    return instance;
}

// A registered module, or a package: a dotted prefix of a registered module ("a" of "a.b").
bool exists_locked(const ModuleTable& r, std::string_view name) {
    // Names starting with `name` are contiguous in the sorted map, beginning at lower_bound.
    for (auto it = r.modules.lower_bound(name);
         it != r.modules.end() && std::string_view(it->first).starts_with(name); ++it) {
        if (it->first.size() == name.size() || it->first[name.size()] == '.') return true;
    }
    return false;
}

}  // namespace

void register_module_attr(const std::string& module, const std::string& attr, std::any value) {
    ModuleTable& r = module_table();
    const std::lock_guard lock(r.mutex);
    r.modules[module][attr] = std::move(value);
}

const std::any& import_attr(std::string_view module, std::string_view attr) {
    ModuleTable& r = module_table();
    const std::lock_guard lock(r.mutex);
    // Parents are imported first, so the first missing dotted prefix is the one reported.
    for (std::size_t dot = module.find('.'); dot != std::string_view::npos; dot = module.find('.', dot + 1)) {
        const std::string_view parent = module.substr(0, dot);
        if (!exists_locked(r, parent)) throw ModuleNotFoundError("No module named " + repr(parent));
    }
    const auto mod = r.modules.find(module);
    if (mod == r.modules.end()) {
        if (!exists_locked(r, module)) throw ModuleNotFoundError("No module named " + repr(module));
        throw AttributeError(fmt::format("module '{}' has no attribute '{}'", module, attr));
    }
    const auto found = mod->second.find(attr);
    if (found == mod->second.end()) {
        throw AttributeError(fmt::format("module '{}' has no attribute '{}'", module, attr));
    }
    return found->second;
}

}  // namespace brindlecap::runtime
