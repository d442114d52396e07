#include "demo_signals.hpp"

#include <gtest/gtest.h>

#include "brindlecap/functions/filtrations_evaluation/fixtures/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/fixtures/order_probe_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/fixtures/pool_keeper_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/fixtures/reference_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/fixtures/snapshot_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/fixtures/synthetic_internal.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::cli {
namespace {

namespace fe = functions::filtrations_evaluation;
using runtime::Dict;
using runtime::Value;

TEST(DemoSignals, MatchTheGoldenFile) {
    const Value golden = runtime::read_json_file(std::string(BRINDLECAP_TEST_DATA_DIR) + "/golden/demo_signals.json");
    EXPECT_TRUE(fe::detail::equal_allowing_nan(runtime::parse_json(demo_signals_json()), golden));
}

}  // namespace
}  // namespace brindlecap::cli
