#pragma once
// The library's process-wide state: the registries, caches, hooks and settings that outlive a
// call (plug-in checks, cached operators, fixture pools, the hooks an embedding host installs,
// the log level, ...). Each is a slot that the file holding it registers here, so that all of it
// can be put back, or let go of, in one call.

#include <string>
#include <vector>

namespace brindlecap::runtime {

class ProcessState {
public:
    // Every slot back to its value when the library was loaded: registries and caches empty,
    // hooks and settings at their defaults. For tests, between cases; not while a run is under way.
    static void reset_for_tests();
    // Empties the slots that may hold an embedding host's objects or call into the host (plug-ins,
    // cached operators, fixture pools, the host's hooks and resolvers); settings stay as they are.
    // A host calls it before it goes away: the Python module does at interpreter exit.
    static void release_host_objects();
    // The slots' names, in the order they were registered.
    static std::vector<std::string> slot_names();
};

}  // namespace brindlecap::runtime
