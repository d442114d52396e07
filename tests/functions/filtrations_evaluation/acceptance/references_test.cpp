// Operators judged against the caller's oracle, test cases from JSON, and what a failed check shows:
// its shrunk counterexample, its JUnit failure, the one call that replays it.

#include <gtest/gtest.h>

#include "brindlecap/functions/filtrations_evaluation.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace brindlecap::test::references {
namespace {

namespace rs = functions::registry_and_store;
using namespace brindlecap::test::checks;

fe::Operator sloppy_gt(const std::string& name) {
    return select_where(name, [](const Value& v, const Dict& p) { return v.to_double() >= p.at("value").to_double(); });
}

rs::FunctionStore store_with(const std::string& name, fe::Operator op) {
    rs::FunctionStore store;
    store.register_entry(rs::StoreEntry{.name = name, .function_type = "filtration", .factory = std::move(op)});
    return store;
}

fe::FiltrationEvaluationConfig mock_config() {
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.skip_checks = {8};
    c.mock_signals = load_golden("demo_signals.json").as_dict();
    return c;
}

const fe::CheckOutcome& correctness(const fe::FiltrationEvaluationResult& r) {
    return *r.operator_results.front().second.check("correctness");
}

TEST(References, AnOperatorIsJudgedAgainstTheOracleNamedForIt) {
    struct Row {
        const char* name;
        fe::Operator op;
        std::optional<fe::Operator> oracle;
        CheckStatus status;
        const char* evidence;  // a key the correctness evidence must hold
    };
    const std::vector<Row> rows{
        {"my_gt", sloppy_gt("my_gt"), builtin("gt"), CheckStatus::fail, "custom_test_cases"},
        {"my_gt", builtin("gt"), builtin("gt"), CheckStatus::pass, "custom_test_cases"},
        {"my_gt", builtin("gt"), std::nullopt, CheckStatus::fail, "missing_correctness_oracle"},
        // A built-in's name takes its own parameter sets: n 5 cuts through the tie at the fifth place.
        {"top_n", top_n_without_ties(), builtin("top_n"), CheckStatus::fail, "custom_test_cases"},
        {"and_", builtin("or_"), builtin("and_"), CheckStatus::fail, "custom_test_cases"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fe::FiltrationEvaluationConfig config = mock_config();
        if (row.oracle) config.references[row.name] = *row.oracle;
        EXPECT_EQ(fe::researcher_reference(row.name, config).has_value(), row.oracle.has_value());
        const auto result = fe::evaluate(config, std::nullopt, store_with(row.name, row.op));
        EXPECT_EQ(correctness(result).status, row.status) << correctness(result).details;
        EXPECT_TRUE(correctness(result).evidence.contains(row.evidence));
    }
}

TEST(References, GivenCasesKeepTheirExpectedSetAndTheOracleSelectsTheOthers) {
    fe::CorrectnessTestCase given;
    given.params = Dict{{"field", "is_sharpe"}, {"value", 5.0}};
    given.expected = ids({"test_000"});
    fe::CorrectnessTestCase open = given;
    open.expected.reset();
    const auto cases = fe::complete_test_cases("my_gt", builtin("gt"), {given, open}, mock_config());
    EXPECT_EQ(cases[0].expected, ids({"test_000"}));
    EXPECT_FALSE(cases[0].pool.has_value());
    EXPECT_EQ(cases[1].expected, ids({"test_016", "test_017", "test_018", "test_019"}));
    ASSERT_TRUE(cases[1].pool.has_value());
    EXPECT_EQ(cases[1].pool->size(), 25u);  // the correctness pool, which the case now carries
}

TEST(References, TestCaseFilesNameTheItemAtFault) {
    const std::vector<std::pair<const char*, const char*>> rows{
        {R"([1])", "f: expected an object {operator name"},
        {R"({"g": {}})", "f: g: expected a list of test cases, got {}"},
        {R"({"g": [3]})", "f: g[0]: expected an object"},
        {R"({"g": [{}, {"expect": []}]})", "f: g[1].expect: unknown key"},
        {R"({"g": [{"expected": ["a", 3]}]})", "f: g[0].expected[1]: expected a signal id (a string), got 3"},
        {R"({"g": [{"pool": {"a": 1}}]})", "f: g[0].pool['a']: expected a metadata object, got 1"},
        {R"({"g": [{"children_results": [["a"], "b"]}]})", "f: g[0].children_results[1]: expected a list of signal ids"},
    };
    for (const auto& [json, message] : rows) {
        try {
            fe::test_cases_from_value(rt::parse_json(json), "f");
            ADD_FAILURE() << json << " was accepted";
        } catch (const rt::ValueError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    const auto cases = fe::test_cases_from_value(rt::parse_json(
        R"({"g": [{"pool": {"a": {"x": NaN}}, "params": {"field": "x"}, "expected": ["a"], "children_results": [[]]}]})"));
    const fe::CorrectnessTestCase& tc = cases.at("g").at(0);
    EXPECT_EQ(tc.pool->front().first, "a");
    EXPECT_EQ(tc.expected, ids({"a"}));
    EXPECT_EQ(tc.children_results->size(), 1u);
}

TEST(References, AFailedCheckShowsItsShrunkCounterexampleAndReplaysAsOneCall) {
    fe::FiltrationEvaluationConfig config = mock_config();
    config.references["my_gt"] = builtin("gt");
    const rs::FunctionStore store = store_with("my_gt", sloppy_gt("my_gt"));
    fe::RunRecorder recorder;
    const auto result = fe::evaluate(config, std::nullopt, store);
    const auto examples = fe::shrink_counterexamples(recorder.observations());
    ASSERT_EQ(examples.size(), 1u);
    const fe::Counterexample& c = examples[0];
    EXPECT_EQ(c.check, "correctness");
    EXPECT_EQ(key_texts(c.pool), std::vector<std::string>{"test_010"});
    EXPECT_EQ(c.expected, std::vector<std::string>{});
    EXPECT_EQ(c.selected, std::vector<std::string>{"test_010"});
    const std::string text = fe::counterexample_text(c, "  ");
    EXPECT_NE(text.find("  counterexample (custom case 1 of 3), 1 signal shrunk from 25:\n"
                        "    call: my_gt(field='is_sharpe', value=0.0)\n    test_010: {'is_sharpe': 0.0}\n"
                        "    expected: none\n    got: test_010\n"),
              std::string::npos)
        << text;

    const std::string xml = fe::render_junit_xml(result, examples);
    EXPECT_NE(xml.find("<testsuite name=\"my_gt\" tests=\"8\" failures=\"1\" errors=\"0\" skipped=\"1\">"),
              std::string::npos);
    EXPECT_NE(xml.find("<failure type=\"correctness\""), std::string::npos);
    EXPECT_NE(xml.find("got: test_010"), std::string::npos);
    fe::HtmlReportOptions page;
    page.counterexamples = examples;
    const std::string html = fe::render_html_report(result, recorder.observations(), page);
    EXPECT_NE(html.find("<h4>Counterexample</h4><p>custom case 1 of 3: <code>my_gt(field=&#39;is_sharpe&#39;, "
                        "value=0.0)</code> on 1 signal (shrunk from 25)</p>"),
              std::string::npos);
    EXPECT_NE(html.find("expected: <code>[]</code>; got: <code>[&#39;test_010&#39;]</code>"), std::string::npos);

    // resolve refuses a field leaf it does not know; the one call does not.
    const fe::SignalPool pool = fe::pool_from_value(Value(c.pool));
    const fe::FilterNode call{"my_gt", c.params, {}};
    EXPECT_THROW(fe::resolve_filtrations(pool, call, store), fe::FilterValidationError);
    EXPECT_EQ(fe::replay_call(pool, call, store), ids({"test_010"}));
    const auto dir = std::filesystem::path(::testing::TempDir()) / "references_test_replay";
    std::filesystem::remove_all(dir);
    const auto folders = fe::write_reproducers(recorder.observations(), dir, "tool resolve --pool {pool} --tree {tree}");
    ASSERT_FALSE(folders.empty());
    EXPECT_EQ(folders[0].replay.rfind("tool replay --pool ", 0), 0u) << folders[0].replay;
    EXPECT_EQ(folders[0].counterexample.selected, c.selected);
}

}  // namespace
}  // namespace brindlecap::test::references
