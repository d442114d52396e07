#pragma once
// What a rejected operator's author reads: reproducers of every failing comparison of the
// deterministic checks, shrunk to small pools, and one self-contained HTML page of the run.
//
//   fe::RunRecorder recorder;                       // records while it lives
//   const auto result = fe::evaluate(config, operator_configs, store);
//   const fe::RunObservations seen = recorder.observations();
//   const auto folders = fe::write_reproducers(seen, "build/repro",
//                                              "filtrations resolve --pool {pool} --tree {tree}");
//   fe::write_html_report("build/report.html", result, seen, {.reproducers = folders});
//
// A run without a recorder records nothing and pays nothing for it.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/acceptance/results.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// Opaque: what a recording run keeps, and the observer that keeps it (report/ internals).
struct RecordedRun;
class RecordingObserver;

// What the checks of a recording run reported: the failing comparisons (with the operator, pool,
// parameters and expectation of each), the bias check's per-trial fractions and the speed
// check's timings, by operator. Shares its data; cheap to copy.
class RunObservations {
public:
    RunObservations();
    explicit RunObservations(std::shared_ptr<const RecordedRun> data);
    std::size_t disagreement_count() const;
    const RecordedRun& data() const { return *data_; }

private:
    std::shared_ptr<const RecordedRun> data_;
};

// Installs the process-wide observer of the checks for its lifetime. One at a time: a second
// recorder while one lives raises RuntimeError. Runs on other threads meanwhile are recorded too.
class RunRecorder {
public:
    RunRecorder();
    ~RunRecorder();
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    // A snapshot of what was recorded so far.
    RunObservations observations() const;

private:
    std::unique_ptr<RecordingObserver> observer_;
};

struct ShrinkOptions {
    double seconds_per_failure = 2.0;   // wall-clock bound of each failure's shrinking
    std::size_t max_evaluations = 50000;  // and of its operator calls (a bound that does not depend on the machine)
};

// `text` as one word for a POSIX shell: unchanged when no character in it means anything to the
// shell, else single-quoted. For the replay commands of front ends.
std::string shell_quote(const std::string& text);

// A failing comparison shrunk to a small pool, to show beside the failed check: the call, the
// signals it was made on (their shrunk metadata), what was expected and what the operator gave.
struct Counterexample {
    std::string operator_name;
    std::string check;
    std::string label;                     // the comparison within the check
    runtime::Dict params;                  // the call's parameters
    std::vector<std::vector<std::string>> children;  // a combinator's children (restricted to the pool)
    runtime::Dict pool;                    // signal id -> shrunk metadata
    std::size_t original_signals = 0;      // in the check's pool
    std::string expectation;               // what was expected, in words
    std::optional<std::vector<std::string>> expected;  // the expected selection, when there is one
    std::optional<std::vector<std::string>> selected;  // nullopt: the operator raised `error`
    std::string error;                     // "Kind: text"
    std::vector<std::string> missing;      // expected, not selected
    std::vector<std::string> extra;        // selected, not expected
    bool reproduced = true;                // false: calling again showed no disagreement (pool not shrunk)
    std::string detail;                    // "relation: <its second call>" or "changed: <what the call changed>"
};

// Lines for a terminal or a test failure, each starting with `indent`:
//   counterexample (parameter set 1 of 3), 1 signal shrunk from 25:
//     call: gt(field='is_sharpe', value=0.0)
//     test_010: {'is_sharpe': 0.0}
//     expected: none
//     got: test_010
std::string counterexample_text(const Counterexample& example, const std::string& indent = "");

// The first failing comparison of every (operator, check) whose check writes reproducers,
// shrunk as write_reproducers shrinks it; in the order of the observations.
std::vector<Counterexample> shrink_counterexamples(const RunObservations& observations,
                                                   const ShrinkOptions& options = {});

// One folder written by write_reproducers.
struct ReproducerFolder {
    std::string operator_name;
    std::string check;
    std::string label;                // the comparison within the check
    std::string relative_path;        // from the reproducer directory, '/' separated
    std::filesystem::path path;       // the directory joined with relative_path
    std::size_t signals = 0;          // in the shrunk pool
    std::size_t original_signals = 0; // in the check's pool
    std::vector<std::string> missing; // expected, not selected (shrunk pool)
    std::vector<std::string> extra;   // selected, not expected (shrunk pool)
    std::string error;                // "Kind: text" when the operator raised on the shrunk pool
    bool reproduced = true;           // false: calling the operator again showed no disagreement
    bool stopped_by_time_bound = false;
    std::string replay;               // the command that replays it
    Counterexample counterexample;    // the same comparison, to show inline
};

