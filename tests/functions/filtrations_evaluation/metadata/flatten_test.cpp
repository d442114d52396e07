#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/metadata/flatten.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/flatten_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::Dict;
using runtime::Value;
using test::key_texts;
using test::message_of;
using Names = std::vector<std::string>;

const std::string kUnavailable = "internal telemetry observers are unavailable in Brindlecap SDK companion modules";

Dict flatten(Value is_stats, Value os_stats, Value metadata, TelemetryObserver* observer = nullptr) {
    return flatten_signal_metadata(is_stats, os_stats, metadata, observer);
}

TEST(Flatten, PrefixesStatisticsAndKeepsEachBagsOrder) {
    const Value families = Value::list({"momentum"});
    const Value is_stats(Dict{{"b", families}, {"a", 2}});
    const Dict flat = flatten(is_stats, Dict{{"a", 3}, {"b", 4}}, Dict{{"z", 5}, {"y", 6}});
    EXPECT_EQ(key_texts(flat), (Names{"is_b", "is_a", "os_a", "os_b", "z", "y"}));
    EXPECT_EQ(flat.at("os_b"), Value(4));
    EXPECT_TRUE(flat.at("is_b").is(families));  // values are shared, inputs untouched
    EXPECT_EQ(key_texts(is_stats.as_dict()), (Names{"b", "a"}));

    // Non-string keys: the prefixed key is the key's text; metadata keys stay as they are.
    Dict odd_is, odd_os, odd_meta;
    for (const Value& k : {Value(5), Value(1.5), Value(true)}) odd_is.set(k, 1);
    for (const Value& k : {Value(true), Value(5), Value(1.5)}) odd_os.set(k, 2);
    odd_meta.set(Value(7), Value("seven"));
    const Dict keyed = flatten(odd_is, odd_os, odd_meta);
    EXPECT_EQ(key_texts(keyed), (Names{"is_5", "is_1.5", "is_True", "os_True", "os_5", "os_1.5", "7"}));
    EXPECT_TRUE(keyed.at(Value(7)).is_str());
}

TEST(Flatten, ErrorMessages) {
    const auto value_error = [](Value a, Value b, Value m) { return message_of<runtime::ValueError>([&] { flatten(a, b, m); }); };
    const std::string mismatch = "is_stats and os_stats must have the same key sets. is_stats keys: ";
    EXPECT_EQ(value_error(Dict{{"c", 1}, {"a", 1}, {"it's", 1}}, Dict{{"c", 1}, {"a", 1}}, Dict{}),
              mismatch + "['a', 'c', \"it's\"], os_stats keys: ['a', 'c']. Key mismatch detected.");
    EXPECT_EQ(value_error(Dict{{"sharpe", 1}}, Dict{{"sharpe", 2}}, Dict{{"os_sharpe", 3}}),
              "Key collision detected: 'os_sharpe' in metadata collides with prefixed key in result");
    // Keys that cannot be ordered against each other surface the host's ordering error.
    EXPECT_THROW(flatten(Dict{{1, 0}, {"a", 0}}, Dict{}, Dict{}), runtime::TypeError);
    const auto attribute_error = [](Value a, Value b, Value m) {
        return message_of<runtime::AttributeError>([&] { flatten(a, b, m); });
    };
    EXPECT_EQ(attribute_error(Value(), Dict{}, Dict{}), "'NoneType' object has no attribute 'keys'");
}

TEST(FlattenShapeTags, OddInputsNeverRaiseAndCountsAreExact) {
    const Dict tags = detail::flatten_signal_metadata_shape_tags(Value(), Dict{{"x", 1}}, Value(7));
    EXPECT_EQ(runtime::repr(Value(tags)),
              "{'is_stat_count_shape': 0, 'os_stat_count_shape': 1, 'metadata_count_shape': -1, "
              "'key_set_match_shape': 0, 'collision_count_shape': 0, 'result_field_count_shape': 0}");

    Dict metadata{{"os_sharpe", 3}, {"is_sharpe", 4}, {"other", 5}, {"is_sortino", 6}};
    metadata.set(Value(5), Value(1));
    const Value is_stats(Dict{{"sharpe", 1}, {"returns", 2}});
    const Dict counted = detail::flatten_signal_metadata_shape_tags(is_stats, Dict{{"returns", 1}, {"sharpe", 2}}, metadata);
    EXPECT_EQ(counted.at("key_set_match_shape"), Value(1));
    EXPECT_EQ(counted.at("collision_count_shape"), Value(2));
    EXPECT_EQ(counted.at("metadata_count_shape"), Value(5));
    const Dict with_status = detail::flatten_signal_metadata_shape_tags(
        is_stats, is_stats, Dict{}, Dict{{"a", 1}, {"b", 2}, {"c", 3}}, std::string("flattened"));
    EXPECT_EQ(with_status.at("result_field_count_shape"), Value(3));
    EXPECT_EQ(key_texts(with_status).back(), "status");
}

