#pragma once
// Readable gtest failure output for runtime values, and the small helpers the tests share.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::runtime {

inline void PrintTo(const Value& v, std::ostream* os) { *os << repr(v); }
inline void PrintTo(const Dict& d, std::ostream* os) { *os << repr(Value(d)); }

}  // namespace brindlecap::runtime

namespace brindlecap::test {

// what() of the error of type E that f raises; a test failure when it raises none.
template <class E, class F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "expected an error";
    return "<no error>";
}

// what() of the ValueError that f raises.
template <class F>
std::string value_error(F&& f) {
    return message_of<runtime::ValueError>(std::forward<F>(f));
}

// The keys of a dict as the host prints them with str(), in dict order.
inline std::vector<std::string> key_texts(const runtime::Dict& d) {
    std::vector<std::string> out;
    for (const auto& [k, v] : d) out.push_back(runtime::str(k));
    return out;
}

inline std::vector<std::string> str_items(const runtime::List& items) {
    std::vector<std::string> out;
    for (const auto& v : items) out.push_back(v.as_str());
    return out;
}

// A fresh directory, removed with everything in it at the end of its scope.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "brindlecap_test_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (path / name).string(); }

    std::filesystem::path path;
};

}  // namespace brindlecap::test
