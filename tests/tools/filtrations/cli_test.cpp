#include "cli.hpp"

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/runtime/json.hpp"
#include "case_file.hpp"
#include "demo_signals.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"
#include "inputs.hpp"
#include "tree_expr.hpp"

namespace brindlecap::cli {
namespace {

namespace fe = functions::filtrations_evaluation;
namespace eu = functions::evaluation_utils;
using runtime::Dict;
using runtime::Value;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Outcome {
    int code = -1;
    std::string out, err;
    Dict json() const { return runtime::parse_json(out).as_dict(); }
};

Outcome run_cli(const std::vector<std::string>& args, Terminal terminal = {}) {
    std::ostringstream out, err;
    const int code = run(args, out, err, terminal);
    return {code, out.str(), err.str()};
}

// The value under a path of string keys in nested dicts.
const Value& at(const Dict& d, std::initializer_list<const char*> path) {
    const Dict* cur = &d;
    const Value* v = nullptr;
    for (const char* key : path) {
        v = &cur->at(Value(key));
        if (v->is_dict()) cur = &v->as_dict();
    }
    return *v;
}

// The value under a dotted path of keys.
Value at_path(const Dict& d, const std::string& path) {
    const Dict* cur = &d;
    std::size_t from = 0;
    for (std::size_t dot; (dot = path.find('.', from)) != std::string::npos; from = dot + 1) {
        cur = &cur->at(path.substr(from, dot - from)).as_dict();
    }
    return cur->at(path.substr(from));
}

std::string read_text(const std::string& file) {
    std::ostringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return text.str();
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::vector<std::string> lines_with(const std::string& text, const std::string& part = "") {
    std::istringstream lines(text);
    std::vector<std::string> out;
    for (std::string line; std::getline(lines, line);) {
        if (contains(line, part)) out.push_back(line);
    }
    return out;
}

// Checks 4 to 8 are skipped where a test needs a verdict that only checks 1 to 3 decide.
const std::vector<std::string> FAST = {"--skip", "4,5,6,7,8"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

class CliTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir_.file(name); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path(name), std::ios::binary) << text;
        return path(name);
    }
    // A signals file with the first `n` demo signals.
    std::string demo_subset(const std::string& name, std::size_t n) const {
        const Dict all = runtime::parse_json(demo_signals_json()).as_dict();
        Dict some;
        for (std::size_t i = 0; i < n; ++i) some.set(all.item(i).first, all.item(i).second);
        return write(name, runtime::to_json(Value(some)));
    }

    test::TempDir dir_;
    std::string pool_ = write("pool.json", std::string(demo_signals_json()));
};

// ---- bad input -------------------------------------------------------------------------------------

struct BadInput {
    std::vector<std::string> args;
    std::vector<std::string> err_parts;  // every one must appear in the message
};

void expect_bad_input(const BadInput& c) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    const Outcome o = run_cli(c.args);
    EXPECT_EQ(o.code, EXIT_BAD_INPUT) << joined << "\n" << o.err;
    EXPECT_EQ(o.out, "") << joined;  // nothing half-written
    EXPECT_TRUE(o.err.rfind("filtrations: error: ", 0) == 0) << joined << "\n" << o.err;
    for (const std::string& part : c.err_parts) EXPECT_TRUE(contains(o.err, part)) << joined << "\n" << o.err;
}

void run_sql(const std::string& db, const std::string& sql) {
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(handle);
    sqlite3_close(handle);
}

// Runs a command with `input` on standard input.
Outcome run_with_stdin(const std::vector<std::string>& args, const std::string& input) {
    std::istringstream in(input);
    std::streambuf* previous = std::cin.rdbuf(in.rdbuf());
    Outcome o = run_cli(args);
    std::cin.rdbuf(previous);
    std::cin.clear();
    return o;
}

// %NAME% in a case's text: the demo pool, the case's scratch directory, examples/ or a file in the former.
std::string expand(std::string text, const std::string& pool, const test::TempDir& dir) {
    static const std::regex placeholder("%([A-Za-z0-9_./-]+)%");
    std::string out;
    std::smatch m;
    while (std::regex_search(text, m, placeholder)) {
        const std::string name = m[1];
        out += m.prefix().str() + (name == "pool"       ? pool
                                   : name == "dir"      ? dir.path.string()
                                   : name == "examples" ? std::string(BRINDLECAP_EXAMPLES_DIR)
                                                        : dir.file(name));
        text = m.suffix();
    }
    return out + text;
}

