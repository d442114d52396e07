// The sample inputs under examples/ that the README uses keep working with the tool.
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/runtime/json.hpp"
#include "cli.hpp"
#include "inputs.hpp"

namespace brindlecap::cli {
namespace {

const std::string EXAMPLES = BRINDLECAP_EXAMPLES_DIR;

int run_quiet(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::ostringstream o;
    std::ostringstream e;
    const int code = run(args, o, e);
    if (out) *out = o.str();
    EXPECT_TRUE(code == EXIT_OK || e.str().find("error") == std::string::npos) << e.str();
    return code;
}

TEST(Examples, EveryTreeResolvesOverTheExampleSignals) {
    const runtime::Value signals = runtime::read_json_file(EXAMPLES + "/signals.json");
    EXPECT_GE(signals.as_dict().size(), 200u);
    std::size_t trees = 0;
    for (const auto& entry : std::filesystem::directory_iterator(EXAMPLES + "/trees")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("strategy_", 0) == 0) continue;  // a product tree
        ++trees;
        const int expected = name == "too_strict.json" ? EXIT_REJECTED : EXIT_OK;
        EXPECT_EQ(run_quiet({"resolve", "--pool", EXAMPLES + "/signals.json", "--tree", entry.path().string()}),
                  expected)
            << name;
    }
    EXPECT_GE(trees, 3u);
}

TEST(Examples, ProductsFlattenAndSignalIdsWork) {
    std::string out;
    EXPECT_EQ(run_quiet({"products", "--products", EXAMPLES + "/products.json", "--tree",
                         EXAMPLES + "/trees/strategy_products.json", "--type", "strategy"}, &out),
              EXIT_OK);
    EXPECT_EQ(run_quiet({"products", "--products", EXAMPLES + "/products.json", "--tree",
                         "gt(field=is_sharpe, value=0.0)", "--type", "allocation"}),
              EXIT_OK);
    EXPECT_EQ(run_quiet({"flatten", "--is", EXAMPLES + "/flatten/is_stats.json", "--os",
                         EXAMPLES + "/flatten/os_stats.json", "--meta", EXAMPLES + "/flatten/metadata.json"}),
              EXIT_OK);
    const std::vector<std::string> ids = load_signal_ids("@" + EXAMPLES + "/signal_ids.txt");
    const runtime::Value signals = runtime::read_json_file(EXAMPLES + "/signals.json");
    EXPECT_GE(ids.size(), 10u);
    for (const std::string& id : ids) EXPECT_TRUE(signals.as_dict().contains(id)) << id;
}

}  // namespace
}  // namespace brindlecap::cli
