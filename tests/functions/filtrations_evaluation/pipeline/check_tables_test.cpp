#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/results.hpp"
#include "brindlecap/runtime/text.hpp"
#include "runtime/value_printer.hpp"

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace ep = brindlecap::functions::evaluation_pipeline;
namespace rt = brindlecap::runtime;
using fe::Dict;
using fe::IdSet;
using fe::Value;

namespace {

class NamedPlugin : public fe::EvaluationCheckPlugin {
public:
    explicit NamedPlugin(std::string name) : name_(std::move(name)) {}
    std::string name() const override { return name_; }
    fe::CheckOutcome validate(const fe::Operator&, fe::SignalPool&,
                              brindlecap::functions::evaluation_utils::BaseEvaluationConfig&) override {
        return {"pass", "", {}};
    }

private:
    std::string name_;
};

fe::PluginPtr plugin(const std::string& name) { return std::make_shared<NamedPlugin>(name); }

std::vector<std::pair<std::int64_t, std::string>> numbered(
    const std::vector<std::pair<std::int64_t, fe::PluginPtr>>& entries) {
    std::vector<std::pair<std::int64_t, std::string>> out;
    for (const auto& [n, p] : entries) out.emplace_back(n, p->name());
    return out;
}

std::vector<std::string> names(const std::vector<fe::PluginPtr>& plugins) {
    std::vector<std::string> out;
    for (const auto& p : plugins) out.push_back(p->name());
    return out;
}

class PluginRegistryTest : public ::testing::Test {
protected:
    void SetUp() override { fe::clear_check_plugins(); }
    void TearDown() override {
        fe::clear_check_plugins();
        ep::override_check_registry_entries(std::nullopt);
    }
};

std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const rt::ValueError& e) {
        return e.what();
    }
    return "<no ValueError>";
}

using Pairs = std::vector<std::pair<std::int64_t, std::string>>;

}  // namespace

// ---- check registry service ------------------------------------------------------------------

TEST(CheckRegistryService, CanonicalFiltrationChecks) {
    const std::vector<ep::CheckEntry> expected = {
        {1, "contract"},    {2, "correctness"},         {3, "nan_handling"}, {4, "determinism"},
        {5, "parallel_safety"}, {6, "boundary_conditions"}, {7, "bias"},         {8, "speed"}};
    EXPECT_EQ(ep::get_check_registry_entries("filtration"), expected);
    EXPECT_TRUE(ep::get_check_registry_entries("signal").empty());
    const auto map = ep::get_check_key_map("filtration");
    EXPECT_EQ(map.size(), 8U);
    EXPECT_EQ(map.at(5), "parallel_safety");
    EXPECT_TRUE(ep::get_check_key_map("strategy").empty());

    ep::override_check_registry_entries(std::vector<ep::CheckEntry>{{3, "x"}});
    EXPECT_EQ(ep::get_check_registry_entries("filtration"), (std::vector<ep::CheckEntry>{{3, "x"}}));
    ep::override_check_registry_entries(std::nullopt);
    EXPECT_EQ(ep::get_check_registry_entries("filtration"), expected);
}

TEST(CheckRegistryService, DeterminismBodyComparesOutputsAsSets) {
    const auto bodies = ep::get_shared_check_body_map();
    const auto& body = bodies.at({"filtration", "determinism"});
    const Dict first{{"repeated_call", fe::id_set_value(IdSet{"a", "b"})},
                     {"cutoff_tie", Value::list({"x", "y"})}};
    const Dict same{{"cutoff_tie", Value::list({"y", "x", "x"})},
                    {"repeated_call", fe::id_set_value(IdSet{"b", "a"})}};
    auto result = body(Dict{{"first_output", first}, {"second_output", same}, {"family", "filtration"}});
    EXPECT_EQ(result.status, "pass");
    EXPECT_EQ(result.evidence.get("outputs_match"), Value(true));
    EXPECT_EQ(result.evidence.get("compared_keys"), Value::list({"cutoff_tie", "repeated_call"}));
    EXPECT_EQ(result.evidence.get("mismatched_keys"), Value::list({}));

    const Dict differs{{"repeated_call", fe::id_set_value(IdSet{"a"})}, {"extra", Value::list({})}};
    result = body(Dict{{"first_output", first}, {"second_output", differs}});
    EXPECT_EQ(result.status, "fail");
    EXPECT_EQ(result.evidence.get("outputs_match"), Value(false));
    EXPECT_EQ(result.evidence.get("compared_keys"), Value::list({"cutoff_tie", "extra", "repeated_call"}));
    EXPECT_EQ(result.evidence.get("mismatched_keys"), Value::list({"cutoff_tie", "extra", "repeated_call"}));

    EXPECT_THROW(body(Dict{{"first_output", first}}), rt::TypeError);
}

