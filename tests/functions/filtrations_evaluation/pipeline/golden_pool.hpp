#pragma once
// Loading of the numpy-computed fixture pools in tests/data/golden, and mock signal metadata.

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::test {

// JSON with the NaN / Infinity / -Infinity literals: they are turned into marker strings first.
inline nlohmann::ordered_json parse_json_with_nan(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            out += c;
            if (c == '\\' && i + 1 < text.size()) {
                out += text[++i];
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
            out += c;
        } else if (text.compare(i, 3, "NaN") == 0) {
            out += "\"__NaN__\"";
            i += 2;
        } else if (text.compare(i, 9, "-Infinity") == 0) {
            out += "\"__-Infinity__\"";
            i += 8;
        } else if (text.compare(i, 8, "Infinity") == 0) {
            out += "\"__Infinity__\"";
            i += 7;
        } else {
            out += c;
        }
    }
    return nlohmann::ordered_json::parse(out);
}

inline nlohmann::ordered_json load_golden(const std::string& name) {
    std::ifstream in(std::string(BRINDLECAP_TEST_DATA_DIR) + "/golden/" + name);
    if (!in) throw std::runtime_error("cannot open golden/" + name);
    std::stringstream buf;
    buf << in.rdbuf();
    return parse_json_with_nan(buf.str());
}

inline runtime::Value to_value(const nlohmann::ordered_json& j) {
    using runtime::Value;
    switch (j.type()) {
        case nlohmann::ordered_json::value_t::null: return Value();
        case nlohmann::ordered_json::value_t::boolean: return Value(j.get<bool>());
        case nlohmann::ordered_json::value_t::number_integer: return Value(j.get<std::int64_t>());
        case nlohmann::ordered_json::value_t::number_unsigned: return Value(j.get<std::uint64_t>());
        case nlohmann::ordered_json::value_t::number_float: return Value(j.get<double>());
        case nlohmann::ordered_json::value_t::string: {
            const auto& s = j.get_ref<const std::string&>();
            if (s == "__NaN__") return Value(std::nan(""));
            if (s == "__Infinity__") return Value(HUGE_VAL);
            if (s == "__-Infinity__") return Value(-HUGE_VAL);
            return Value(s);
        }
        case nlohmann::ordered_json::value_t::array: {
            runtime::List items;
            for (const auto& e : j) items.push_back(to_value(e));
            return Value::list(std::move(items));
        }
        case nlohmann::ordered_json::value_t::object: {
            runtime::Dict d;
            for (const auto& [k, v] : j.items()) d.set(Value(k), to_value(v));
            return Value(std::move(d));
        }
        default: throw std::runtime_error("unsupported JSON value");
    }
}

// Weights as float.hex strings, parsed exactly (strtod reads hexadecimal floats).
inline std::vector<double> hex_doubles(const nlohmann::ordered_json& j) {
    std::vector<double> out;
    for (const auto& e : j) out.push_back(std::strtod(e.get_ref<const std::string&>().c_str(), nullptr));
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
