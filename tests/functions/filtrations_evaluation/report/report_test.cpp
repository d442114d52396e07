// Reproducers and the HTML report, judged on operators with known faults: what the folders hold
// must replay through resolve_filtrations exactly as written, and recording must not change a run.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/html_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/recorded_run_internal.hpp"
#include "brindlecap/runtime/log.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace brindlecap::test::report {
namespace {

namespace fs = std::filesystem;
namespace rs = functions::registry_and_store;
using namespace brindlecap::test::checks;
using rt::List;

// ---- Operators with known faults --------------------------------------------------------------

// gt written with >=.
fe::Operator sloppy_gt() {
    return select_where("gt", [](const Value& v, const Dict& p) { return v.to_double() >= p.at("value").to_double(); });
}

// and_ that returns the union of its children.
fe::Operator union_and() {
    return fe::combinator_operator("and_", [](const IdSet&, const Dict&, const std::vector<IdSet>& children) {
        IdSet out = children.front();
        for (const IdSet& c : children) out |= c;
        return fe::OperatorResult(std::move(out));
    });
}

// gt that overflows (raises) on values beyond 1e300.
fe::Operator overflowing_gt() {
    return select_where("gt", [](const Value& v, const Dict& p) {
        if (v.to_double() > 1e300) throw rt::ValueError("value out of range: " + rt::repr(v));
        return v.to_double() > p.at("value").to_double();
    });
}

// gt that forgets its selection on every second call.
fe::Operator forgetful_gt() {
    auto calls = std::make_shared<std::atomic<int>>(0);
    return fe::field_operator("gt", [calls](const fe::PreparedField& prepared, const Dict& params) {
        IdSet out = IdSet::over(prepared.pool_keys.universe());
        if ((*calls)++ % 2 == 1) return fe::OperatorResult(std::move(out));
        for (const auto& pv : prepared.values) {
            if (pv.value->to_double() > params.at("value").to_double()) out.insert(pv.id);
        }
        return fe::OperatorResult(std::move(out));
    });
}

rs::FunctionStore store_with(const std::string& name, fe::Operator op) {
    rs::FunctionStore store = rs::build_default_store();
    store.register_entry(rs::StoreEntry{.name = name, .function_type = "filtration", .factory = std::move(op)});
    return store;
}

fe::FiltrationEvaluationConfig config_without_timing() {
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.skip_checks = {8};
    c.mock_signals = load_golden("demo_signals.json").as_dict();
    return c;
}

struct Judged {
    fe::FiltrationEvaluationResult result;
    fe::RunObservations seen;
};

Judged judge(const rs::FunctionStore& store, const std::string& name,
             fe::FiltrationEvaluationConfig config = config_without_timing()) {
    fe::RunRecorder recorder;
    fe::FiltrationEvaluationResult result = fe::evaluate(config, std::vector<fe::EvalFiltrationConfig>{{name, {}}}, store);
    return {std::move(result), recorder.observations()};
}

// ---- Files ------------------------------------------------------------------------------------

fs::path scratch(const std::string& name) {
    const fs::path dir = fs::path(::testing::TempDir()) / ("report_test_" + name);
    fs::remove_all(dir);
    return dir;
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Value read_json(const fs::path& path) { return rt::read_json_file(path.string()); }

// What resolve_filtrations selects from a folder's pool and tree with `store`: the ids, or the
// error "Kind: text" (an empty selection is the EmptyFiltrationError of resolve).
struct Replayed {
    std::vector<std::string> ids;
    std::string error;
};
Replayed resolve_folder(const fs::path& folder, const rs::FunctionStore& store) {
    const fe::SignalPool pool = fe::pool_from_value(read_json(folder / "pool.json"));
    const fe::FilterNode tree = fe::tree_from_value(read_json(folder / "tree.json"));
    try {
        return {fe::resolve_filtrations(pool, tree, store).passing_ids, ""};
    } catch (const fe::EmptyFiltrationError&) {
        return {{}, ""};
    } catch (const rt::Exception& e) {
        return {{}, e.kind() + ": " + e.text()};
    }
}

std::vector<fs::path> folders_of(const std::vector<fe::ReproducerFolder>& folders, const std::string& check) {
    std::vector<fs::path> out;
    for (const auto& f : folders) {
        if (f.check == check) out.push_back(f.path);
    }
    return out;
}

// ---- Recording ----------------------------------------------------------------------------------

// Every check's outcome, evidence included, as text (NaN compares equal to NaN this way).
std::vector<std::string> outcomes(const fe::FiltrationEvaluationResult& result) {
    std::vector<std::string> out;
    for (const auto& [name, operator_result] : result.operator_results) {
        for (const auto& [check, outcome] : operator_result.checks) {
            out.push_back(name + "/" + check + ": " + verdict(outcome) + " " + rt::repr(Value(outcome.evidence)));
        }
    }
    return out;
}

TEST(RunRecorder, RecordingChangesNoOutcome) {
    for (const auto& [name, op] : std::vector<std::pair<std::string, fe::Operator>>{
             {"gt", sloppy_gt()}, {"and_", union_and()}, {"gt", overflowing_gt()}, {"top_n", top_n_without_ties()}}) {
        const rs::FunctionStore store = store_with(name, op);
        auto plain_config = config_without_timing();
        const auto plain = fe::evaluate(plain_config, std::vector<fe::EvalFiltrationConfig>{{name, {}}}, store);
        const Judged recorded = judge(store, name);
        EXPECT_EQ(outcomes(plain), outcomes(recorded.result)) << name;
        EXPECT_GT(recorded.seen.disagreement_count(), 0u) << name;
    }
}

// The observer's records of default calls describe the call call_operator really makes.
TEST(RunRecorder, DefaultCallArgumentsAreTheCallsOwn) {
    const fe::SignalPool pool = fe::pool_from_value(Value(mock_signals(6)));
    Dict seen_params;
    std::optional<std::vector<IdSet>> seen_children;
    const fe::Operator capture = [&](const fe::OperatorCall& call) -> fe::OperatorResult {
        seen_params = *call.params;
        seen_children.reset();
        if (call.children_results != nullptr) seen_children = *call.children_results;
        return IdSet{};
    };
    std::vector<std::string> names = rs::build_default_store().list_by_function_type("filtration");
    names.push_back("my_operator");
    for (const std::string& name : names) {
        const fe::OperatorCategory category = fe::operator_category(name);
        (void)fd::call_operator(name, capture, pool, category);
        const fd::CallArguments args = fd::default_call_arguments(name, pool, category);
        EXPECT_EQ(Value(seen_params), Value(args.params)) << name;
        EXPECT_EQ(seen_children, args.children) << name;
    }
}

TEST(RunRecorder, OneAtATimeAndNothingOutsideItsLifetime) {
    const rs::FunctionStore store = store_with("gt", sloppy_gt());
    fe::RunObservations before;
    {
        fe::RunRecorder recorder;
        EXPECT_THROW(fe::RunRecorder second, rt::RuntimeError);
        before = recorder.observations();
    }
    auto config = config_without_timing();
    (void)fe::evaluate(config, std::vector<fe::EvalFiltrationConfig>{{"gt", {}}}, store);
    EXPECT_EQ(before.disagreement_count(), 0u);
    EXPECT_EQ(fd::run_observer(), nullptr);
    fe::RunRecorder again;  // the slot is free again
}

TEST(RunRecorder, BiasTrialsAndSpeedRunsAreTheChecksOwnNumbers) {
    fe::FiltrationEvaluationConfig config;
    config.mode = "mock";
    config.mock_signals = mock_signals(40);
    config.N_trials = 12;
    config.speed_small_T = 3;
    config.speed_large_T = 2;
    const Judged run = judge(rs::build_default_store(), "top_pct", config);
    const auto& verdict = run.result.operator_results.front().second;
    const fd::OperatorObservations* seen = run.seen.data().find("top_pct");
    ASSERT_NE(seen, nullptr);

    ASSERT_EQ(seen->bias_trials.size(), 12u);
    double sum = 0.0;
    for (const auto& t : seen->bias_trials) sum += t.fraction.value();
    EXPECT_DOUBLE_EQ(sum / 12.0, verdict.check("bias")->evidence.at("observed_ratio").as_float());

    ASSERT_EQ(seen->speed_runs.size(), 2u);
    const Dict& speed = verdict.check("speed")->evidence;
    EXPECT_EQ(seen->speed_runs[0].which, "small");
    EXPECT_EQ(seen->speed_runs[0].elapsed_s, speed.at("small_elapsed_s").as_float());
    EXPECT_EQ(seen->speed_runs[1].elapsed_s, speed.at("large_elapsed_s").as_float());
    EXPECT_EQ(seen->speed_runs[1].calls, 2);
}

// Runs on two threads report to one recorder; every report is kept (the TSan run checks the rest).
TEST(RunRecorderThreads, ConcurrentReportsAreAllKept) {
    fe::RunRecorder recorder;
    const auto report = [](const std::string& op_name) {
        for (int trial = 0; trial < 500; ++trial) fd::run_observer()->bias_trial(op_name, trial, 0.5);
    };
    std::thread first(report, "gt");
    std::thread second(report, "lt");
    report("gt");
    first.join();
    second.join();
    const fe::RunObservations seen = recorder.observations();
    EXPECT_EQ(seen.data().find("gt")->bias_trials.size(), 1000u);
    EXPECT_EQ(seen.data().find("lt")->bias_trials.size(), 500u);
}

// ---- Reproducers --------------------------------------------------------------------------------

TEST(Reproducers, SloppyGtShrinksToTheSignalAtItsThresholdWithinTheTimeBound) {
    const rs::FunctionStore sloppy = store_with("gt", sloppy_gt());
    const Judged run = judge(sloppy, "gt");
    const fs::path dir = scratch("sloppy_gt");
    const auto folders = fe::write_reproducers(run.seen, dir, "replay {pool} {tree}");

    const auto correctness = folders_of(folders, "correctness");
    ASSERT_EQ(correctness.size(), 3u);  // one per parameter set
    EXPECT_EQ(folders.size(), correctness.size());
    for (const fs::path& folder : correctness) {
        SCOPED_TRACE(folder.string());
        const Dict pool = read_json(folder / "pool.json").as_dict();
        const Dict tree = read_json(folder / "tree.json").as_dict();
        const std::vector<std::string> extra = strings_of(read_json(folder / "difference.json").as_dict().at("extra"));
        EXPECT_LE(pool.size(), 2u);
        ASSERT_EQ(extra.size(), 1u);
        // The extra signal sits exactly on the threshold, with the field and nothing else.
        const Dict& metadata = pool.at(extra.front()).as_dict();
        EXPECT_EQ(metadata.at("is_sharpe"), tree.at("params").as_dict().at("value"));
        EXPECT_EQ(metadata.size(), 1u);

        // Replayed as written: the sloppy operator selects selected.json, the built-in expected.json.
        EXPECT_EQ(resolve_folder(folder, sloppy).ids, strings_of(read_json(folder / "selected.json")));
        EXPECT_EQ(resolve_folder(folder, rs::build_default_store()).ids, strings_of(read_json(folder / "expected.json")));
        EXPECT_NE(read_text(folder / "README.md").find("Replay: replay " + (folder / "pool.json").string() + " " +
                                                       (folder / "tree.json").string()),
                  std::string::npos);
    }
    EXPECT_EQ(read_json(dir / "index.json").as_dict().at("reproducers").as_list().size(), folders.size());

    // With no time to shrink, each folder keeps the check's pool, still a reproducer, and says so.
    fe::ShrinkOptions no_time;
    no_time.seconds_per_failure = 0.0;
    const auto unshrunk = fe::write_reproducers(run.seen, scratch("time_bound"), "replay {pool} {tree}", no_time);
    ASSERT_EQ(unshrunk.size(), folders.size());
    for (const auto& f : unshrunk) {
        EXPECT_TRUE(f.stopped_by_time_bound);
        EXPECT_EQ(f.signals, f.original_signals);
        EXPECT_FALSE(f.extra.empty());
        EXPECT_NE(read_text(f.path / "README.md").find("stopped at its time bound"), std::string::npos);
    }
}

TEST(Reproducers, CombinatorChildrenReplayThroughIdentifierLeavesAndWriteTheSameTwice) {
    const rs::FunctionStore faulty = store_with("and_", union_and());
    const Judged run = judge(faulty, "and_");
    const fs::path a = scratch("union_and_a"), b = scratch("union_and_b");
    const auto folders = fe::write_reproducers(run.seen, a, "replay");
    ASSERT_EQ(folders_of(folders, "correctness").size(), 1u);
    ASSERT_EQ(folders_of(folders, "nan_handling").size(), 1u);
    for (const auto& f : folders) {
        SCOPED_TRACE(f.relative_path);
        const Dict tree = read_json(f.path / "tree.json").as_dict();
        ASSERT_EQ(tree.at("children").as_list().size(), 2u);
        for (const Value& leaf : tree.at("children").as_list()) EXPECT_EQ(leaf.as_dict().at("function_name"), Value("in_"));
        EXPECT_FALSE(f.extra.empty());
        EXPECT_LE(f.signals, 2u);
        EXPECT_EQ(resolve_folder(f.path, faulty).ids, strings_of(read_json(f.path / "selected.json")));
        EXPECT_EQ(resolve_folder(f.path, rs::build_default_store()).ids, strings_of(read_json(f.path / "expected.json")));
    }
    // The same observations give the same files (but for the time shrinking took).
    ASSERT_EQ(fe::write_reproducers(run.seen, b, "replay").size(), folders.size());
    const auto untimed = [](const fs::path& path) {
        return std::regex_replace(read_text(path), std::regex(R"(, [0-9.]+ s\))"), ", s)");
    };
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(a)) {
        if (!entry.is_regular_file()) continue;
        const fs::path relative = fs::relative(entry.path(), a);
        EXPECT_EQ(untimed(entry.path()), untimed(b / relative)) << relative;
        ++files;
    }
    EXPECT_EQ(files, 3 + 6 * folders.size());  // index.json, README.md, the marker
}

TEST(Reproducers, AnErrorKeepsItsKindAndLosesTheFieldsItDoesNotNeed) {
    const rs::FunctionStore faulty = store_with("gt", overflowing_gt());
    const Judged run = judge(faulty, "gt");
    const auto folders = fe::write_reproducers(run.seen, scratch("overflowing_gt"), "replay {pool} {tree}");
    ASSERT_EQ(folders.size(), 1u);
    const fe::ReproducerFolder& f = folders.front();
    EXPECT_EQ(f.check, "boundary_conditions");
    EXPECT_EQ(f.label, "BC-04");
    EXPECT_EQ(f.signals, 1u);
    const Dict metadata = read_json(f.path / "pool.json").as_dict().value(0).as_dict();
    ASSERT_EQ(metadata.size(), 1u);  // BC-04's signal carries four fields; gt reads one
    EXPECT_GT(metadata.at("is_sharpe").as_float(), 1e300);
    const Dict selected = read_json(f.path / "selected.json").as_dict();
    EXPECT_EQ(selected.at("error"), Value("ValueError"));
    EXPECT_EQ(resolve_folder(f.path, faulty).error, "ValueError: " + selected.at("message").as_str());
    EXPECT_EQ(f.error, "ValueError: " + selected.at("message").as_str());
}

TEST(Reproducers, CallsThatDifferFromTheFirstAreKeptWithBothSelections) {
    const Judged run = judge(store_with("gt", forgetful_gt()), "gt");
    const auto folders = fe::write_reproducers(run.seen, scratch("forgetful_gt"), "replay {pool} {tree}");
    const auto determinism = folders_of(folders, "determinism");
    ASSERT_EQ(determinism.size(), 1u);
    EXPECT_NE(read_json(determinism.front() / "expected.json"), read_json(determinism.front() / "selected.json"));
    EXPECT_EQ(read_json(determinism.front() / "pool.json").as_dict().size(), 1u);
}

TEST(Reproducers, OperatorNamesBecomeSafeFolderNames) {
    const Judged run = judge(store_with("../gt x", raising_leaf("gt", rt::ValueError("boom"))), "../gt x");
    const fs::path dir = scratch("names");
    const auto folders = fe::write_reproducers(run.seen, dir, "replay {pool}");
    ASSERT_FALSE(folders.empty());
    for (const auto& f : folders) {
        EXPECT_NE(f.relative_path.front(), '.') << f.relative_path;  // neither a parent nor hidden
        EXPECT_EQ(f.relative_path.find(' '), std::string::npos) << f.relative_path;
        EXPECT_EQ(fs::path(f.relative_path).lexically_normal(), fs::path(f.relative_path));
        EXPECT_TRUE(fs::exists(dir / f.relative_path / "pool.json"));
        // The replay command quotes nothing that needs no quotes, and the path stays one word.
        EXPECT_EQ(f.replay, "replay " + fe::shell_quote((f.path / "pool.json").string()));
    }
    EXPECT_EQ(fe::shell_quote("it's here"), "'it'\\''s here'");
}

// Every file under dir, relative, with its text.
std::map<std::string, std::string> tree_of(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        out[fs::relative(entry.path(), dir).string()] = entry.is_regular_file() ? read_text(entry.path()) : "/";
    }
    return out;
}

