#include <algorithm>
#include <any>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/log.hpp"
#include "brindlecap/runtime/modules.hpp"
#include "brindlecap/runtime/warnings.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::runtime {
namespace {

struct LocalFailure : std::exception {
    const char* what() const noexcept override { return "local failure"; }
};

TEST(Errors, KeyErrorTextIsTheKeyRepr) {
    EXPECT_EQ(KeyError("x").text(), "'x'");
    EXPECT_EQ(KeyError("it's").text(), "\"it's\"");
    EXPECT_EQ(KeyError(3).text(), "3");
    EXPECT_EQ(KeyError(Value()).text(), "None");
    const KeyError e(Value::list({"a", 1.5}));
    EXPECT_EQ(e.text(), "['a', 1.5]");
    EXPECT_EQ(std::string(e.what()), e.text());
    EXPECT_EQ(e.kind(), "KeyError");
    EXPECT_EQ(e.key(), Value::list({"a", 1.5}));
}

TEST(Errors, KindAndTextOfAnyException) {
    EXPECT_EQ(error_kind(ValueError("bad")), "ValueError");
    EXPECT_EQ(error_text(ValueError("bad")), "bad");
    EXPECT_EQ(error_kind(ModuleNotFoundError("m")), "ModuleNotFoundError");
    EXPECT_EQ(error_kind(KeyError("k")), "KeyError");
    EXPECT_EQ(error_text(KeyError("k")), "'k'");

    EXPECT_EQ(error_kind(std::runtime_error("boom")), "std::runtime_error");
    EXPECT_EQ(error_text(std::runtime_error("boom")), "boom");
    EXPECT_EQ(error_kind(std::out_of_range("r")), "std::out_of_range");
    EXPECT_EQ(error_kind(LocalFailure()), "brindlecap::runtime::(anonymous namespace)::LocalFailure");
    EXPECT_EQ(error_text(LocalFailure()), "local failure");

    // The dynamic type counts, also through a base reference.
    try {
        throw std::invalid_argument("arg");
    } catch (const std::exception& e) {
        EXPECT_EQ(error_kind(e), "std::invalid_argument");
    }
    try {
        Dict{}.at("gone");
    } catch (const std::exception& e) {
        EXPECT_EQ(error_kind(e), "KeyError");
        EXPECT_EQ(error_text(e), "'gone'");
    }
}

TEST(Warnings, CollectorAndNesting) {
    WarningCollector outer;
    warn("first");
    {
        WarningCollector inner;
        warn("second", "RuntimeWarning", 3);
        ASSERT_EQ(inner.warnings().size(), 1u);
        EXPECT_EQ(inner.warnings()[0].message, "second");
        EXPECT_EQ(inner.warnings()[0].category, "RuntimeWarning");
        EXPECT_EQ(inner.warnings()[0].stacklevel, 3);
    }
    warn("third");
    ASSERT_EQ(outer.warnings().size(), 2u);
    EXPECT_EQ(outer.warnings()[0].message, "first");
    EXPECT_EQ(outer.warnings()[0].category, "UserWarning");
    EXPECT_EQ(outer.warnings()[1].message, "third");
}

TEST(Warnings, AsErrorsThrowsAndRestores) {
    WarningCollector collector;
    {
        WarningsAsErrors strict;
        try {
            warn("too few rows");
            FAIL() << "no error";
        } catch (const UserWarning& e) {
            EXPECT_EQ(std::string(e.what()), "too few rows");
            EXPECT_EQ(e.kind(), "UserWarning");
        }
    }
    EXPECT_NO_THROW(warn("after"));
    ASSERT_EQ(collector.warnings().size(), 1u);
    EXPECT_EQ(collector.warnings()[0].message, "after");
}

TEST(Warnings, DefaultHandlerWritesToStderr) {
    std::vector<Warning> seen;
    const WarningHandler previous = set_warning_handler([&](const Warning& w) { seen.push_back(w); });
    warn("routed");
    EXPECT_EQ(seen.size(), 1u);
    // Restoring the default (empty) handler prints.
    set_warning_handler({});
    testing::internal::CaptureStderr();
    warn("printed here", "DeprecationWarning");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "DeprecationWarning: printed here\n");
    set_warning_handler(previous);
    EXPECT_EQ(seen.size(), 1u);
}

TEST(Warnings, CollectsFromManyThreads) {
    WarningCollector collector;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) warn("w" + std::to_string(t));
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(collector.warnings().size(), 800u);
}

