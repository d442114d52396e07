#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/functions/filtrations_evaluation/metadata/flatten.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::Dict;
using runtime::Value;

constexpr const char* kUnavailable =
    "internal telemetry observers are unavailable in Brindlecap SDK companion modules";

template <class E>
std::string error_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.message();
    }
    ADD_FAILURE() << "expected an error";
    return {};
}

std::vector<std::string> key_texts(const Dict& d) {
    std::vector<std::string> out;
    for (const auto& [k, v] : d) out.push_back(runtime::str(k));
    return out;
}

TEST(Flatten, PrefixesStatisticsAndKeepsEachBagsOrder) {
    EXPECT_TRUE(flatten_signal_metadata(Value(Dict{}), Value(Dict{}), Value(Dict{})).empty());

    const Dict flat = flatten_signal_metadata(Value(Dict{{"sharpe", 1.2}}), Value(Dict{{"sharpe", 0.8}}),
                                              Value(Dict{{"is_active", true}}));
    EXPECT_EQ(key_texts(flat), (std::vector<std::string>{"is_sharpe", "os_sharpe", "is_active"}));
    EXPECT_EQ(flat.at("is_sharpe"), Value(1.2));
    EXPECT_EQ(flat.at("os_sharpe"), Value(0.8));
    EXPECT_EQ(flat.at("is_active"), Value(true));

    // Equal key sets in different orders: each bag keeps its own order.
    const Dict reordered = flatten_signal_metadata(Value(Dict{{"b", 1}, {"a", 2}}),
                                                   Value(Dict{{"a", 3}, {"b", 4}}),
                                                   Value(Dict{{"z", 5}, {"y", 6}}));
    EXPECT_EQ(key_texts(reordered),
              (std::vector<std::string>{"is_b", "is_a", "os_a", "os_b", "z", "y"}));
}

TEST(Flatten, KeyTextOfNonStringKeys) {
    Dict is_stats;
    is_stats.set(Value(5), Value(0.5));
    is_stats.set(Value(1.5), Value(0.25));
    is_stats.set(Value(true), Value(0.125));
    Dict os_stats;
    os_stats.set(Value(true), Value(1));
    os_stats.set(Value(5), Value(2));
    os_stats.set(Value(1.5), Value(3));
    Dict metadata;
    metadata.set(Value(7), Value("seven"));
    const Dict flat = flatten_signal_metadata(Value(is_stats), Value(os_stats), Value(metadata));
    EXPECT_EQ(key_texts(flat), (std::vector<std::string>{"is_5", "is_1.5", "is_True", "os_True",
                                                         "os_5", "os_1.5", "7"}));
    EXPECT_EQ(flat.at("is_5"), Value(0.5));
    EXPECT_TRUE(flat.at(Value(7)).is_str());
    EXPECT_EQ(error_message<runtime::ValueError>([&] {
                  flatten_signal_metadata(Value(Dict{{5, 1}}), Value(Dict{{5, 2}}),
                                          Value(Dict{{"is_5", 3}}));
              }),
              "Key collision detected: 'is_5' in metadata collides with prefixed key in result");
}

TEST(Flatten, ValuesAreSharedAndInputsUntouched) {
    const Value families = Value::list({"momentum"});
    const Value nested(Dict{{"k", 1}});
    const Value is_stats(Dict{{"families", families}});
    const Value os_stats(Dict{{"families", nested}});
    const Value metadata(Dict{{"note", "x"}});
    const Dict flat = flatten_signal_metadata(is_stats, os_stats, metadata);
    EXPECT_TRUE(flat.at("is_families").is(families));
    EXPECT_TRUE(flat.at("os_families").is(nested));
    EXPECT_EQ(key_texts(is_stats.as_dict()), (std::vector<std::string>{"families"}));
    EXPECT_EQ(key_texts(os_stats.as_dict()), (std::vector<std::string>{"families"}));
    EXPECT_EQ(key_texts(metadata.as_dict()), (std::vector<std::string>{"note"}));
}

