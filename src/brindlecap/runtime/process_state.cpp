#include "brindlecap/runtime/process_state.hpp"
#include "brindlecap/runtime/process_state_internal.hpp"

#include <mutex>

namespace brindlecap::runtime {

namespace {

struct Slots {
    std::mutex mutex;
    std::vector<detail::ProcessSlot> slots;
};

Slots& registered() {
    static Slots instance;
    return instance;
}

std::vector<detail::ProcessSlot> snapshot() {
    Slots& s = registered();
    const std::lock_guard lock(s.mutex);
    return s.slots;
}

}  // namespace

detail::RegisteredSlot::RegisteredSlot(const char* name, void (*reset)(), SlotHolds holds) {
    Slots& s = registered();
    const std::lock_guard lock(s.mutex);
    s.slots.push_back({name, reset, holds});
}

// Resets run unlocked: a slot's values may be host objects whose destructors call back in.
void ProcessState::reset_for_tests() {
    for (const detail::ProcessSlot& slot : snapshot()) slot.reset();
}

void ProcessState::release_host_objects() {
    for (const detail::ProcessSlot& slot : snapshot()) {
        if (slot.holds == detail::SlotHolds::host_objects) slot.reset();
    }
}

std::vector<std::string> ProcessState::slot_names() {
    std::vector<std::string> names;
    for (const detail::ProcessSlot& slot : snapshot()) names.emplace_back(slot.name);
    return names;
}

}  // namespace brindlecap::runtime
