#include "brindlecap/runtime/warnings.hpp"

#include <cstdio>
#include <mutex>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/process_state_internal.hpp"

namespace brindlecap::runtime {

namespace {

struct HandlerSlot {
    std::mutex mutex;
    WarningHandler handler;  // empty: the default handler
};

HandlerSlot& slot() {
    static HandlerSlot instance;
    return instance;
}

void print_warning(const Warning& w) {
    const std::string line = w.category + ": " + w.message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

void warn(const std::string& message, const std::string& category, int stacklevel) {
    WarningHandler handler;
    {
        HandlerSlot& s = slot();
        const std::lock_guard lock(s.mutex);
        handler = s.handler;
    }
    const Warning w{category, message, stacklevel};
    if (handler) {
        handler(w);
    } else {
        print_warning(w);
    }
}

WarningHandler set_warning_handler(WarningHandler handler) {
    HandlerSlot& s = slot();
    const std::lock_guard lock(s.mutex);
    std::swap(s.handler, handler);
    return handler;
}

namespace {
const detail::RegisteredSlot warning_handler_slot{
    "warning handler", [] { set_warning_handler({}); }, detail::SlotHolds::host_objects};
}  // namespace

WarningCollector::WarningCollector()
    : previous_(set_warning_handler([this](const Warning& w) {
          const std::lock_guard lock(mutex_);
          warnings_.push_back(w);
      })) {}

WarningCollector::~WarningCollector() { set_warning_handler(std::move(previous_)); }

WarningsAsErrors::WarningsAsErrors()
    : previous_(set_warning_handler([](const Warning& w) { throw UserWarning(w.message); })) {}

WarningsAsErrors::~WarningsAsErrors() { set_warning_handler(std::move(previous_)); }

}  // namespace brindlecap::runtime
