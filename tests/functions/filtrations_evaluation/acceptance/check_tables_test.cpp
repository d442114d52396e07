#include <gtest/gtest.h>

#include "brindlecap/functions/filtrations_evaluation/checks/catalogue_internal.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
namespace ep = brindlecap::functions::evaluation_pipeline;

fe::PluginPtr plugin(const std::string& name) { return std::make_shared<FnPlugin>(name, Value(), returns("pass")); }

using Pairs = std::vector<std::pair<std::int64_t, std::string>>;
Pairs numbered(const std::vector<std::pair<std::int64_t, fe::PluginPtr>>& entries) {
    Pairs out;
    for (const auto& [n, p] : entries) out.emplace_back(n, p->name());
    return out;
}

using brindlecap::test::value_error;

using CheckTables = ::testing::Test;


TEST_F(CheckTables, SharedBodiesCompareOutputsAsSets) {
    const auto bodies = ep::get_shared_check_body_map();
    const auto& determinism = bodies.at({"filtration", "determinism"});
    const Dict first{{"repeated_call", fd::id_set_value(IdSet{"a", "b"})}, {"cutoff_tie", Value::list({"x", "y"})}};
    const Dict same{{"cutoff_tie", Value::list({"y", "x", "x"})}, {"repeated_call", fd::id_set_value(IdSet{"b", "a"})}};
    auto result = determinism(Dict{{"first_output", first}, {"second_output", same}, {"family", "filtration"}});
    EXPECT_EQ(result.status, "pass");
    EXPECT_EQ(rt::repr(Value(result.evidence)),
              "{'outputs_match': True, 'compared_keys': ['cutoff_tie', 'repeated_call'], 'mismatched_keys': []}");
    const Dict differs{{"repeated_call", fd::id_set_value(IdSet{"a"})}, {"extra", Value::list({})}};
    result = determinism(Dict{{"first_output", first}, {"second_output", differs}});
    EXPECT_EQ(result.status, "fail");
    EXPECT_EQ(result.evidence.get("mismatched_keys"), Value::list({"cutoff_tie", "extra", "repeated_call"}));
    EXPECT_THROW(determinism(Dict{{"first_output", first}}), rt::TypeError);

    const Value a = fd::id_set_value(IdSet{"a", "b"});
    const auto& parallel = bodies.at({"filtration", "parallel_safety"});
    EXPECT_EQ(parallel(Dict{{"thread_results", Value::list({a, fd::id_set_value(IdSet{"b", "a"})})}}).status, "pass");
    result = parallel(Dict{{"thread_results", Value::list({a, fd::id_set_value(IdSet{"a"}), a, fd::id_set_value(IdSet{})})}});
    EXPECT_EQ(rt::repr(Value(result.evidence)),
              "{'results_match': False, 'result_count': 4, 'mismatched_indices': [1, 3]}");

    // The set record prints and compares as a host set.
    EXPECT_EQ(rt::repr(a), "{'a', 'b'}");
    EXPECT_EQ(rt::repr(fd::id_set_value(IdSet{})), "set()");
    EXPECT_EQ(rt::type_name(a), "set");
    EXPECT_NE(a, Value::list({"a", "b"}));
    EXPECT_EQ(rt::hash_value(a), rt::hash_value(fd::id_set_value(IdSet{"b", "a"})));
}

TEST_F(CheckTables, PluginNumberingCollisionsAndDuplicates) {
    fe::register_check_plugin(plugin("first"));
    fe::register_check_plugin(plugin("second"));
    EXPECT_EQ(numbered(fe::detail::get_plugin_check_entries()), (Pairs{{9, "first"}, {10, "second"}}));
    fe::clear_check_plugins();
    fe::register_check_plugin(plugin("second"));
    EXPECT_EQ(numbered(fe::detail::get_plugin_check_entries()), (Pairs{{9, "second"}}));
    // Derived afresh from the canonical entries of the moment.
    ep::override_check_registry_entries(std::vector<ep::CheckEntry>{{2, "a"}, {12, "b"}, {5, "c"}});
    EXPECT_EQ(numbered(fe::detail::get_plugin_check_entries()), (Pairs{{13, "second"}}));
    ep::override_check_registry_entries(std::nullopt);

    EXPECT_EQ(value_error([] { fe::register_check_plugin(plugin("contract")); }),
              "Evaluation check plugin name 'contract' collides with a canonical filtration check name.");
    EXPECT_EQ(value_error([] { fe::register_check_plugin(plugin("second")); }),
              "Duplicate evaluation check plugin name 'second'.");
    auto copy = fe::get_registered_plugins();  // a copy
    copy.push_back(plugin("other"));
    EXPECT_EQ(fe::get_registered_plugins().size(), 1U);
    EXPECT_EQ(value_error([] { fe::detail::build_plugin_check_entries({plugin("a"), plugin("b"), plugin("a")}); }),
              "Duplicate evaluation check plugin name 'a'.");
}

// The catalogue has each of the service's checks under the service's number, and the published
// table takes its flags from it: contract verifies all four, no other check any.
TEST_F(CheckTables, CatalogueAgreesWithTheServiceAndFeedsTheRegistryTable) {
    std::vector<ep::CheckEntry> rows;
    for (const fd::CheckDescriptor& check : fd::check_catalogue()) rows.emplace_back(check.number, check.name);
    EXPECT_EQ(rows, ep::get_check_registry_entries("filtration"));
    ASSERT_EQ(fe::CHECK_REGISTRY().size(), rows.size());
    for (const auto& [name, entry] : fe::CHECK_REGISTRY()) {
        const std::vector<bool> flags{entry.verifies_return_shape, entry.verifies_return_ids,
                                      entry.verifies_input_immutability, entry.verifies_empty_pool};
        EXPECT_EQ(flags, std::vector<bool>(4, name == "contract")) << name;
        EXPECT_EQ(entry.default_mode, "mandatory");
    }
    EXPECT_TRUE(ep::get_check_key_map("product").empty());
}

}  // namespace
