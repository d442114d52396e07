#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/clock_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/log.hpp"
#include "brindlecap/runtime/modules_internal.hpp"
#include "brindlecap/runtime/process_state.hpp"
#include "brindlecap/runtime/warnings.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::runtime {
namespace {

struct LocalFailure : std::exception {
    const char* what() const noexcept override { return "local failure"; }
};

TEST(Errors, KindAndTextOfAnyException) {
    EXPECT_EQ(KeyError("it's").text(), "\"it's\"");
    const KeyError e(Value::list({"a", 1.5}));
    EXPECT_EQ(e.text(), "['a', 1.5]");
    EXPECT_EQ(std::string(e.what()), e.text());
    EXPECT_EQ(e.key(), Value::list({"a", 1.5}));
    EXPECT_EQ(KeyError(Value()).text(), "None");

    EXPECT_EQ(error_kind(ModuleNotFoundError("m")), "ModuleNotFoundError");
    EXPECT_EQ(error_text(ValueError("bad")), "bad");
    EXPECT_EQ(error_kind(std::out_of_range("r")), "std::out_of_range");
    EXPECT_EQ(error_kind(LocalFailure()), "brindlecap::runtime::(anonymous namespace)::LocalFailure");
    EXPECT_EQ(error_text(LocalFailure()), "local failure");
    // The dynamic type counts, also through a base reference.
    try {
        (void)Dict{}.at("gone");
    } catch (const std::exception& caught) {
        EXPECT_EQ(error_kind(caught), "KeyError");
        EXPECT_EQ(error_text(caught), "'gone'");
    }
}

TEST(Warnings, CollectorsNestWarningsBecomeErrorsAndThreadsAppend) {
    WarningCollector outer;
    warn("first");
    {
        WarningCollector inner;
        warn("second", "RuntimeWarning", 3);
        ASSERT_EQ(inner.warnings().size(), 1u);
        EXPECT_EQ(inner.warnings()[0].category, "RuntimeWarning");
        EXPECT_EQ(inner.warnings()[0].stacklevel, 3);
    }
    {
        WarningsAsErrors strict;
        try {
            warn("too few rows");
            ADD_FAILURE() << "no error";
        } catch (const UserWarning& e) {
            EXPECT_EQ(std::string(e.what()), "too few rows");
        }
    }
    warn("third");
    ASSERT_EQ(outer.warnings().size(), 2u);
    EXPECT_EQ(outer.warnings()[0].category, "UserWarning");
    EXPECT_EQ(outer.warnings()[1].message, "third");

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) warn("w");
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(outer.warnings().size(), 802u);
}

TEST(Warnings, HandlerIsReplaceableAndTheDefaultWritesToStderr) {
    std::vector<Warning> seen;
    set_warning_handler([&](const Warning& w) { seen.push_back(w); });
    warn("routed");
    set_warning_handler({});
    testing::internal::CaptureStderr();
    warn("printed here", "DeprecationWarning");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "DeprecationWarning: printed here\n");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, "routed");
}