TEST(Reproducers, WriteOnlyIntoANewEmptyOrMarkedDirectoryAndReplaceOnlyTheEarlierRunsFolders) {
    const Judged sloppy = judge(store_with("gt", sloppy_gt()), "gt");
    const Judged faulty = judge(store_with("and_", union_and()), "and_");
    const auto write = [](const Judged& run, const fs::path& dir) { return fe::write_reproducers(run.seen, dir, "r {pool}"); };
    const auto put = [](const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    };

    // Refused, nothing touched: a user's directory (a folder named like the operator, a README),
    // a file, and in a marked directory a folder the earlier run did not list.
    const fs::path users = scratch("users"), file = scratch("file"), marked = scratch("marked_taken");
    put(users / "README.md", "mine");
    put(users / "gt" / "notes.txt", "mine");
    put(file, "mine");
    write(faulty, marked);
    put(marked / "gt" / "notes.txt", "mine");
    for (const auto& [dir, message] : std::vector<std::pair<fs::path, std::string>>{
             {users, "refusing to write reproducers into '" + users.string() + "': it is not empty"},
             {file, "cannot write reproducers into '" + file.string() + "': it is not a directory"},
             {marked, "refusing to write reproducers into '" + (marked / "gt").string() + "'"}}) {
        SCOPED_TRACE(dir.string());
        const auto before = fs::is_directory(dir) ? tree_of(dir) : std::map<std::string, std::string>{};
        try {
            write(sloppy, dir);
            ADD_FAILURE() << "written";
        } catch (const rt::FileExistsError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
        if (dir != marked) EXPECT_THROW(fe::check_reproducer_directory(dir), rt::FileExistsError);
        if (fs::is_directory(dir)) EXPECT_EQ(tree_of(dir), before);
    }
    EXPECT_EQ(read_text(file), "mine");

    // A new directory and an empty one are written, and marked.
    const fs::path fresh = scratch("fresh"), empty = scratch("empty");
    fs::create_directories(empty);
    for (const fs::path& dir : {fresh, empty}) {
        EXPECT_NO_THROW(fe::check_reproducer_directory(dir));
        EXPECT_EQ(write(sloppy, dir).size(), 3u);
        EXPECT_TRUE(fs::exists(dir / fe::REPRODUCER_DIRECTORY_MARKER));
    }

    // A marked directory rewritten by another run: the earlier run's folders go, the user's
    // files stay, whatever the earlier index.json claims beyond its own folders.
    put(fresh / "notes.txt", "mine");
    put(fresh / "gt" / "notes.txt", "mine");
    put(fresh / "data" / "keep.json", "mine");
    rt::Dict index = read_json(fresh / "index.json").as_dict();
    rt::List entries = index.at("reproducers").as_list();
    for (const char* foreign : {"..", "../users/gt", "data", "/tmp/x", "data/../../users", "data/keep.json", "data/-1"}) {
        entries.emplace_back(rt::Dict{{"folder", foreign}});
    }
    index.set("reproducers", Value::list(std::move(entries)));
    put(fresh / "index.json", rt::to_json(Value(index)));
    const auto folders = write(faulty, fresh);
    std::set<std::string> top;
    for (const auto& entry : fs::directory_iterator(fresh)) top.insert(entry.path().filename().string());
    EXPECT_EQ(top, (std::set<std::string>{fe::REPRODUCER_DIRECTORY_MARKER, "README.md", "and_", "data", "gt",
                                          "index.json", "notes.txt"}));
    EXPECT_EQ(tree_of(fresh / "gt"), (std::map<std::string, std::string>{{"notes.txt", "mine"}}));
    EXPECT_EQ(read_text(fresh / "data" / "keep.json"), "mine");
    EXPECT_EQ(tree_of(users).size(), 3u);  // README.md, gt, gt/notes.txt
    EXPECT_EQ(read_json(fresh / "index.json").as_dict().at("reproducers").as_list().size(), folders.size());
}

// ---- HTML report --------------------------------------------------------------------------------

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(HtmlReport, EscapesWhatComesFromDataAndDrawsTheCharts) {
    const std::string hostile = "gt<script>alert('x')</script>&";
    fe::FiltrationEvaluationConfig config = config_without_timing();
    config.skip_checks = {};
    config.speed_small_T = 2;
    config.speed_large_T = 2;
    rs::FunctionStore store = store_with(hostile, raising_leaf("gt", rt::ValueError("<b>boom</b>")));
    store.register_entry(rs::StoreEntry{.name = "top_n", .function_type = "filtration", .factory = top_n_without_ties()});
    fe::RunRecorder recorder;
    rt::LogCapture quiet;  // the raising operator's speed iterations log warnings
    const auto result = fe::evaluate(
        config, std::vector<fe::EvalFiltrationConfig>{{hostile, {}}, {"top_n", {}}, {"and_", {}}}, store);
    const fe::RunObservations seen = recorder.observations();
    const fs::path dir = scratch("html");
    fe::HtmlReportOptions options;
    options.command = "filtrations evaluate --seed 0 <&>";
    options.reproducers = fe::write_reproducers(seen, dir / "repro", "replay {pool} {tree}");
    options.page_directory = dir;
    const std::string page = fe::render_html_report(result, seen, options);

    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_NE(page.find("gt&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;"), std::string::npos);
    EXPECT_NE(page.find("filtrations evaluate --seed 0 &lt;&amp;&gt;"), std::string::npos);
    EXPECT_EQ(page.find("<b>boom"), std::string::npos);
    EXPECT_NE(page.find("&lt;b&gt;boom&lt;/b&gt;"), std::string::npos);
    // Nothing to fetch: the only URL is the SVG namespace.
    EXPECT_EQ(count(page, "http"), count(page, "xmlns=\"http://www.w3.org/2000/svg\""));

    EXPECT_EQ(count(page, "<tr class=\"accepted\">") + count(page, "<tr class=\"rejected\">"), 3u);
    EXPECT_EQ(count(page, "<svg class=\"chart bias-chart\""), 1u);  // top_n; the others have no trials
    EXPECT_EQ(count(page, "<svg class=\"chart speed-chart\""), 1u);
    EXPECT_EQ(count(page, "<rect class=\"bar"), 6u);  // three operators, small and large
    // The configuration ends with the fixtures' shape: no real-mode rows when none are given.
    EXPECT_NE(page.find("<td>50</td></tr><tr><th>N_alloc</th><td>50</td></tr><tr><th>operators</th>"), std::string::npos);
    // Links to the reproducers, relative to the page, each in its own operator and check's cell.
    ASSERT_GT(options.reproducers.size(), 1u);
    for (const auto& f : options.reproducers) {
        EXPECT_EQ(count(page, "href=\"repro/" + f.relative_path + "/README.md\""), 1u) << f.relative_path;
    }
}

TEST(HtmlReport, BiasChartShowsEveryTrialAgainstTheBand) {
    std::vector<fd::BiasTrial> trials{{0, 0.1}, {1, 0.3}, {2, std::nullopt}};
    const std::string svg = fd::bias_chart_svg("top_pct", trials, 0.1, 0.05, true);
    EXPECT_EQ(count(svg, "<circle class=\"trial\""), 1u);
    EXPECT_EQ(count(svg, "<circle class=\"trial outside\""), 1u);
    EXPECT_EQ(count(svg, "class=\"trial-error\""), 1u);
    EXPECT_EQ(count(svg, "<rect class=\"band\""), 1u);
    EXPECT_EQ(fd::bias_chart_svg("top_pct", {}, 0.1, 0.05, true), "");
    // Comparison operators are not held to the band: no trial is marked.
    EXPECT_EQ(count(fd::bias_chart_svg("gt", trials, 0.1, 0.05, false), "outside"), 0u);
}

}  // namespace
}  // namespace brindlecap::test::report
