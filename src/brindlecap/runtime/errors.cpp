#include "brindlecap/runtime/errors.hpp"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <system_error>
#include <typeinfo>

#include <cxxabi.h>

#include "brindlecap/runtime/process_state_internal.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::runtime {

KeyError::KeyError(Value key) : Exception("KeyError", repr(key)), key_(std::move(key)) {}

std::string KeyError::text() const { return repr(key_); }

namespace {

std::atomic<InterruptCheck> interrupt_check{nullptr};

const detail::RegisteredSlot interrupt_check_slot{
    "interrupt check", [] { set_interrupt_check(nullptr); }, detail::SlotHolds::host_objects};

}  // namespace

void set_interrupt_check(InterruptCheck check) noexcept { interrupt_check.store(check, std::memory_order_relaxed); }

void check_interrupt() {
    if (const InterruptCheck check = interrupt_check.load(std::memory_order_relaxed)) check();
}

void rethrow_if_fatal(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr || dynamic_cast<const Interrupt*>(&e) != nullptr) throw;
    if (const auto* system = dynamic_cast<const std::system_error*>(&e)) {
        const std::error_code code = system->code();
        if (code == std::errc::resource_unavailable_try_again || code == std::errc::not_enough_memory) throw;
    }
}

std::string error_kind(const std::exception& e) {
    if (const auto* runtime_error = dynamic_cast<const Exception*>(&e)) return runtime_error->kind();
    const char* mangled = typeid(e).name();
    int status = 0;
    const std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

std::string error_text(const std::exception& e) {
    if (const auto* runtime_error = dynamic_cast<const Exception*>(&e)) return runtime_error->text();
    return e.what();
}

}  // namespace brindlecap::runtime
