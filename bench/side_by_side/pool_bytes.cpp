// Where a row pool's bytes go: the pool of a pool JSON file loaded as `filtrations resolve
// --pool` loads it (parse_json, one insert per signal), its heap split by kind of allocation
// (counted by a global operator new; make_shared blocks measured one by one), beside the same
// pool born column-wise (read_signal_pool_json).
//
//   side_by_side_pool_bytes FILE

#include <malloc.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>

#include <brindlecap/functions/filtrations_evaluation.hpp>

#include "../heap_counter.hpp"
namespace fe = brindlecap::functions::filtrations_evaluation;
namespace rt = brindlecap::runtime;

namespace {

template <class F>
long long heap_growth(F f) {
    const long long before = heap_now.load();
    f();
    return heap_now.load() - before;
}

void line(const char* what, double bytes_per_signal) { std::printf("  %-52s %6.1f\n", what, bytes_per_signal); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: side_by_side_pool_bytes FILE\n");
        return 2;
    }
    fe::SignalPool pool;
    const long long total = heap_growth([&] {
        const rt::Value doc = rt::read_json_file(argv[1]);
        pool.reserve(doc.as_dict().size());
        for (const auto& [id, m] : doc.as_dict()) pool.insert(id.as_str(), fe::UsefulSignal::make(m.as_dict()));
    });  // the parsed document is gone: the pool owns the strings and lists it shared with it
    const double n = static_cast<double>(pool.size());

    fe::KeyIndex index;
    const long long ids = heap_growth([&] {
        index.reserve(pool.size());
        for (std::size_t i = 0; i < pool.size(); ++i) index.add(pool.id(i));
    });
    std::shared_ptr<const void> kept[4];
    const long long matrix = heap_growth([&] { kept[0] = std::make_shared<brindlecap::numeric::Matrix>(); });
    const long long dict = heap_growth([&] { kept[1] = std::make_shared<rt::Dict>(); });
    const long long str = heap_growth([&] { kept[2] = std::make_shared<const std::string>("momentum"); });
    const long long list = heap_growth([&] { kept[3] = std::make_shared<rt::List>(); });
    long long value_arrays = 0, item_arrays = 0, strings = 0, lists = 0;
    std::unordered_set<const std::string*> string_objects;  // strings may be shared
    std::unordered_set<const void*> matrices;                // so may weights
    for (std::size_t pos = 0; pos < pool.size(); ++pos) {
        matrices.insert(std::as_const(pool).signal(pos).weights.get());
        const rt::Dict& d = *std::as_const(pool).signal(pos).metadata;
        if (!d.empty()) value_arrays += static_cast<long long>(malloc_usable_size(const_cast<rt::Value*>(&d.value(0))));
        for (const auto& [key, v] : d) {
            if (v.is_str()) {
                ++strings;
                string_objects.insert(v.str_ptr().get());
            }
            if (!v.is_list()) continue;
            ++lists;
            const rt::List& items = v.as_list();
            if (!items.empty()) item_arrays += static_cast<long long>(malloc_usable_size(const_cast<rt::Value*>(items.data())));
            for (const rt::Value& item : items) {
                if (!item.is_str()) continue;
                ++strings;
                string_objects.insert(item.str_ptr().get());
            }
        }
    }
    std::printf("%zu signals loaded row by row: pool heap %.1f B/signal\n", pool.size(), static_cast<double>(total) / n);
    line("identifiers (key index: strings, hash slots)", static_cast<double>(ids) / n);
    line("UsefulSignal array", static_cast<double>(pool.size() * sizeof(fe::UsefulSignal)) / n);
    line("empty weights matrices (make_shared)", static_cast<double>(static_cast<long long>(matrices.size()) * matrix) / n);
    line("metadata Dict (make_shared)", static_cast<double>(dict));
    line("metadata value arrays", static_cast<double>(value_arrays) / n);
    line("string objects (make_shared)", static_cast<double>(static_cast<long long>(string_objects.size()) * str) / n);
    line("lists (make_shared)", static_cast<double>(lists * list) / n);
    line("list item arrays", static_cast<double>(item_arrays) / n);
    const long long grown = -heap_growth([&] { pool.drop_columns(); });  // nothing else built yet
    line("columns grown while inserting (until the first call)", static_cast<double>(grown) / n);
    std::printf("  (%.2f strings, %zu string objects in all, %.2f lists a signal; sizeof Value %zu, Dict %zu, "
                "UsefulSignal %zu)\n",
                static_cast<double>(strings) / n, string_objects.size(), static_cast<double>(lists) / n,
                sizeof(rt::Value), sizeof(rt::Dict), sizeof(fe::UsefulSignal));

    fe::SignalPool born;
    const long long columns = heap_growth([&] { born = fe::read_signal_pool_json(argv[1]); });
    std::printf("the same pool born column-wise: pool heap %.1f B/signal\n", static_cast<double>(columns) / n);
    return 0;
}
