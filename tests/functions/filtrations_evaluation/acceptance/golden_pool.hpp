#pragma once
// The numpy-computed fixture pools in tests/data/golden, and mock signal metadata.

#include <cstdlib>
#include <string>
#include <vector>

#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::test {

// A golden file as a value (NaN literals included, keys in file order).
inline runtime::Value load_golden(const std::string& name) {
    return runtime::read_json_file(std::string(BRINDLECAP_TEST_DATA_DIR) + "/golden/" + name);
}

// Weights as float.hex strings, parsed exactly (strtod reads hexadecimal floats).
inline std::vector<double> hex_doubles(const runtime::Value& list) {
    std::vector<double> out;
    for (const runtime::Value& e : list.as_list()) out.push_back(std::strtod(e.as_str().c_str(), nullptr));
    return out;
}

// Metadata of n mock signals sig_0, sig_1, ... carrying the eight expected fields.
inline runtime::Dict mock_signals(int n) {
    runtime::Dict out;
    for (int i = 0; i < n; ++i) {
        out.set(runtime::Value("sig_" + std::to_string(i)),
                runtime::Dict{{"is_sharpe", 0.25 * i - 1.0},
                              {"is_returns", 0.01 * i},
                              {"is_turnover", 0.1 * i},
                              {"rotation_families_used", runtime::Value::list({i % 2 ? "numerical" : "event"})},
                              {"expression_complexity", i + 1},
                              {"submission_date", 1.7e9 + 1000.0 * i},
                              {"is_active", i % 3 == 0},
                              {"signal_category", i % 2 ? "momentum" : "value"}});
    }
    return out;
}

}  // namespace brindlecap::test
