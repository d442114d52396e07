// Inputs the fuzz targets found, kept so that they stay fixed.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tree_expr.hpp"

namespace brindlecap::cli {
namespace {

struct Refused {
    std::string text;
    std::size_t column;
    std::string problem;
};

// Strings used to keep stray bytes, which format as surrogate escapes that read back as other
// bytes: the formatted tree then named a different string.
TEST(TreeExpressionFuzzRegressions, RefusesMalformedUtf8AndSurrogateEscapes) {
    const std::vector<Refused> cases = {
        {std::string("zh(_='f\x95\x00?\xff\xff\x00')", 15), 8, "invalid UTF-8 byte"},
        {"gt(field='a\xff')", 12, "invalid UTF-8 byte"},
        {"gt(field=\xc3)", 10, "invalid UTF-8 byte"},
        {"gt(field='\\ud800')", 11, "invalid escape sequence"},
        {"gt(field='\\U0000dfff')", 11, "invalid escape sequence"},
    };
    for (const Refused& c : cases) {
        try {
            parse_tree_expression(c.text);
            ADD_FAILURE() << "no error for " << c.text;
        } catch (const TreeSyntaxError& e) {
            EXPECT_EQ(e.problem(), c.problem) << c.text;
            EXPECT_EQ(e.column(), c.column) << c.text;
        }
    }
}

TEST(TreeExpressionFuzzRegressions, ControlAndNonAsciiCharactersFormatBackToThemselves) {
    for (const std::string text : {std::string("f(a='\\x00\\x85\\u2028\\U0001f600 \xc3\xa9\\t')"),
                                   std::string("f(a='\x7f', b=\"it's\")")}) {
        const FilterNode tree = parse_tree_expression(text);
        const std::string formatted = format_tree_expression(tree);
        EXPECT_EQ(parse_tree_expression(formatted), tree) << formatted;
        EXPECT_EQ(format_tree_expression(parse_tree_expression(formatted)), formatted);
    }
}

}  // namespace
}  // namespace brindlecap::cli