// tests/data/cases/cli.jsonl: command lines and what they answer.
TEST_F(CliTest, CommandLinesFromTheTable) {
    for (const test::Case& c : test::read_cases("cli.jsonl")) {
        const test::TempDir dir;
        const auto x = [&](const Value& v) { return expand(v.as_str(), pool_, dir); };
        if (c.has("files")) {
            for (const auto& [name, text] : c["files"].as_dict()) {
                std::filesystem::create_directories(std::filesystem::path(dir.file(name.as_str())).parent_path());
                std::ofstream(dir.file(name.as_str()), std::ios::binary) << text.as_str();
            }
        }
        if (c.has("db")) eu::create_signal_metadata_db(x(c["db"]));
        if (c.has("sql")) run_sql(dir.file("x.db"), c.str("sql"));
        const auto args_of = [&](const Value& list) {
            std::vector<std::string> args;
            for (const Value& a : list.as_list()) {
                if (a.as_str() == "%fast%") args.insert(args.end(), FAST.begin(), FAST.end());
                else args.push_back(x(a));
            }
            return args;
        };
        if (c.has("before")) {
            for (const Value& step : c["before"].as_list()) EXPECT_EQ(run_cli(args_of(step)).code, EXIT_OK) << c.where;
        }
        const std::vector<std::string> args = args_of(c["args"]);
        const std::string input = c.has("stdin_file") ? read_text(x(c["stdin_file"])) : c.str("stdin");
        const Outcome o = c.has("stdin") || c.has("stdin_file") ? run_with_stdin(args, input)
                                                                : run_cli(args, Terminal{c.has("tty"), c.has("tty")});
        const std::string seen = c.where + "\n" + o.out + o.err;
        // A command leaves the process-wide store setting as it found it.
        EXPECT_EQ(eu::configured_signal_metadata_store(), std::nullopt) << c.where;
        EXPECT_EQ(o.code, c["exit"].as_int()) << seen;
        if (o.code == EXIT_BAD_INPUT && std::find(args.begin(), args.end(), "--json") == args.end()) {
            EXPECT_EQ(o.out, "") << seen;  // nothing half-written
            EXPECT_EQ(o.err.rfind("filtrations: error: ", 0), 0u) << seen;
        }
        for (const char* key : {"err", "out"}) {
            if (!c.has(key)) continue;
            for (const Value& part : c[key].as_list()) EXPECT_TRUE(contains(key[0] == 'e' ? o.err : o.out, x(part))) << x(part) << " in " << seen;
        }
        if (c.has("stdout")) EXPECT_EQ(o.out, x(c["stdout"])) << c.where;
        if (c.has("stderr")) EXPECT_EQ(o.err, x(c["stderr"])) << c.where;
        if (c.has("absent")) EXPECT_FALSE(std::filesystem::exists(x(c["absent"]))) << seen;
        if (c.has("exists")) EXPECT_TRUE(std::filesystem::exists(x(c["exists"]))) << seen;
        if (c.has("file_has")) {
            for (const auto& [file, part] : c["file_has"].as_dict()) EXPECT_TRUE(contains(read_text(x(file)), x(part))) << seen;
        }
        for (const char* key : {"lacks", "err_lacks"}) {
            if (!c.has(key)) continue;
            for (const Value& part : c[key].as_list()) EXPECT_FALSE(contains(key[0] == 'e' ? o.err : o.out, part.as_str())) << seen;
        }
        if (c.has("json") || c.has("json_has")) {
            const Dict doc = o.json();
            if (c.has("json")) {
                for (const auto& [key, v] : c["json"].as_dict()) EXPECT_EQ(at_path(doc, key.as_str()), v.is_str() ? Value(x(v)) : v) << seen;
            }
            if (c.has("json_repr")) {
                for (const auto& [key, v] : c["json_repr"].as_dict()) EXPECT_EQ(runtime::repr(at_path(doc, key.as_str())), v.as_str()) << seen;
            }
            if (c.has("round_trip")) EXPECT_EQ(runtime::to_json(Value(doc), 2) + "\n", o.out) << seen;
            if (c.has("json_has")) {
                for (const auto& [key, v] : c["json_has"].as_dict()) EXPECT_TRUE(contains(doc.at(key).as_str(), x(v))) << seen;
            }
        }
    }
}

// A short evaluate run, should a bad value get through.
const std::vector<std::string> QUICK_EVALUATE = with({"evaluate", "--operators", "gt"}, FAST);

