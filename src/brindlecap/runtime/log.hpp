#pragma once
// Structured log: an event name plus key=value fields, optionally with the caught error
// (Python's exc_info). Written through spdlog, one line per event.

#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::runtime {

enum class LogLevel { debug, info, warning, error };

struct LogRecord {
    std::string logger;
    LogLevel level = LogLevel::info;
    std::string event;
    std::vector<std::pair<std::string, Value>> fields;
    bool has_exc = false;     // exc_info attached
    std::string exc_kind;     // its kind name
    std::string exc_text;     // its text
};

using LogFields = std::vector<std::pair<std::string, Value>>;

class Logger {
public:
    explicit Logger(std::string name) : name_(std::move(name)) {}
    const std::string& name() const { return name_; }
    void debug(const std::string& event, LogFields fields = {}, const std::exception* exc = nullptr) const;
    void warning(const std::string& event, LogFields fields = {}, const std::exception* exc = nullptr) const;
    void log(LogLevel level, const std::string& event, LogFields fields, const std::exception* exc) const;

private:
    std::string name_;
};

// Captures every record emitted while it lives (tests); nothing is written meanwhile.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::vector<LogRecord> records() const;

private:
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
    friend class Logger;
};

// Minimum level written by the default sink (Warning by default).
void set_log_level(LogLevel level);

// Where records go instead of the default stderr sink (an embedding application's own logging);
// `exc` is the error attached to the record, or nullptr. An empty sink restores the default.
// Captures still take precedence. Returns the previous sink.
using LogSink = std::function<void(const LogRecord& record, const std::exception* exc)>;
LogSink set_log_sink(LogSink sink);

}  // namespace brindlecap::runtime
