// The C++ engine of the side-by-side benchmark (bench/side_by_side/run.py): loads a pool JSON
// file the way `filtrations resolve --pool` does, then times resolve_filtrations with the default
// store on
//   and_(gt(is_sharpe, 0.0), or_(in_(rotation_families_used, ["numerical"]), top_pct(is_returns, 0.2)))
//
//   side_by_side_resolve --pool FILE [--reps N] [--ids-out FILE]
//
// Prints one JSON object: load and pool-build times, the first call and the later calls (ms),
// their median, the passing count. --ids-out writes the passing ids, one per line, as returned.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <brindlecap/functions/filtrations_evaluation.hpp>

namespace {

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace runtime = brindlecap::runtime;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

fe::FilterNode make_tree() {
    return fe::FilterNode{
        "and_",
        {},
        {fe::FilterNode{"gt", {{"field", "is_sharpe"}, {"value", 0.0}}, {}},
         fe::FilterNode{"or_",
                        {},
                        {fe::FilterNode{"in_",
                                        {{"field", "rotation_families_used"},
                                         {"values", runtime::Value::list({"numerical"})}},
                                        {}},
                         fe::FilterNode{"top_pct", {{"field", "is_returns"}, {"pct", 0.2}}, {}}}}}};
}

int usage() {
    std::fprintf(stderr, "usage: side_by_side_resolve --pool FILE [--reps N] [--ids-out FILE]\n");
    return 2;
}

int run(int argc, char** argv) {
    std::string pool_path;
    std::string ids_out;
    int reps = 7;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        if (arg == "--pool") {
            pool_path = argv[++i];
        } else if (arg == "--reps") {
            reps = std::atoi(argv[++i]);
        } else if (arg == "--ids-out") {
            ids_out = argv[++i];
        } else {
            return usage();
        }
    }
    if (pool_path.empty() || reps < 1) return usage();

    // Load: read and parse the file, then the pool from the parsed signals (as the CLI does).
    auto start = Clock::now();
    const runtime::Value doc = runtime::read_json_file(pool_path);
    const double parse_ms = ms_since(start);
    const double file_mb = static_cast<double>(std::filesystem::file_size(pool_path)) / 1e6;

    start = Clock::now();
    fe::SignalPool pool;
    const runtime::Dict& signals = doc.as_dict();
    pool.reserve(signals.size());
    for (const auto& [id, metadata] : signals) pool.insert(id.as_str(), fe::UsefulSignal::make(metadata.as_dict()));
    const double pool_ms = ms_since(start);

    const fe::FilterNode tree = make_tree();
    const fe::FunctionStore store = fe::build_default_store();

    start = Clock::now();
    fe::FiltrationResult result = fe::resolve_filtrations(pool, tree, store);
    const double first_ms = ms_since(start);

    std::vector<double> times;
    for (int r = 0; r < reps; ++r) {
        start = Clock::now();
        fe::FiltrationResult again = fe::resolve_filtrations(pool, tree, store);
        times.push_back(ms_since(start));
        if (again.passing_ids != result.passing_ids) {
            std::fprintf(stderr, "side_by_side_resolve: repetition %d returned other ids\n", r + 1);
            return 1;
        }
    }

    if (!ids_out.empty()) {
        std::ofstream out(ids_out, std::ios::binary);
        for (const std::string& id : result.passing_ids) out << id << '\n';
        if (!out) {
            std::fprintf(stderr, "side_by_side_resolve: cannot write '%s'\n", ids_out.c_str());
            return 2;
        }
    }

    std::string later;
    for (const double t : times) later += (later.empty() ? "" : ", ") + std::to_string(t);
    std::printf(
        "{\"engine\": \"brindlecap\", \"signals\": %zu, \"passing\": %lld, \"file_MB\": %.3f, "
        "\"parse_ms\": %.3f, \"parse_MB_per_s\": %.1f, \"pool_build_ms\": %.3f, \"first_ms\": %.3f, "
        "\"times_ms\": [%s], \"median_ms\": %.3f}\n",
        pool.size(), static_cast<long long>(result.signal_count), file_mb, parse_ms, file_mb / (parse_ms / 1e3),
        pool_ms, first_ms, later.c_str(), median(times));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "side_by_side_resolve: %s\n", e.what());
        return 1;
    }
}