// ---- input files -----------------------------------------------------------------------------------

TEST_F(CliTest, RunningOutOfMemoryReadingAnInputSaysSo) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address space limit and ASan's shadow memory do not mix";
#endif
    // A sparse 4 GiB file, read by a child whose address space has room for far less.
    const std::string big = write("big.json", ""), report = path("report.txt");
    std::filesystem::resize_file(big, std::uintmax_t{1} << 32);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
        const rlimit limit{room, room};
        setrlimit(RLIMIT_AS, &limit);
        std::ofstream err(report);
        const int code = run({"resolve", "--pool", big, "--tree", "gt(field=a, value=1)", "--json"}, err, err);
        err.close();
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == EXIT_BAD_INPUT) << status;
    const std::string text = read_text(report);
    EXPECT_TRUE(contains(text, "filtrations: error: out of memory reading signals file '" + big + "'\n")) << text;
    EXPECT_TRUE(contains(text, "\"error\": \"MemoryError\"")) << text;
}

// ---- evaluate ----------------------------------------------------------------------------------------

TEST_F(CliTest, ARejectedOperatorExitsOneAndItsFailuresAreListed) {
    test::checks::add_plugin("house_rule", [](const fe::Operator&, fe::SignalPool& pool, eu::BaseEvaluationConfig&) {
        return eu::CheckOutcome{eu::CheckStatus::fail, "pool of " + std::to_string(pool.size()) + " breaks the house rule\nsecond line",
                                Dict{{"ids", fe::detail::id_set_value(pool.keys())}}};
    });
    const Outcome o = run_cli(with({"evaluate", "--operators", "gt,not_"}, FAST));
    EXPECT_EQ(o.code, EXIT_REJECTED) << o.err;
    EXPECT_TRUE(contains(o.out, "2 operators, 24 signals from the embedded demo signal set (mock mode), seed 0"));
    const auto rows = lines_with(o.out);
    ASSERT_GE(rows.size(), 5u);
    EXPECT_EQ(rows[2].rfind("operator", 0), 0u);
    EXPECT_TRUE(contains(rows[2], "contract") && contains(rows[2], "house_rule") && contains(rows[2], "accepted"));
    EXPECT_EQ(rows[3].rfind("gt ", 0), 0u);
    EXPECT_TRUE(contains(rows[3], "pass") && contains(rows[3], "skip") && contains(rows[3], "FAIL"));
    EXPECT_TRUE(contains(o.out, "0 of 2 operators accepted; rejected: gt, not_."));
    EXPECT_TRUE(contains(o.out, "Failed checks:\n  gt / house_rule: pool of 24 breaks the house rule\n    second line\n"));

    // The same failure as an info check leaves both accepted.
    const Outcome info = run_cli(with({"evaluate", "--operators", "gt,not_", "--info", "9"}, FAST));
    EXPECT_EQ(info.code, EXIT_OK) << info.err;
    EXPECT_TRUE(contains(info.out, "2 of 2 operators accepted."));
    EXPECT_TRUE(contains(info.out, "* info check: runs, but does not count for acceptance."));
    EXPECT_TRUE(contains(info.out, "  gt / house_rule (info): pool of 24"));

    // Evidence holding an identifier set is written as a sorted list.
    const Outcome json = run_cli(with({"evaluate", "--operators", "gt", "--json"}, FAST));
    EXPECT_EQ(json.code, EXIT_REJECTED);
    const Value ids = at(json.json(), {"operator_results", "gt", "checks", "house_rule", "evidence", "ids"});
    ASSERT_TRUE(ids.is_list());
    EXPECT_EQ(ids.as_list().size(), 24u);
    EXPECT_EQ(ids.as_list().front(), Value("synth_0000"));
}

// A plug-in check whose data_type() throws. The driver reads it outside its check guard, so what
// it throws reaches the command's top level, as memory and thread exhaustion in a check will.
struct RaisingPlugin : test::checks::FnPlugin {
    explicit RaisingPlugin(std::function<void()> r) : FnPlugin("raising", {}, test::checks::returns("pass")), raise(r) {}
    Value data_type() const override { return raise(), Value(); }
    std::function<void()> raise;
};