TEST(Flatten, RefusesMismatchedStatisticsAndCollisions) {
    EXPECT_EQ(error_message<runtime::ValueError>([] {
                  flatten_signal_metadata(Value(Dict{{"a", 1}}), Value(Dict{{"b", 2}}), Value(Dict{}));
              }),
              "is_stats and os_stats must have the same key sets. is_stats keys: ['a'], os_stats "
              "keys: ['b']. Key mismatch detected.");
    EXPECT_EQ(error_message<runtime::ValueError>([] {
                  flatten_signal_metadata(Value(Dict{{"c", 1}, {"a", 1}, {"it's", 1}}),
                                          Value(Dict{{"c", 1}, {"a", 1}}), Value(Dict{}));
              }),
              "is_stats and os_stats must have the same key sets. is_stats keys: ['a', 'c', "
              "\"it's\"], os_stats keys: ['a', 'c']. Key mismatch detected.");
    EXPECT_EQ(error_message<runtime::ValueError>([] {
                  flatten_signal_metadata(Value(Dict{}), Value(Dict{{2, 0}, {1, 0}}), Value(Dict{}));
              }),
              "is_stats and os_stats must have the same key sets. is_stats keys: [], os_stats "
              "keys: [1, 2]. Key mismatch detected.");
    EXPECT_EQ(error_message<runtime::ValueError>([] {
                  flatten_signal_metadata(Value(Dict{{"sharpe", 1}}), Value(Dict{{"sharpe", 2}}),
                                          Value(Dict{{"os_sharpe", 3}}));
              }),
              "Key collision detected: 'os_sharpe' in metadata collides with prefixed key in result");
    // Keys that cannot be ordered against each other surface the host's ordering error.
    EXPECT_THROW(flatten_signal_metadata(Value(Dict{{1, 0}, {"a", 0}}), Value(Dict{}), Value(Dict{})),
                 runtime::TypeError);
}

TEST(Flatten, NonMappingBagsRaiseAttributeError) {
    EXPECT_EQ(error_message<runtime::AttributeError>(
                  [] { flatten_signal_metadata(Value(), Value(Dict{}), Value(Dict{})); }),
              "'NoneType' object has no attribute 'keys'");
    EXPECT_EQ(error_message<runtime::AttributeError>(
                  [] { flatten_signal_metadata(Value(Dict{}), Value::list({}), Value(Dict{})); }),
              "'list' object has no attribute 'keys'");
    EXPECT_EQ(error_message<runtime::AttributeError>(
                  [] { flatten_signal_metadata(Value(Dict{}), Value(Dict{}), Value(7)); }),
              "'int' object has no attribute 'items'");
}

TEST(FlattenShapeTags, OddInputsNeverRaise) {
    const Dict tags = detail::flatten_signal_metadata_shape_tags(Value(), Value(Dict{{"x", 1}}), Value(7));
    const Dict expected{{"is_stat_count_shape", 0},   {"os_stat_count_shape", 1},
                        {"metadata_count_shape", -1}, {"key_set_match_shape", 0},
                        {"collision_count_shape", 0}, {"result_field_count_shape", 0}};
    EXPECT_EQ(tags, expected);
    EXPECT_EQ(key_texts(tags), key_texts(expected));

    EXPECT_EQ(detail::shape_len(Value()), 0);
    EXPECT_EQ(detail::shape_len(Value("\xc3\xa9t\xc3\xa9")), 3);
    EXPECT_EQ(detail::shape_len(Value::list({1, 2})), 2);
    EXPECT_EQ(detail::shape_len(Value(Dict{{"a", 1}})), 1);
    EXPECT_EQ(detail::shape_len(Value(true)), -1);
    EXPECT_EQ(detail::shape_len(Value(2.5)), -1);
    EXPECT_TRUE(detail::mapping_key_set(Value("abc")).empty());
    EXPECT_TRUE(detail::mapping_key_set(Value::list({1})).empty());
    EXPECT_EQ(detail::mapping_key_set(Value(Dict{{"a", 1}, {2, 2}})), (runtime::List{"a", 2}));
}

TEST(FlattenShapeTags, CountsCollisionsAndKeySetMatch) {
    Dict metadata{{"os_sharpe", 3}, {"is_sharpe", 4}, {"other", 5}, {"is_sortino", 6}};
    metadata.set(Value(5), Value(1));
    const Value is_stats(Dict{{"sharpe", 1}, {"returns", 2}});
    const Value os_stats(Dict{{"returns", 1}, {"sharpe", 2}});
    const Dict tags = detail::flatten_signal_metadata_shape_tags(is_stats, os_stats, Value(metadata));
    EXPECT_EQ(tags.at("key_set_match_shape"), Value(1));
    EXPECT_EQ(tags.at("collision_count_shape"), Value(2));
    EXPECT_EQ(tags.at("metadata_count_shape"), Value(5));

    const Dict with_status = detail::flatten_signal_metadata_shape_tags(
        is_stats, os_stats, Value(Dict{}), Dict{{"a", 1}, {"b", 2}, {"c", 3}}, std::string("flattened"));
    EXPECT_EQ(with_status.at("result_field_count_shape"), Value(3));
    EXPECT_EQ(with_status.at("collision_count_shape"), Value(0));
    EXPECT_EQ(key_texts(with_status).back(), "status");
    EXPECT_EQ(with_status.at("status"), Value("flattened"));

    const Dict mismatch = detail::flatten_signal_metadata_shape_tags(
        Value(Dict{{"a", 1}}), Value(Dict{{"a", 1}, {"b", 1}}), Value());
    EXPECT_EQ(mismatch.at("key_set_match_shape"), Value(0));
    EXPECT_EQ(mismatch.at("metadata_count_shape"), Value(0));
}

