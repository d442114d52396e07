#include "brindlecap/runtime/log.hpp"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include <spdlog/logger.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/process_state_internal.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::runtime {

namespace {

std::atomic<LogLevel> g_level{LogLevel::warning};

// Live captures, innermost last; records go to the innermost one.
struct Captures {
    std::mutex mutex;
    std::vector<LogCapture*> stack;
};

Captures& captures() {
    static Captures instance;
    return instance;
}

spdlog::level::level_enum to_spdlog(LogLevel level) {
    switch (level) {
        case LogLevel::debug: return spdlog::level::debug;
        case LogLevel::info: return spdlog::level::info;
        case LogLevel::warning: return spdlog::level::warn;
        case LogLevel::error: return spdlog::level::err;
    }
    return spdlog::level::info;
}

// One stderr logger per Logger name, kept out of spdlog's global registry so that names
// cannot clash with loggers registered elsewhere.
std::shared_ptr<spdlog::logger> sink_logger(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;
    static const auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    const std::lock_guard lock(mutex);
    auto& logger = loggers[name];
    if (!logger) {
        logger = std::make_shared<spdlog::logger>(name, sink);
        logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] %n: %v");
        logger->set_level(spdlog::level::trace);  // filtering happens in Logger::log
    }
    return logger;
}

std::string format_line(const LogRecord& record) {
    std::string line = record.event;
    for (const auto& [key, value] : record.fields) {
        line += ' ';
        line += key;
        line += '=';
        line += repr(value);
    }
    if (record.has_exc) {
        line += " exc_kind=" + repr(std::string_view(record.exc_kind));
        line += " exc_text=" + repr(std::string_view(record.exc_text));
    }
    return line;
}

std::mutex& sink_mutex() {
    static std::mutex m;
    return m;
}

LogSink& sink_slot() {
    static LogSink sink;
    return sink;
}

LogSink current_sink() {
    const std::lock_guard lock(sink_mutex());
    return sink_slot();
}

}  // namespace

void Logger::debug(const std::string& event, LogFields fields, const std::exception* exc) const {
    log(LogLevel::debug, event, std::move(fields), exc);
}

void Logger::warning(const std::string& event, LogFields fields, const std::exception* exc) const {
    log(LogLevel::warning, event, std::move(fields), exc);
}

void Logger::log(LogLevel level, const std::string& event, LogFields fields, const std::exception* exc) const {
    LogRecord record{name_, level, event, std::move(fields), exc != nullptr, {}, {}};
    if (exc != nullptr) {
        record.exc_kind = error_kind(*exc);
        record.exc_text = error_text(*exc);
    }
    {
        Captures& c = captures();
        const std::lock_guard lock(c.mutex);
        if (!c.stack.empty()) {
            LogCapture* capture = c.stack.back();
            const std::lock_guard capture_lock(capture->mutex_);
            capture->records_.push_back(std::move(record));
            return;
        }
    }
    if (const LogSink sink = current_sink()) {
        sink(record, exc);
        return;
    }
    if (level < g_level.load(std::memory_order_relaxed)) return;
    sink_logger(name_)->log(to_spdlog(level), "{}", format_line(record));
}

LogSink set_log_sink(LogSink sink) {
    const std::lock_guard lock(sink_mutex());
    return std::exchange(sink_slot(), std::move(sink));
}

LogCapture::LogCapture() {
    Captures& c = captures();
    const std::lock_guard lock(c.mutex);
    c.stack.push_back(this);
}

LogCapture::~LogCapture() {
    Captures& c = captures();
    const std::lock_guard lock(c.mutex);
    c.stack.erase(std::remove(c.stack.begin(), c.stack.end(), this), c.stack.end());
}

std::vector<LogRecord> LogCapture::records() const {
    const std::lock_guard lock(mutex_);
    return records_;
}

void set_log_level(LogLevel level) { g_level.store(level, std::memory_order_relaxed); }

namespace {
const detail::RegisteredSlot log_level_slot{
    "log level", [] { set_log_level(LogLevel::warning); }, detail::SlotHolds::library_values};
const detail::RegisteredSlot log_sink_slot{
    "log sink", [] { set_log_sink({}); }, detail::SlotHolds::host_objects};
}  // namespace

}  // namespace brindlecap::runtime