TEST_F(CliTest, RunningOutOfMemoryOrThreadsEndsTheCommandAsSuch) {
    const std::system_error no_thread(std::make_error_code(std::errc::resource_unavailable_try_again));
    const std::system_error denied(std::make_error_code(std::errc::permission_denied));
    struct Case {
        std::function<void()> raise;
        std::string line;  // the error line on stderr
        std::string kind;  // under --json
    };
    const std::vector<Case> cases = {
        {[] { throw std::bad_alloc(); }, "out of memory (evaluate)", "MemoryError"},
        {[&] { throw no_thread; }, std::string("could not start a thread (evaluate): ") + no_thread.what(),
         "MemoryError"},
        // Another system error is not exhaustion.
        {[&] { throw denied; }, std::string("evaluate: std::system_error: ") + denied.what(), "std::system_error"},
    };
    for (const Case& c : cases) {
        fe::register_check_plugin(std::make_shared<RaisingPlugin>(c.raise));
        const Outcome text = run_cli(with({"evaluate", "--operators", "gt"}, FAST));
        EXPECT_EQ(text.code, EXIT_BAD_INPUT);
        EXPECT_EQ(text.out, "");
        EXPECT_EQ(text.err, "filtrations: error: " + c.line + "\n");
        const Outcome json = run_cli(with({"evaluate", "--operators", "gt", "--json"}, FAST));
        EXPECT_EQ(json.code, EXIT_BAD_INPUT);
        EXPECT_EQ(at(json.json(), {"error"}), Value(c.kind));
        EXPECT_TRUE(contains(c.line, at(json.json(), {"message"}).as_str())) << json.out;
        fe::clear_check_plugins();
    }
}

// ---- control characters in the data ---------------------------------------------------------------

// A character a terminal would act on, other than a line break: C0 controls, DEL, C1 controls
// (UTF-8 C2 80..C2 9F), the line separator U+2028.
bool has_raw_control(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if ((c < 0x20 && c != '\n') || c == 0x7f || (c == 0xc2 && next >= 0x80 && next <= 0x9f)) return true;
        if (text.compare(i, 3, "\xe2\x80\xa8") == 0) return true;
    }
    return false;
}

// Also: mock signals from a file (--signals), and the warnings of their ingestion.
TEST_F(CliTest, ControlCharactersInIdsAndNamesAreEscapedInTheReadableOutput) {
    // Ids that would clear the screen, look like two ids, or start a C1 sequence; one ordinary.
    const std::vector<std::string> ids = {"clear\x1b[2J", "two\nids", "tab\there", "csi\xc2\x9b" "31m",
                                          "ls\xe2\x80\xa8x", "caf\xc3\xa9"};
    Dict signals = runtime::parse_json(demo_signals_json()).as_dict();
    for (const std::string& id : ids) {
        signals.set(Value(id), Value(Dict{{"is_sharpe", 9.0}, {"cat", "x\x1by"}, {"is_turnover", 0.1}}));
    }
    const std::string pool = write("controls.json", runtime::to_json(Value(signals)));
    const std::string is = write("is.json", "{\"a\\u001bb\": 1}");
    const std::string os = write("os.json", "{\"a\\u001bb\": 2}");
    const std::string meta = write("meta.json", "{}");
    test::checks::add_plugin("rule\x1b[1m", [](const fe::Operator&, fe::SignalPool&, eu::BaseEvaluationConfig&) {
        return eu::CheckOutcome{eu::CheckStatus::fail, "bad\x1b[31m\nsecond line\x07", {}};
    });

    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"resolve", "--pool", pool, "--tree", "and_(gt(field=is_sharpe, value=8.0), eq(field=cat, value='x\\x1by'))"},
         {"clear\\u001b[2J", "two\\nids", "tab\\there", "csi\\u009b31m", "ls\\u2028x", "caf\xc3\xa9",
          "eq(cat, x\\u001by)"}},
        {{"flatten", "--is", is, "--os", os, "--meta", meta}, {"is_a\\u001bb"}},
        {{"db", "init", "--db", path("odd\x1b[2J.db")}, {"odd\\u001b[2J.db"}},
        {with({"evaluate", "--operators", "gt", "--signals", pool}, FAST),
         {"rule\\u001b[1m", "gt / rule\\u001b[1m: bad\\u001b[31m\n    second line\\u0007",
          "filtrations: warning: 6 signals lack metadata fields (", "'clear\\u001b[2J', 'two\\nids', 'tab\\there' and 3 more. ",
          "30 signals from signals file '" + pool + "' (mock mode)"}},
    };
    for (const auto& [args, escaped] : cases) {
        const Outcome o = run_cli(args);
        EXPECT_NE(o.code, EXIT_BAD_INPUT) << args[0] << "\n" << o.err;
        EXPECT_FALSE(has_raw_control(o.out)) << o.out;
        EXPECT_FALSE(has_raw_control(o.err)) << o.err;
        for (const std::string& part : escaped) {
            EXPECT_TRUE(contains(o.out + o.err, part)) << part << "\n" << o.out << o.err;
        }
    }
    // The ingestion's warning per signal lacking fields is said once, with a count per field.
    const Outcome warned = run_cli(with({"evaluate", "--operators", "gt", "--signals", pool}, FAST));
    EXPECT_EQ(lines_with(warned.err, "warning").size(), 1u) << warned.err;
    EXPECT_TRUE(contains(warned.err, "is_returns in 6, ")) << warned.err;
    // The JSON output keeps the ids as they are.
    const Outcome json = run_cli({"resolve", "--pool", pool, "--tree", "gt(field=is_sharpe, value=8.0)", "--json"});
    std::vector<std::string> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(test::str_items(at(json.json(), {"passing_ids"}).as_list()), sorted);
}