TEST(FlattenTelemetry, DefaultHooksRefuseAnyObserver) {
    TelemetryObserver observer;
    EXPECT_EQ(error_message<runtime::RuntimeError>([&] {
                  flatten_signal_metadata(Value(Dict{{"sharpe", 1}}), Value(Dict{{"sharpe", 2}}),
                                          Value(Dict{}), &observer);
              }),
              kUnavailable);
    EXPECT_NO_THROW(record_surface_observation(nullptr, "s", "entry", 1.0));
    EXPECT_NO_THROW(flush_surface_observer_sync(nullptr));
    EXPECT_EQ(error_message<runtime::RuntimeError>([&] { flush_surface_observer_sync(&observer); }),
              kUnavailable);
    EXPECT_EQ(error_message<runtime::RuntimeError>(
                  [&] { record_surface_observation(&observer, "s", "entry", 1.0, Dict{}); }),
              kUnavailable);
    // Without an observer no hook is touched.
    EXPECT_EQ(flatten_signal_metadata(Value(Dict{}), Value(Dict{}), Value(Dict{{"a", 1}})).size(), 1u);
}

struct Event {
    std::string what;  // "record" or "flush"
    TelemetryObserver* observer = nullptr;
    std::string surface;
    std::string behaviour;
    double value = 0.0;
    std::optional<Dict> tags;
};

class RecordingHooks : public ::testing::Test {
protected:
    void SetUp() override {
        previous_record_ = set_record_surface_observation_hook(
            [this](TelemetryObserver* o, const std::string& surface, const std::string& behaviour,
                   double value, const std::optional<Dict>& tags) {
                events.push_back({"record", o, surface, behaviour, value, tags});
                if (on_record) on_record(behaviour, tags);
            });
        previous_flush_ = set_flush_surface_observer_hook([this](TelemetryObserver* o) {
            events.push_back({"flush", o, "", "", 0.0, std::nullopt});
        });
    }
    void TearDown() override {
        set_record_surface_observation_hook(previous_record_);
        set_flush_surface_observer_hook(previous_flush_);
    }

    std::vector<std::string> sequence() const {
        std::vector<std::string> out;
        for (const Event& e : events) out.push_back(e.what == "flush" ? "flush" : e.behaviour);
        return out;
    }

    TelemetryObserver observer;
    std::vector<Event> events;
    std::function<void(const std::string&, const std::optional<Dict>&)> on_record;

private:
    RecordObservationHook previous_record_;
    FlushObserverHook previous_flush_;
};

TEST_F(RecordingHooks, SuccessfulCallRecordsEntryDecisionExitThenFlush) {
    const Dict flat = flatten_signal_metadata(Value(Dict{{"sharpe", 1.2}}), Value(Dict{{"sharpe", 0.8}}),
                                              Value(Dict{{"is_active", true}}), &observer);
    EXPECT_EQ(flat.size(), 3u);
    ASSERT_EQ(sequence(), (std::vector<std::string>{"entry", "decision", "exit", "flush"}));
    for (const Event& e : events) EXPECT_EQ(e.observer, &observer);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(events[i].surface, "brindlecap/functions/evaluation_harnesses/filtrations_evaluation");
        EXPECT_EQ(events[i].value, 1.0 + i);
        ASSERT_TRUE(events[i].tags.has_value());
    }
    const Dict& entry = *events[0].tags;
    EXPECT_FALSE(entry.contains("status"));
    EXPECT_EQ(entry.at("result_field_count_shape"), Value(0));
    EXPECT_EQ(entry.at("is_stat_count_shape"), Value(1));
    const Dict& decision = *events[1].tags;
    EXPECT_EQ(decision.at("status"), Value("flattened"));
    EXPECT_EQ(decision.at("result_field_count_shape"), Value(3));
    EXPECT_FALSE(decision.contains("error_type"));
    EXPECT_EQ(*events[2].tags, decision);
}