TEST(CheckRegistryService, ParallelSafetyBodyReportsMismatchedIndices) {
    const auto bodies = ep::get_shared_check_body_map();
    const auto& body = bodies.at({"filtration", "parallel_safety"});
    const Value a = fe::id_set_value(IdSet{"a", "b"});
    auto result = body(Dict{{"thread_results", Value::list({a, fe::id_set_value(IdSet{"b", "a"}), a})}});
    EXPECT_EQ(result.status, "pass");
    EXPECT_EQ(result.evidence.get("results_match"), Value(true));
    EXPECT_EQ(result.evidence.get("result_count"), Value(3));
    EXPECT_EQ(result.evidence.get("mismatched_indices"), Value::list({}));

    result = body(Dict{{"thread_results", Value::list({a, fe::id_set_value(IdSet{"a"}), a,
                                                       fe::id_set_value(IdSet{})})}});
    EXPECT_EQ(result.status, "fail");
    EXPECT_EQ(result.evidence.get("results_match"), Value(false));
    EXPECT_EQ(result.evidence.get("result_count"), Value(4));
    EXPECT_EQ(result.evidence.get("mismatched_indices"), Value::list({1, 3}));
}

TEST(CheckRegistryService, SharedBodiesCanBeReplaced) {
    ep::SharedCheckBodyMap only;
    only[{"filtration", "determinism"}] = [](const Dict&) { return ep::SharedCheckResult{"fail", {}}; };
    ep::override_shared_check_body_map(only);
    const auto bodies = ep::get_shared_check_body_map();
    EXPECT_EQ(bodies.size(), 1U);
    EXPECT_EQ(bodies.at({"filtration", "determinism"})(Dict{}).status, "fail");
    ep::override_shared_check_body_map(std::nullopt);
    EXPECT_EQ(ep::get_shared_check_body_map().size(), 2U);
}

// ---- result records --------------------------------------------------------------------------

TEST(ResultRecords, IdSetObjectIsASetValue) {
    const Value a = fe::id_set_value(IdSet{"b", "a"});
    EXPECT_EQ(rt::repr(a), "{'a', 'b'}");
    EXPECT_EQ(rt::repr(fe::id_set_value(IdSet{})), "set()");
    EXPECT_EQ(rt::type_name(a), "set");
    EXPECT_EQ(a, fe::id_set_value(IdSet{"a", "b"}));
    EXPECT_NE(a, fe::id_set_value(IdSet{"a"}));
    EXPECT_NE(a, Value::list({"a", "b"}));
    EXPECT_EQ(rt::hash_value(a), rt::hash_value(fe::id_set_value(IdSet{"a", "b"})));
}

TEST(ResultRecords, CheckLookupByName) {
    fe::OperatorCheckResult r{"gt", true, {{"contract", {"pass", "", {}}}, {"speed", {"fail", "slow", {}}}}, {}};
    ASSERT_NE(r.check("speed"), nullptr);
    EXPECT_EQ(r.check("speed")->details, "slow");
    EXPECT_EQ(r.check("bias"), nullptr);
}