class RecordingHooks : public ::testing::Test {
protected:
    struct Event {
        std::string behaviour;  // "flush" for a flush
        std::optional<Dict> tags;
    };
    void SetUp() override {
        set_record_surface_observation_hook(
            [this](TelemetryObserver* o, const std::string&, const std::string& behaviour, double,
                   const std::optional<Dict>& tags) {
                EXPECT_EQ(o, &observer);
                events.push_back({behaviour, tags});
                if (on_record) on_record(behaviour, tags);
            });
        set_flush_surface_observer_hook([this](TelemetryObserver* o) {
            EXPECT_EQ(o, &observer);
            events.push_back({"flush", {}});
        });
    }
    Names sequence() const {
        Names out;
        for (const Event& e : events) out.push_back(e.behaviour);
        return out;
    }

    TelemetryObserver observer;
    std::vector<Event> events;
    std::function<void(const std::string&, const std::optional<Dict>&)> on_record;
    const Names full = {"entry", "decision", "exit", "flush"};

private:
};

TEST_F(RecordingHooks, ObservationSequenceOnSuccessAndFailure) {
    EXPECT_EQ(flatten(Dict{{"sharpe", 1.2}}, Dict{{"sharpe", 0.8}}, Dict{{"is_active", true}}, &observer).size(), 3u);
    ASSERT_EQ(sequence(), full);
    EXPECT_FALSE(events[0].tags->contains("status"));
    EXPECT_EQ(events[0].tags->at("is_stat_count_shape"), Value(1));
    EXPECT_EQ(events[1].tags->at("status"), Value("flattened"));
    EXPECT_EQ(events[1].tags->at("result_field_count_shape"), Value(3));
    EXPECT_EQ(*events[2].tags, *events[1].tags);

    // A failing call records an error decision and re-raises the error unchanged.
    events.clear();
    EXPECT_EQ(message_of<runtime::ValueError>([&] { flatten(Dict{{"a", 1}}, Dict{{"b", 2}}, Dict{}, &observer); }),
              "is_stats and os_stats must have the same key sets. is_stats keys: ['a'], os_stats keys: ['b']. Key "
              "mismatch detected.");
    ASSERT_EQ(sequence(), full);
    EXPECT_EQ(events[1].tags->at("status"), Value("error"));
    EXPECT_EQ(events[1].tags->at("result_field_count_shape"), Value(0));
    EXPECT_EQ(events[1].tags->at("error_type"), Value("ValueError"));
    EXPECT_EQ(*events[2].tags, *events[1].tags);
}

TEST_F(RecordingHooks, HookErrorsFollowTheGuardedRegion) {
    const Value bag(Dict{{"sharpe", 1}});
    const auto fail_at = [&](const std::string& where, const Value& status = Value()) {
        events.clear();
        on_record = [=](const std::string& behaviour, const std::optional<Dict>& tags) {
            if (behaviour == where && (status.is_none() || tags->at("status") == status)) throw runtime::RuntimeError(where);
        };
        return message_of<runtime::RuntimeError>([&] { flatten(bag, bag, Dict{}, &observer); });
    };
    // An entry failure stops everything.
    EXPECT_EQ(fail_at("entry"), "entry");
    EXPECT_EQ(sequence(), Names{"entry"});
    // A failing success decision is itself caught and reported as an error decision.
    EXPECT_EQ(fail_at("decision", "flattened"), "decision");
    ASSERT_EQ(sequence(), (Names{"entry", "decision", "decision", "exit", "flush"}));
    EXPECT_EQ(events[2].tags->at("error_type"), Value("RuntimeError"));
    // An exit failure replaces the pending outcome and skips the flush.
    EXPECT_EQ(fail_at("exit"), "exit");
    EXPECT_EQ(sequence(), (Names{"entry", "decision", "exit"}));
}

TEST_F(RecordingHooks, BindingsAreLookedUpAtEveryObservationAndDefaultsRefuse) {
    Names late;
    RecordObservationHook recorder;
    on_record = [&](const std::string& behaviour, const std::optional<Dict>&) {
        if (behaviour != "entry") return;
        recorder = set_record_surface_observation_hook(
            [&late](TelemetryObserver*, const std::string&, const std::string& b, double, const std::optional<Dict>&) {
                late.push_back(b);
            });
    };
    flatten(Dict{}, Dict{}, Dict{}, &observer);
    EXPECT_EQ(sequence(), (Names{"entry", "flush"}));
    EXPECT_EQ(late, (Names{"decision", "exit"}));

    // An empty binding restores the default, which refuses any observer but accepts none.
    set_record_surface_observation_hook({});
    const FlushObserverHook flusher = set_flush_surface_observer_hook({});
    EXPECT_EQ(message_of<runtime::RuntimeError>([&] { flatten(Dict{}, Dict{}, Dict{}, &observer); }), kUnavailable);
    EXPECT_EQ(message_of<runtime::RuntimeError>([&] { flush_surface_observer_sync(&observer); }), kUnavailable);
    EXPECT_NO_THROW(record_surface_observation(nullptr, "s", "entry", 1.0));
    EXPECT_EQ(flatten(Dict{}, Dict{}, Dict{{"a", 1}}).size(), 1u);
    set_record_surface_observation_hook(recorder);
    set_flush_surface_observer_hook(flusher);
    on_record = nullptr;
    events.clear();
    flatten(Dict{}, Dict{}, Dict{}, &observer);
    EXPECT_EQ(sequence(), full);
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
