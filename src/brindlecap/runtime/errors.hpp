#pragma once
// Error kinds of Python. kind() is the name used in messages ("ValueError", ...);
// text() is what Python prints for str(error) (a KeyError prints its key quoted).

#include <exception>
#include <string>
#include <utility>

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::runtime {

class Exception : public std::exception {
public:
    Exception(std::string kind, std::string message)
        : kind_(std::move(kind)), message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    virtual std::string text() const { return message_; }

private:
    std::string kind_;
    std::string message_;
};

#define BRINDLECAP_DEFINE_ERROR(Name)                                              \
    class Name : public Exception {                                                \
    public:                                                                        \
        explicit Name(std::string message = "") : Exception(#Name, std::move(message)) {} \
    };

BRINDLECAP_DEFINE_ERROR(ValueError)
BRINDLECAP_DEFINE_ERROR(TypeError)
BRINDLECAP_DEFINE_ERROR(RuntimeError)
BRINDLECAP_DEFINE_ERROR(AttributeError)
BRINDLECAP_DEFINE_ERROR(AssertionError)
BRINDLECAP_DEFINE_ERROR(ModuleNotFoundError)
BRINDLECAP_DEFINE_ERROR(FileExistsError)
BRINDLECAP_DEFINE_ERROR(UserWarning)
#undef BRINDLECAP_DEFINE_ERROR

// KeyError carries the missing key; its text is the key's repr ('x', or "it's").
class KeyError : public Exception {
public:
    explicit KeyError(Value key);
    const Value& key() const noexcept { return key_; }
    std::string text() const override;

private:
    Value key_;
};

// Thrown through every guard of the library: the application asked the run to stop (an
// interrupt). Applications derive their own carrier from it.
class Interrupt : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// An application's test for a pending interruption (Ctrl-C): it throws an Interrupt (or a class
// derived from it) when the run should stop. Runs call check_interrupt() between operators, checks,
// trials and tree nodes; the test decides how often it looks (it may be called very often).
using InterruptCheck = void (*)();
void set_interrupt_check(InterruptCheck check) noexcept;
// Runs the installed test; without one, a single relaxed load.
void check_interrupt();

// Rethrows e when the failure is the process's, not the code under test's: memory ran out
// (std::bad_alloc), a thread could not be started (std::system_error for lack of resources), or
// the run was interrupted. Guards that turn errors into verdicts call it first.
void rethrow_if_fatal(const std::exception& e);

// Kind name of any error: kind() for runtime errors, else the demangled C++ type name.
std::string error_kind(const std::exception& e);
// str(error): text() for runtime errors, else what().
std::string error_text(const std::exception& e);

}  // namespace brindlecap::runtime