TEST(Log, CaptureRecordsFieldsAndError) {
    const Logger logger("brindlecap.test");
    LogCapture capture;
    logger.warning("threshold_missing", {{"column", "sharpe"}, {"value", 1.5}});
    const KeyError error("sharpe");
    logger.debug("lookup_failed", {{"n", 3}}, &error);
    const std::runtime_error plain("io");
    logger.log(LogLevel::Error, "store_failed", {}, &plain);

    const std::vector<LogRecord> records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].logger, "brindlecap.test");
    EXPECT_EQ(records[0].level, LogLevel::Warning);
    EXPECT_EQ(records[0].event, "threshold_missing");
    ASSERT_EQ(records[0].fields.size(), 2u);
    EXPECT_EQ(records[0].fields[0].first, "column");
    EXPECT_EQ(records[0].fields[0].second, Value("sharpe"));
    EXPECT_EQ(records[0].fields[1].second, Value(1.5));
    EXPECT_FALSE(records[0].has_exc);

    EXPECT_EQ(records[1].level, LogLevel::Debug);  // captured regardless of the level
    EXPECT_TRUE(records[1].has_exc);
    EXPECT_EQ(records[1].exc_kind, "KeyError");
    EXPECT_EQ(records[1].exc_text, "'sharpe'");

    EXPECT_EQ(records[2].level, LogLevel::Error);
    EXPECT_EQ(records[2].exc_kind, "std::runtime_error");
    EXPECT_EQ(records[2].exc_text, "io");
}

TEST(Log, InnermostCaptureWinsAndNothingIsWritten) {
    const Logger logger("brindlecap.nested");
    testing::internal::CaptureStderr();
    LogCapture outer;
    {
        LogCapture inner;
        logger.warning("inner_event");
        EXPECT_EQ(inner.records().size(), 1u);
    }
    logger.warning("outer_event");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(outer.records().size(), 1u);
    EXPECT_EQ(outer.records()[0].event, "outer_event");
}

TEST(Log, CaptureFromManyThreads) {
    const Logger logger("brindlecap.threads");
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < 100; ++i) logger.warning("tick", {{"thread", t}, {"i", i}});
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(capture.records().size(), 400u);
}

TEST(Log, WritesOneLineRespectingTheLevel) {
    const Logger logger("brindlecap.sink");
    const ValueError error("bad 'input'");

    testing::internal::CaptureStderr();
    logger.warning("cache_miss", {{"key", "it's"}, {"size", 2}}, &error);
    logger.debug("hidden_event");
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("brindlecap.sink"), std::string::npos) << written;
    EXPECT_NE(written.find("warning"), std::string::npos) << written;
    EXPECT_NE(written.find("cache_miss key=\"it's\" size=2 exc_kind='ValueError' exc_text=\"bad 'input'\"\n"),
              std::string::npos)
        << written;
    EXPECT_EQ(written.find("hidden_event"), std::string::npos) << written;
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 1);

    set_log_level(LogLevel::Debug);
    testing::internal::CaptureStderr();
    logger.debug("shown_event");
    const std::string debug_written = testing::internal::GetCapturedStderr();
    set_log_level(LogLevel::Warning);
    EXPECT_NE(debug_written.find("shown_event"), std::string::npos) << debug_written;

    set_log_level(LogLevel::Error);
    testing::internal::CaptureStderr();
    logger.warning("quiet_event");
    const std::string quiet = testing::internal::GetCapturedStderr();
    set_log_level(LogLevel::Warning);
    EXPECT_EQ(quiet, "");
}

TEST(Modules, RegisterImportAndReplace) {
    register_module_attr("runtime_test.alpha", "answer", 42);
    ASSERT_TRUE(has_module("runtime_test.alpha"));
    EXPECT_EQ(std::any_cast<int>(import_attr("runtime_test.alpha", "answer")), 42);
    register_module_attr("runtime_test.alpha", "answer", std::string("replaced"));
    EXPECT_EQ(std::any_cast<std::string>(import_attr("runtime_test.alpha", "answer")), "replaced");
    // The parent of a registered module is importable as a package.
    EXPECT_TRUE(has_module("runtime_test"));
    EXPECT_FALSE(has_module("runtime_tes"));
    EXPECT_FALSE(has_module("runtime_test.alph"));
}

TEST(Modules, MissingModulesAndAttributes) {
    register_module_attr("runtime_test.beta", "f", 1);
    const auto message_of = [](std::string_view module, std::string_view attr) -> std::string {
        try {
            import_attr(module, attr);
        } catch (const ModuleNotFoundError& e) {
            return "ModuleNotFoundError: " + std::string(e.what());
        } catch (const AttributeError& e) {
            return "AttributeError: " + std::string(e.what());
        }
        return "imported";
    };
    EXPECT_EQ(message_of("runtime_test.beta", "f"), "imported");
    EXPECT_EQ(message_of("no_such_module", "f"), "ModuleNotFoundError: No module named 'no_such_module'");
    EXPECT_EQ(message_of("no_such_pkg.sub", "f"), "ModuleNotFoundError: No module named 'no_such_pkg'");
    EXPECT_EQ(message_of("runtime_test.gamma", "f"), "ModuleNotFoundError: No module named 'runtime_test.gamma'");
    EXPECT_EQ(message_of("runtime_test.beta", "g"),
              "AttributeError: module 'runtime_test.beta' has no attribute 'g'");
    EXPECT_EQ(message_of("runtime_test", "beta_attr"),
              "AttributeError: module 'runtime_test' has no attribute 'beta_attr'");
}

}  // namespace
}  // namespace brindlecap::runtime
