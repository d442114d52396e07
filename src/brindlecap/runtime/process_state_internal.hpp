#pragma once
// Registration of the slots of the process-wide state (process_state.hpp).

namespace brindlecap::runtime::detail {

enum class SlotHolds {
    library_values,  // settings and pointers to objects the library does not own: reset_for_tests only
    host_objects,    // may hold a host's objects or call into the host: release_host_objects resets it too
};

struct ProcessSlot {
    const char* name;
    void (*reset)();  // puts the slot back to its value at load
    SlotHolds holds;
};

// Registers a slot: a namespace-scope object in the file holding the state, so that the slot is
// registered whenever that state is linked in.
class RegisteredSlot {
public:
    RegisteredSlot(const char* name, void (*reset)(), SlotHolds holds);
};

}  // namespace brindlecap::runtime::detail