// ---- db and real mode --------------------------------------------------------------------------------

// Copies `db` and its journal in the middle of a write: a hot journal, as a killed import leaves.
void copy_mid_write(const std::string& db, const std::string& copy) {
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    // A one-page cache spills the changes into the database file before any commit.
    for (const std::string sql : {"PRAGMA journal_mode=DELETE", "PRAGMA cache_size=1", "BEGIN IMMEDIATE",
                                  "UPDATE signal_era_results SET metadata = 'not JSON' || hex(zeroblob(400))"}) {
        ASSERT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(handle);
    }
    std::filesystem::copy_file(db, copy);
    std::filesystem::copy_file(db + "-journal", copy + "-journal");
    sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(handle);
}

TEST_F(CliTest, RealModeRollsBackTheHotJournalOfAnImportThatDidNotFinishOrSaysWhatToRun) {
    const std::string db = path("signals.db"), hot = path("hot.db"), stuck = path("stuck.db");
    const std::string twelve = demo_subset("twelve.json", 12);
    ASSERT_EQ(run_cli({"db", "init", "--db", db, "--signals", twelve, "--market-id", "3", "--era-number", "4"}).code,
              EXIT_OK);
    copy_mid_write(db, hot);
    copy_mid_write(db, stuck);

    const Dict signals = load_signals_file(twelve);
    std::string ids;
    for (const auto& [id, metadata] : signals) ids += (ids.empty() ? "" : ",") + id.as_str();
    const Outcome o = run_cli(with({"evaluate", "--db", hot, "--signal-ids", ids, "--market-id", "3",
                                    "--era-number", "4", "--operators", "gt", "--json"}, FAST));
    ASSERT_EQ(o.code, EXIT_OK) << o.err;
    EXPECT_EQ(at(o.json(), {"config", "N_signals"}), Value(12));
    EXPECT_TRUE(contains(o.err, "has a hot journal ('" + hot + "-journal') left by a write that did not finish; "
                                "rolled it back")) << o.err;
    EXPECT_FALSE(std::filesystem::exists(hot + "-journal"));

    // The rows are those of the last completed import.
    eu::configure_signal_metadata_store(hot);
    std::vector<std::string> id_list;
    for (const auto& [id, metadata] : signals) id_list.push_back(id.as_str());
    const Dict rows = eu::query_signal_metadata(id_list, 3, 4);
    EXPECT_EQ(runtime::repr(Value(rows)), runtime::repr(Value(signals)));

    // A journal that cannot be rolled back: the command says what to run.
    if (geteuid() == 0) GTEST_SKIP() << "root may write a read-only file";
    std::filesystem::permissions(stuck, std::filesystem::perms::owner_read);
    expect_bad_input({with({"evaluate", "--db", stuck, "--signal-ids", "synth_0000", "--market-id", "3",
                            "--era-number", "4"}, FAST),
                      {"has a hot journal ('" + stuck + "-journal') left by a write that did not finish",
                       "needs write access", "Run sqlite3 '" + stuck + "' 'PRAGMA quick_check'"}});
    EXPECT_TRUE(std::filesystem::exists(stuck + "-journal"));
}