// The first counterexample of each (operator, check) among written folders, in their order.
std::vector<Counterexample> counterexamples_of(const std::vector<ReproducerFolder>& folders);

// The file write_reproducers leaves in its directory: a directory holding it was written by an
// earlier run, whose folders (those its index.json lists) a new run may replace.
inline constexpr const char* REPRODUCER_DIRECTORY_MARKER = ".brindlecap-reproducers";

// Raises FileExistsError unless write_reproducers may write into `dir`: it does not exist yet,
// or it is an empty directory, or it holds REPRODUCER_DIRECTORY_MARKER. For front ends that
// refuse a directory before a long run.
void check_reproducer_directory(const std::filesystem::path& dir);

// For every failing comparison of a check that writes reproducers (the deterministic checks: the
// check catalogue says which), shrinks the pool (signals, then metadata fields, then values) to
// one that still shows the same disagreement, calling the operator and the reference through
// the check's own call path, and writes a folder under dir/<operator>/<check>-<n>/: pool.json,
// tree.json, expected.json, selected.json, difference.json and README.md. Also dir/index.json,
// dir/README.md listing the folders, and the marker. `dir` must pass check_reproducer_directory;
// in a marked directory the folders of the earlier run (listed in its index.json) are removed,
// nothing else, and a folder to write that the earlier run did not list raises FileExistsError
// before anything is changed.
// `replay_command` is the front end's command line with {pool} and {tree} standing for the
// files' paths, e.g. "filtrations resolve --pool {pool} --tree {tree}". A folder whose tree resolve
// refuses (a field leaf under a name the vocabulary does not list) replays with the same command,
// its word "resolve" replaced by "replay": the front end's command that makes the one call
// (replay_call). Deterministic: the same
// observations give the same folders unless a time bound stopped the shrinking.
std::vector<ReproducerFolder> write_reproducers(const RunObservations& observations, const std::filesystem::path& dir,
                                                const std::string& replay_command, const ShrinkOptions& options = {});

// The one operator call a reproducer folder records: the root of `call` (tree.json) taken from
// the store and called once through the checks' call path on the pool, with the node's
// parameters; its children (in_ leaves) resolved first and handed to it as children results.
// Unlike resolve_filtrations, the operator's name need not be in the vocabulary of field types.
IdSet replay_call(const SignalPool& pool, const FilterNode& call, const registry_and_store::FunctionStore& store);

// What a reproducer folder's call does against its expect.json (folders of direct calls: the
// strict checks' other than the differential one): the call made as the check made it, the second
// call of a relation too, and whether it does what `expect` says. For `replay --expect`.
struct ReplayVerdict {
    bool holds = false;
    std::string text;  // lines: the expectation, what was expected and what the call did
};
ReplayVerdict replay_expectation(const SignalPool& pool, const FilterNode& call, const runtime::Value& expect,
                                 const registry_and_store::FunctionStore& store);

// JUnit XML of a run for CI systems: a test suite per operator, a test case per check (skipped
// checks as skipped), a failure element per failed check that counts (an info check's failure is
// written as the test case's output), with the check's details and the operator's counterexample
// of that check, if any.
std::string render_junit_xml(const FiltrationEvaluationResult& result, const std::vector<Counterexample>& counterexamples = {});
void write_junit_xml(const std::filesystem::path& file, const FiltrationEvaluationResult& result,
                     const std::vector<Counterexample>& counterexamples = {});

struct HtmlReportOptions {
    std::string title = "Filtration operator acceptance";
    std::string source;   // where the signals came from, e.g. "the embedded demo signal set"
    std::string command;  // the command line that repeats the run
    std::vector<ReproducerFolder> reproducers;
    // Shown beside their failed checks; when empty, the reproducers' own.
    std::vector<Counterexample> counterexamples;
    std::filesystem::path page_directory;  // reproducer links are relative to it (default: current directory)
};

// One self-contained page (inline CSS and SVG, no scripts, no external resources): the verdict
// matrix, each check's details and evidence, the bias check's per-trial fractions against the
// expected share and its tolerance band, the speed check's timings against the limits, links to
// the reproducers, the configuration and seed. Everything from data is escaped.
std::string render_html_report(const FiltrationEvaluationResult& result, const RunObservations& observations,
                               const HtmlReportOptions& options = {});

// render_html_report written to `file` (its directory created when missing); page_directory
// defaults to the file's directory. RuntimeError when it cannot be written.
void write_html_report(const std::filesystem::path& file, const FiltrationEvaluationResult& result,
                       const RunObservations& observations, HtmlReportOptions options = {});

}  // namespace brindlecap::functions::filtrations_evaluation
