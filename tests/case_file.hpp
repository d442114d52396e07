#pragma once
// Tables of cases kept as data under tests/data/cases (see the README there): one JSON object a
// line, blank lines and lines starting with '#' skipped. Each case knows where it was written.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::test {

struct Case {
    std::string where;  // file:line, for failure messages
    runtime::Dict d;

    const runtime::Value& operator[](const char* key) const { return d.at(key); }
    bool has(const char* key) const { return d.contains(key); }
    std::string str(const char* key, const std::string& otherwise = "") const {
        return has(key) ? d.at(key).as_str() : otherwise;
    }
};

// The cases of tests/data/cases/<name>; a test failure when there are none.
inline std::vector<Case> read_cases(const std::string& name) {
    const std::string path = std::string(BRINDLECAP_TEST_DATA_DIR) + "/cases/" + name;
    std::ifstream in(path);
    std::vector<Case> out;
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
        if (line.find_first_not_of(" \t") == std::string::npos || line[line.find_first_not_of(" \t")] == '#') continue;
        out.push_back({name + ":" + std::to_string(n), runtime::parse_json(line).as_dict()});
    }
    EXPECT_FALSE(out.empty()) << "no cases in " << path;
    return out;
}

// What f returns as repr(), or the error it raises as "Kind: message".
template <class F>
std::string outcome_text(F&& f) {
    try {
        return runtime::repr(runtime::Value(f()));
    } catch (const runtime::Exception& e) {
        return e.kind() + ": " + e.message();
    }
}

inline runtime::Value ids_value(const std::vector<std::string>& ids) {
    runtime::List l;
    for (const auto& id : ids) l.emplace_back(id);
    return runtime::Value::list(std::move(l));
}

// A list of strings as a vector.
inline std::vector<std::string> strings(const runtime::Value& v) {
    std::vector<std::string> out;
    for (const auto& item : v.as_list()) out.push_back(item.as_str());
    return out;
}

}  // namespace brindlecap::test
