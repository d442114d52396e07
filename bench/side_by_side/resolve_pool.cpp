// The C++ engine of the side-by-side benchmark (bench/side_by_side/run.py): loads a pool JSON
// file, then times resolve_filtrations with the default store on one of two trees:
//   families    and_(gt(is_sharpe, 0.0), or_(in_(rotation_families_used, ["numerical"]), top_pct(is_returns, 0.2)))
//   categories  and_(gt(is_sharpe, 0.0), top_pct(is_returns, 0.2), in_(signal_category, ["momentum", "quality"]))
//
//   side_by_side_resolve --pool FILE [--tree families|categories] [--reps N] [--ids-out FILE]
//                        [--loader columns|rows] [--memory]
//
// --loader columns (default): read_signal_pool_json, a pool born column-wise. --loader rows: the
// way `filtrations resolve --pool` loaded before (runtime::read_json_file, then one insert per
// signal); the parsed document is kept to the end, so that freeing it (glibc then sorts millions
// of free blocks in the next allocations) is not charged to the first call.
// --memory counts the heap (a counting operator new): the pool's bytes, and the column store's
// after the first call. Prints one JSON object: load times, the first call (columns built
// there for a row pool; wall and process CPU time) and the later calls (ms), their median, the
// passing count. --ids-out
// writes the passing ids, one per line, as returned.

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <brindlecap/functions/filtrations_evaluation.hpp>

#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "../heap_counter.hpp"

namespace {

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace rs = brindlecap::functions::registry_and_store;
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

fe::FilterNode make_tree(const std::string& which) {
    const fe::FilterNode sharpe{"gt", {{"field", "is_sharpe"}, {"value", 0.0}}, {}};
    const fe::FilterNode returns{"top_pct", {{"field", "is_returns"}, {"pct", 0.2}}, {}};
    if (which == "categories") {
        return fe::FilterNode{
            "and_",
            {},
            {sharpe, returns,
             fe::FilterNode{"in_",
                            {{"field", "signal_category"}, {"values", runtime::Value::list({"momentum", "quality"})}},
                            {}}}};
    }
    return fe::FilterNode{
        "and_",
        {},
        {sharpe, fe::FilterNode{"or_",
                                {},
                                {fe::FilterNode{"in_",
                                                {{"field", "rotation_families_used"},
                                                 {"values", runtime::Value::list({"numerical"})}},
                                                {}},
                                 returns}}}};
}

int usage() {
    std::fprintf(stderr,
                 "usage: side_by_side_resolve --pool FILE [--tree families|categories] [--reps N] [--ids-out FILE] "
                 "[--loader columns|rows] [--memory]\n");
    return 2;
}

int run(int argc, char** argv) {
    std::string pool_path;
    std::string ids_out;
    std::string loader = "columns";
    std::string tree_name = "families";
    bool memory = false;
    int reps = 7;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--memory") {
            memory = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        if (arg == "--loader") {
            loader = argv[++i];
        } else if (arg == "--tree") {
            tree_name = argv[++i];
        } else if (arg == "--pool") {
            pool_path = argv[++i];
        } else if (arg == "--reps") {
            reps = std::atoi(argv[++i]);
        } else if (arg == "--ids-out") {
            ids_out = argv[++i];
        } else {
            return usage();
        }
    }
    if (pool_path.empty() || reps < 1 || (loader != "columns" && loader != "rows") ||
        (tree_name != "families" && tree_name != "categories")) {
        return usage();
    }
    heap_counting.store(memory);

    // Load: the file into a pool, all of it timed (reading the file included).
    const double file_mb = static_cast<double>(std::filesystem::file_size(pool_path)) / 1e6;
    const std::int64_t heap_before = heap_now.load();
    const std::clock_t cpu_start = std::clock();
    auto start = Clock::now();
    double parse_ms = 0.0;
    double pool_ms = 0.0;
    fe::SignalPool pool;
    runtime::Value doc;
    if (loader == "columns") {
        pool = fe::read_signal_pool_json(pool_path);
        parse_ms = ms_since(start);
    } else {
        // Parse the file, then the pool from the parsed signals.
        doc = runtime::read_json_file(pool_path);
        parse_ms = ms_since(start);
        start = Clock::now();
        const runtime::Dict& signals = doc.as_dict();
        pool.reserve(signals.size());
        for (const auto& [id, metadata] : signals) pool.insert(id.as_str(), fe::UsefulSignal::make(metadata.as_dict()));
        pool_ms = ms_since(start);
    }
    const double load_cpu_ms = 1e3 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    const double pool_bytes = static_cast<double>(heap_now.load() - heap_before);

    const fe::FilterNode tree = make_tree(tree_name);
    const rs::FunctionStore store = rs::build_default_store();

    start = Clock::now();
    const std::clock_t first_cpu_start = std::clock();
    fe::FiltrationResult result = fe::resolve_filtrations(pool, tree, store);
    const double first_ms = ms_since(start);
    const double first_cpu_ms = 1e3 * static_cast<double>(std::clock() - first_cpu_start) / CLOCKS_PER_SEC;
    const double column_bytes = static_cast<double>(fe::detail::column_store_bytes(
        pool, {"is_sharpe", tree_name == "categories" ? "signal_category" : "rotation_families_used", "is_returns"}));

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
    const double n = static_cast<double>(pool.size());
    std::printf(
        "{\"engine\": \"brindlecap\", \"loader\": \"%s\", \"tree\": \"%s\", \"signals\": %zu, \"passing\": %lld, "
        "\"file_MB\": %.3f, \"parse_ms\": %.3f, \"parse_MB_per_s\": %.1f, \"pool_build_ms\": %.3f, "
        "\"load_MB_per_s\": %.1f, \"load_cpu_ms\": %.3f, \"load_MB_per_cpu_s\": %.1f, "
        "\"pool_bytes_per_signal\": %.1f, \"column_bytes_per_signal\": %.1f, "
        "\"first_ms\": %.3f, \"first_cpu_ms\": %.3f, \"times_ms\": [%s], \"median_ms\": %.3f}\n",
        loader.c_str(), tree_name.c_str(), pool.size(), static_cast<long long>(result.signal_count), file_mb, parse_ms,
        file_mb / (parse_ms / 1e3), pool_ms, file_mb / ((parse_ms + pool_ms) / 1e3), load_cpu_ms,
        file_mb / (load_cpu_ms / 1e3), memory ? pool_bytes / n : -1.0,
        memory ? column_bytes / n : -1.0, first_ms, first_cpu_ms, later.c_str(), median(times));
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
