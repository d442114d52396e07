#pragma once
// Python's warning facility: one call per warning, a pluggable handler.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace brindlecap::runtime {

struct Warning {
    std::string category;  // "UserWarning"
    std::string message;
    int stacklevel = 1;
};

using WarningHandler = std::function<void(const Warning&)>;

// Emits one warning through the current handler. The default handler writes
// "<category>: <message>" on stderr. A handler may throw (warnings turned into errors).
void warn(const std::string& message, const std::string& category = "UserWarning",
          int stacklevel = 1);
// Installs a handler (an empty one restores the default); returns the previous one.
WarningHandler set_warning_handler(WarningHandler handler);

// Collects every warning emitted while it lives (tests).
class WarningCollector {
public:
    WarningCollector();
    ~WarningCollector();
    WarningCollector(const WarningCollector&) = delete;
    WarningCollector& operator=(const WarningCollector&) = delete;
    const std::vector<Warning>& warnings() const { return warnings_; }

private:
    std::mutex mutex_;  // warnings may arrive from several threads
    std::vector<Warning> warnings_;
    WarningHandler previous_;
};

// Turns every warning into a runtime::UserWarning error while it lives.
class WarningsAsErrors {
public:
    WarningsAsErrors();
    ~WarningsAsErrors();
    WarningsAsErrors(const WarningsAsErrors&) = delete;
    WarningsAsErrors& operator=(const WarningsAsErrors&) = delete;

private:
    WarningHandler previous_;
};

}  // namespace brindlecap::runtime