TEST_F(RecordingHooks, FailingCallRecordsErrorDecisionAndRethrows) {
    EXPECT_EQ(error_message<runtime::ValueError>([&] {
                  flatten_signal_metadata(Value(Dict{{"a", 1}}), Value(Dict{{"b", 2}}), Value(Dict{}),
                                          &observer);
              }),
              "is_stats and os_stats must have the same key sets. is_stats keys: ['a'], os_stats "
              "keys: ['b']. Key mismatch detected.");
    ASSERT_EQ(sequence(), (std::vector<std::string>{"entry", "decision", "exit", "flush"}));
    const Dict& decision = *events[1].tags;
    EXPECT_EQ(decision.at("status"), Value("error"));
    EXPECT_EQ(decision.at("error_type"), Value("ValueError"));
    EXPECT_EQ(decision.at("result_field_count_shape"), Value(0));
    EXPECT_EQ(decision.at("key_set_match_shape"), Value(0));
    EXPECT_EQ(key_texts(decision).back(), "error_type");
    EXPECT_EQ(*events[2].tags, decision);

    events.clear();
    EXPECT_THROW(flatten_signal_metadata(Value(), Value(Dict{}), Value(Dict{}), &observer),
                 runtime::AttributeError);
    ASSERT_EQ(sequence(), (std::vector<std::string>{"entry", "decision", "exit", "flush"}));
    EXPECT_EQ(events[1].tags->at("error_type"), Value("AttributeError"));
    EXPECT_EQ(events[0].tags->at("is_stat_count_shape"), Value(0));
}

TEST_F(RecordingHooks, HookErrorsFollowTheGuardedRegion) {
    const Value bag(Dict{{"sharpe", 1}});
    // An entry failure stops everything: no decision, exit or flush.
    on_record = [](const std::string& behaviour, const std::optional<Dict>&) {
        if (behaviour == "entry") throw runtime::KeyError("entry");
    };
    EXPECT_THROW(flatten_signal_metadata(bag, bag, Value(Dict{}), &observer), runtime::KeyError);
    EXPECT_EQ(sequence(), (std::vector<std::string>{"entry"}));

    // A failing success decision is itself caught and reported as an error decision.
    events.clear();
    on_record = [](const std::string& behaviour, const std::optional<Dict>& tags) {
        if (behaviour == "decision" && tags->at("status") == Value("flattened"))
            throw runtime::RuntimeError("sink down");
    };
    EXPECT_EQ(error_message<runtime::RuntimeError>(
                  [&] { flatten_signal_metadata(bag, bag, Value(Dict{}), &observer); }),
              "sink down");
    ASSERT_EQ(sequence(), (std::vector<std::string>{"entry", "decision", "decision", "exit", "flush"}));
    EXPECT_EQ(events[2].tags->at("error_type"), Value("RuntimeError"));
    EXPECT_EQ(*events[3].tags, *events[2].tags);

    // An exit failure replaces the pending error and skips the flush.
    events.clear();
    on_record = [](const std::string& behaviour, const std::optional<Dict>&) {
        if (behaviour == "exit") throw runtime::RuntimeError("exit failed");
    };
    EXPECT_EQ(error_message<runtime::RuntimeError>([&] {
                  flatten_signal_metadata(bag, Value(Dict{}), Value(Dict{}), &observer);
              }),
              "exit failed");
    EXPECT_EQ(sequence(), (std::vector<std::string>{"entry", "decision", "exit"}));
}

TEST_F(RecordingHooks, BindingsAreLookedUpAtEveryObservation) {
    std::vector<std::string> late;
    RecordObservationHook recorder;
    on_record = [&](const std::string& behaviour, const std::optional<Dict>&) {
        if (behaviour != "entry") return;
        recorder = set_record_surface_observation_hook(
            [&late](TelemetryObserver*, const std::string&, const std::string& b, double,
                    const std::optional<Dict>&) { late.push_back(b); });
    };
    flatten_signal_metadata(Value(Dict{}), Value(Dict{}), Value(Dict{}), &observer);
    EXPECT_EQ(sequence(), (std::vector<std::string>{"entry", "flush"}));
    EXPECT_EQ(late, (std::vector<std::string>{"decision", "exit"}));

    // The returned previous binding is the recorder; an empty binding restores the default.
    EXPECT_TRUE(static_cast<bool>(recorder));
    set_record_surface_observation_hook(RecordObservationHook{});
    EXPECT_EQ(error_message<runtime::RuntimeError>([&] {
                  flatten_signal_metadata(Value(Dict{}), Value(Dict{}), Value(Dict{}), &observer);
              }),
              kUnavailable);
    set_record_surface_observation_hook(recorder);
    on_record = nullptr;
    events.clear();
    flatten_signal_metadata(Value(Dict{}), Value(Dict{}), Value(Dict{}), &observer);
    EXPECT_EQ(sequence(), (std::vector<std::string>{"entry", "decision", "exit", "flush"}));
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