TEST(Log, CaptureRecordsFieldsAndErrorsFromManyThreads) {
    const Logger logger("brindlecap.test");
    testing::internal::CaptureStderr();
    LogCapture outer;
    {
        LogCapture capture;
        logger.warning("threshold_missing", {{"column", "sharpe"}, {"value", 1.5}});
        const KeyError error("sharpe");
        logger.debug("lookup_failed", {{"n", 3}}, &error);  // captured regardless of the level
        const std::vector<LogRecord> records = capture.records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].logger, "brindlecap.test");
        EXPECT_EQ(records[0].level, LogLevel::warning);
        EXPECT_EQ(records[0].event, "threshold_missing");
        EXPECT_EQ(records[0].fields, (LogFields{{"column", Value("sharpe")}, {"value", Value(1.5)}}));
        EXPECT_FALSE(records[0].has_exc);
        EXPECT_EQ(records[1].level, LogLevel::debug);
        EXPECT_TRUE(records[1].has_exc);
        EXPECT_EQ(records[1].exc_kind, "KeyError");
        EXPECT_EQ(records[1].exc_text, "'sharpe'");
    }
    // The innermost capture wins; nothing is written while one lives.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < 100; ++i) logger.warning("tick", {{"thread", t}, {"i", i}});
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(outer.records().size(), 400u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Log, WithoutACaptureRecordsGoToTheSinkOrToStderrFromTheLevelUp) {
    const Logger logger("brindlecap.test");
    const ValueError error("bad");
    std::vector<std::string> routed;
    set_log_sink([&](const LogRecord& r, const std::exception* exc) {
        routed.push_back(r.event + (exc != nullptr ? " " + error_text(*exc) : ""));
    });
    logger.debug("to_sink", {}, &error);  // a sink gets every level
    set_log_sink({});
    testing::internal::CaptureStderr();
    logger.debug("below_level");
    logger.warning("written", {{"column", "sharpe"}, {"n", 2.0}}, &error);
    set_log_level(LogLevel::debug);
    logger.debug("now_written");
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(routed, std::vector<std::string>{"to_sink bad"});
    const std::string stamp = "\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\\] ";
    EXPECT_THAT(written, testing::MatchesRegex(
                             stamp + "\\[warning\\] brindlecap\\.test: written column='sharpe' n=2\\.0 "
                                     "exc_kind='ValueError' exc_text='bad'\n" +
                             stamp + "\\[debug\\] brindlecap\\.test: now_written\n"));
}

TEST(Modules, RegisterImportReplaceAndMissingNames) {
    register_module_attr("runtime_test.alpha", "answer", 42);
    EXPECT_EQ(std::any_cast<int>(import_attr("runtime_test.alpha", "answer")), 42);
    register_module_attr("runtime_test.alpha", "answer", std::string("replaced"));
    EXPECT_EQ(std::any_cast<std::string>(import_attr("runtime_test.alpha", "answer")), "replaced");
    const auto message = [](std::string_view module, std::string_view attr) -> std::string {
        try {
            import_attr(module, attr);
        } catch (const ModuleNotFoundError& e) {
            return "ModuleNotFoundError: " + std::string(e.what());
        } catch (const AttributeError& e) {
            return "AttributeError: " + std::string(e.what());
        }
        return "imported";
    };
    EXPECT_EQ(message("no_such_pkg.sub", "f"), "ModuleNotFoundError: No module named 'no_such_pkg'");
    EXPECT_EQ(message("runtime_test.alpha", "g"), "AttributeError: module 'runtime_test.alpha' has no attribute 'g'");
}

// Release empties what may hold a host's objects or call into the host and keeps settings; reset
// puts everything back.
TEST(ProcessState, ReleaseDropsHostObjectsAndResetRestoresEverything) {
    namespace eu = functions::evaluation_utils;
    namespace fd = functions::filtrations_evaluation::detail;
    const functions::registry_and_store::FunctionStore store;
    const auto install = [&store] {
        set_interrupt_check([] { throw Interrupt(); });
        set_warning_handler([](const Warning&) {});
        store.cache_operator("gt", {});
        eu::configure_signal_metadata_store("signals.db");
        fd::set_speed_clock(nullptr);
    };
    install();
    ProcessState::release_host_objects();
    EXPECT_NO_THROW(check_interrupt());
    EXPECT_FALSE(set_warning_handler({}));
    EXPECT_FALSE(store.cached_operator("gt"));
    EXPECT_EQ(eu::configured_signal_metadata_store(), "signals.db");
    EXPECT_EQ(fd::set_speed_clock(nullptr), nullptr);
    install();
    ProcessState::reset_for_tests();
    EXPECT_NO_THROW(check_interrupt());
    EXPECT_FALSE(set_warning_handler({}));
    EXPECT_FALSE(store.cached_operator("gt"));
    EXPECT_EQ(eu::configured_signal_metadata_store(), std::nullopt);
    EXPECT_EQ(fd::set_speed_clock(nullptr), &monotonic);
}

}  // namespace
}  // namespace brindlecap::runtime
