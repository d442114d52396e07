// Inputs the fuzz targets and sanitizer runs found, kept so that they stay fixed: values nested
// far deeper than any recursion could follow on a thread's stack.

#include <string>

#include <gtest/gtest.h>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/value.hpp"

namespace {

using brindlecap::runtime::Dict;
using brindlecap::runtime::JSON_MAX_DEPTH;
using brindlecap::runtime::Value;

TEST(ValueDepthRegressions, DeeplyNestedValuesAreFreedWithoutRecursion) {
    // A million levels of lists and dicts: freeing them level by level on the stack would
    // overflow it many times over.
    Value deep = Value::list({1});
    for (int i = 0; i < 1'000'000; ++i) {
        if (i % 2 == 0) {
            deep = Value::list({deep, Value("x")});
        } else {
            Dict d;
            d.set(Value("k"), deep);
            deep = Value(std::move(d));
        }
    }
    EXPECT_THROW(brindlecap::runtime::to_json(deep), brindlecap::runtime::ValueError);
    // A shared inner part stays alive while the outer levels go.
    Value inner = deep;
    for (int i = 0; i < 10; ++i) inner = Value(inner.is_list() ? inner.as_list().front() : inner.as_dict().at(Value("k")));
    deep = Value();
    EXPECT_TRUE(inner.is_list() || inner.is_dict());
}

TEST(ValueDepthRegressions, JsonAtTheNestingLimitWritesAndReadsBack) {
    std::string text;
    for (int i = 0; i < JSON_MAX_DEPTH; ++i) text += i % 2 ? R"({"k": )" : "[";
    text += "NaN";
    for (int i = JSON_MAX_DEPTH - 1; i >= 0; --i) text += i % 2 ? "}" : "]";
    const Value doc = brindlecap::runtime::parse_json(text);
    EXPECT_EQ(brindlecap::runtime::to_json(doc), text);
    EXPECT_EQ(brindlecap::runtime::to_json(brindlecap::runtime::parse_json(brindlecap::runtime::to_json(doc, 1))), text);
}

}  // namespace