TEST_F(CliTest, DbCommandsWriteAllOrNothing) {
    const std::string db = path("new.db");
    const std::string bad_row = write("bad_row.json", R"({"s1": {"is_sharpe": 1.0}, "s2": {"is_sharpe": NaN}})");

    // A signals file that isn't one, or no database yet: no database is created (cli.jsonl).
    // init + import in one go; then an import of a malformed file leaves the rows untouched.
    Outcome o = run_cli({"db", "init", "--db", db, "--signals", bad_row, "--market-id", "1", "--era-number", "2"});
    ASSERT_EQ(o.code, EXIT_OK) << o.err;
    const std::string malformed = write("malformed.json", "{\"s1\": {\"is_sharpe\": 5.0}, \"s2\": 3}");
    expect_bad_input({{"db", "import", "--db", db, "--signals", malformed, "--market-id", "1", "--era-number", "2"},
                      {"signal 's2': metadata must be an object, got int"}});
    eu::configure_signal_metadata_store(db);
    const Dict rows = eu::query_signal_metadata({"s1", "s2"}, 1, 2);
    EXPECT_EQ(rows.at(Value("s1")).as_dict().at(Value("is_sharpe")), Value(1.0));
    EXPECT_TRUE(rows.at(Value("s2")).as_dict().at(Value("is_sharpe")).is_nan());
}


// ---- reproducers and report ---------------------------------------------------------------------------

TEST_F(CliTest, ReproducersAndTheReportAreWrittenAndTheOutputIsAsBefore) {
    const std::string repro = path("repro"), page = path("page/report.html");
    for (const auto& plain : {std::vector<std::string>{"evaluate", "--skip", "8"},
                              std::vector<std::string>{"evaluate", "--skip", "8", "--json"}}) {
        const Outcome before = run_cli(plain);
        const Outcome after = run_cli(with(plain, {"--reproducers", repro, "--html", page}));
        EXPECT_EQ(after.code, before.code);
        EXPECT_EQ(after.out, before.out);
        EXPECT_TRUE(contains(after.err, "0 reproducers written under " + repro)) << after.err;
        EXPECT_TRUE(contains(after.err, "report written to")) << after.err;
    }
    EXPECT_TRUE(at(runtime::read_json_file(repro + "/index.json").as_dict(), {"reproducers"}).as_list().empty());
    const std::string html = read_text(page);
    EXPECT_EQ(count(html, "<tr class=\"accepted\">"), 16u);
    EXPECT_TRUE(contains(html, "16 of 16 operators accepted"));
    EXPECT_TRUE(contains(html, "filtrations evaluate --skip 8 --json --reproducers"));  // to repeat it
}

TEST_F(CliTest, TheReportRepeatsTheRunWithTheHostsCommand) {
    const std::string page = path("page.html");
    std::ostringstream out, err;
    const std::vector<std::string> args = with(QUICK_EVALUATE, {"--html", page});
    run(args, out, err, {}, {}, "python3 -m front_end evaluate --operator 'gt=my ops.py:gt'");
    const std::string html = read_text(page);
    EXPECT_TRUE(contains(html, "<code>python3 -m front_end evaluate --operator &#39;gt=my ops.py:gt&#39;</code>")) << html;
    EXPECT_FALSE(contains(html, "<code>filtrations")) << html;
}

// ---- help, demo set, the sample inputs under examples/ ------------------------------------------------

TEST_F(CliTest, TheEmbeddedDemoSignalsMatchTheGoldenFile) {
    const Value golden = runtime::read_json_file(std::string(BRINDLECAP_TEST_DATA_DIR) + "/golden/demo_signals.json");
    EXPECT_TRUE(fe::detail::equal_allowing_nan(runtime::parse_json(demo_signals_json()), golden));
}

TEST_F(CliTest, TheExampleInputsKeepWorking) {
    const std::string ex = BRINDLECAP_EXAMPLES_DIR, signals = ex + "/signals.json";
    std::size_t trees = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ex + "/trees")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("strategy_", 0) == 0) continue;  // a product tree
        ++trees;
        const Outcome o = run_cli({"resolve", "--pool", signals, "--tree", entry.path().string()});
        EXPECT_EQ(o.code, name == "too_strict.json" ? EXIT_REJECTED : EXIT_OK) << name << "\n" << o.err;
    }
    EXPECT_GE(trees, 3u);
    const Dict pool = load_signals_file(signals);
    EXPECT_GE(pool.size(), 200u);
    const std::vector<std::string> ids = load_signal_ids("@" + ex + "/signal_ids.txt");
    EXPECT_GE(ids.size(), 10u);
    for (const std::string& id : ids) EXPECT_TRUE(pool.contains(Value(id))) << id;
}

}  // namespace
}  // namespace brindlecap::cli