TEST(ResultRecords, CheckTables) {
    ep::override_check_registry_entries(std::nullopt);
    const auto& registry = fe::CHECK_REGISTRY();
    ASSERT_EQ(registry.size(), 8U);
    std::vector<std::string> order;
    for (const auto& [name, entry] : registry) {
        order.push_back(name);
        EXPECT_EQ(entry.name, name);
        EXPECT_EQ(entry.default_mode, "mandatory");
        const bool contract = name == "contract";
        EXPECT_EQ(entry.verifies_return_shape, contract) << name;
        EXPECT_EQ(entry.verifies_return_ids, contract) << name;
        EXPECT_EQ(entry.verifies_input_immutability, contract) << name;
        EXPECT_EQ(entry.verifies_empty_pool, contract) << name;
    }
    EXPECT_EQ(order, (std::vector<std::string>{"contract", "correctness", "nan_handling", "determinism",
                                                "parallel_safety", "boundary_conditions", "bias", "speed"}));
    EXPECT_EQ(registry[6].second.check_number, 7);

    EXPECT_EQ(fe::detail::CHECK_NAME_BY_NUMBER(), ep::get_check_key_map("filtration"));
    std::vector<std::int64_t> numbers;
    for (const auto& [n, runner] : fe::detail::CHECK_RUNNERS()) {
        numbers.push_back(n);
        EXPECT_TRUE(static_cast<bool>(runner));
    }
    EXPECT_EQ(numbers, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

// ---- plug-in registry ------------------------------------------------------------------------

TEST_F(PluginRegistryTest, NumbersFollowTheHighestCanonicalNumber) {
    fe::register_check_plugin(plugin("first"));
    fe::register_check_plugin(plugin("second"));
    EXPECT_EQ(numbered(fe::detail::get_plugin_check_entries()), (Pairs{{9, "first"}, {10, "second"}}));

    fe::clear_check_plugins();
    EXPECT_TRUE(fe::get_registered_plugins().empty());
    fe::register_check_plugin(plugin("second"));
    EXPECT_EQ(numbered(fe::detail::get_plugin_check_entries()), (Pairs{{9, "second"}}));

    // Derived afresh from the canonical entries of the moment.
    ep::override_check_registry_entries(std::vector<ep::CheckEntry>{{2, "a"}, {12, "b"}, {5, "c"}});
    EXPECT_EQ(numbered(fe::detail::get_plugin_check_entries()), (Pairs{{13, "second"}}));
    ep::override_check_registry_entries(std::vector<ep::CheckEntry>{});
    EXPECT_EQ(numbered(fe::detail::get_plugin_check_entries()), (Pairs{{1, "second"}}));
}

TEST_F(PluginRegistryTest, RejectsCollisionsAndDuplicatesWithoutRegistering) {
    fe::register_check_plugin(plugin("extra"));
    EXPECT_EQ(message_of([] { fe::register_check_plugin(plugin("contract")); }),
              "Evaluation check plugin name 'contract' collides with a canonical filtration check name.");
    EXPECT_EQ(message_of([] { fe::register_check_plugin(plugin("extra")); }),
              "Duplicate evaluation check plugin name 'extra'.");
    EXPECT_EQ(names(fe::get_registered_plugins()), std::vector<std::string>{"extra"});

    // The returned list is a copy.
    auto copy = fe::get_registered_plugins();
    copy.push_back(plugin("other"));
    EXPECT_EQ(fe::get_registered_plugins().size(), 1U);

    // Validation of a given list, in list order.
    EXPECT_EQ(message_of([] { fe::detail::build_plugin_check_entries({plugin("a"), plugin("b"), plugin("a")}); }),
              "Duplicate evaluation check plugin name 'a'.");
    EXPECT_EQ(message_of([] { fe::detail::build_plugin_check_entries({plugin("speed")}); }),
              "Evaluation check plugin name 'speed' collides with a canonical filtration check name.");
    EXPECT_EQ(numbered(fe::detail::build_plugin_check_entries({plugin("a"), plugin("b")})),
              (Pairs{{9, "a"}, {10, "b"}}));
}
