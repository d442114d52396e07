#include "tree_expr.hpp"

#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"
#include "case_file.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::cli {
namespace {

using runtime::Dict;
using runtime::Value;
using functions::filtrations_evaluation::tree_from_value;
using functions::filtrations_evaluation::tree_to_value;

FilterNode node(std::string name, Dict params = {}, std::vector<FilterNode> children = {}) {
    return FilterNode{std::move(name), std::move(params), std::move(children)};
}

std::string repeated(const std::string& part, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += part;
    return out;
}

// The column and problem of the syntax error parsing `text` raises.
std::pair<std::size_t, std::string> refusal(const std::string& text) {
    try {
        parse_tree_expression(text);
    } catch (const TreeSyntaxError& e) {
        EXPECT_EQ(std::string(e.what()), e.problem() + " at column " + std::to_string(e.column()));
        return {e.column(), e.problem()};
    }
    ADD_FAILURE() << "no error for " << text;
    return {0, ""};
}

// tests/data/cases/tree_expr.jsonl: a tree (read from its JSON shape) is what its text parses to,
// and formats to text that parses back to it and formats the same again.
TEST(TreeExpression, TreesFromTheTable) {
    for (const test::Case& c : test::read_cases("tree_expr.jsonl")) {
        if (!c.has("tree")) continue;
        const FilterNode tree = tree_from_value(c["tree"]);
        if (c.has("text")) EXPECT_EQ(parse_tree_expression(c.str("text")), tree) << c.where;
        const std::string text = format_tree_expression(tree);
        EXPECT_EQ(parse_tree_expression(text), tree) << c.where << ": " << text;
        EXPECT_EQ(format_tree_expression(parse_tree_expression(text)), text) << c.where;
        if (c.has("formats_as")) EXPECT_EQ(text, c.str("formats_as")) << c.where;
        EXPECT_EQ(tree_from_value(tree_to_value(tree)), tree) << c.where;
        if (c.has("json")) EXPECT_EQ(runtime::to_json(tree_to_value(tree)), c.str("json")) << c.where;
    }
    // The keyword form of a tree is the same tree.
    EXPECT_EQ(parse_tree_expression("between(x, 1, 2)"), parse_tree_expression("between(field=x, low=1, high=2)"));
}

TEST(TreeExpression, ReadsEveryKindOfParameterValue) {
    const FilterNode t = parse_tree_expression(
        "op( n = 5 , neg=-2, z=0.0, big=99999999999999999999.0, f=1e-3, g=.5, h=+7, "
        "t=True, fa=False, no=None, bare=momentum, q='a, b', dq=\"it's\", "
        "esc='tab\\there\\u00e9\\x41\\U0001F600', empty='', "
        "lst=[numerical, 'event', 3, [1.5]], d={a: 1, 'b c': [x]}, "
        "nan1=nan, nan2=NaN, inf1=inf, inf2=-Infinity, trailing=[1,2,],)");
    // repr shows the kinds too: 5 is an int, 0.0 and 1e+20 floats (the operators see the type).
    EXPECT_EQ(runtime::repr(Value(t.params)),
              "{'n': 5, 'neg': -2, 'z': 0.0, 'big': 1e+20, 'f': 0.001, 'g': 0.5, 'h': 7, 't': True, 'fa': False, "
              "'no': None, 'bare': 'momentum', 'q': 'a, b', 'dq': \"it's\", 'esc': 'tab\\there\xc3\xa9" "A\xf0\x9f\x98\x80', "
              "'empty': '', 'lst': ['numerical', 'event', 3, [1.5]], 'd': {'a': 1, 'b c': ['x']}, 'nan1': nan, "
              "'nan2': nan, 'inf1': inf, 'inf2': -inf, 'trailing': [1, 2]}");
    // An integer beyond 64 bits is refused, never rounded to a float.
    EXPECT_THROW(parse_tree_expression("gt(field=x, value=100000000000000000000)"), runtime::ValueError);
}

TEST(TreeExpression, FormatReadsBackDictsWithKeysOfAnyKindAndRefusesOddNames) {
    const FilterNode custom = node("custom", {{"opts", Value(Dict{{"k", Value::list({1, 2.5, Value(), Value(true)})}, {7, "seven"}})}});
    EXPECT_EQ(parse_tree_expression(format_tree_expression(custom)), custom) << format_tree_expression(custom);
    EXPECT_THROW(format_tree_expression(node("gt", {{"not a name", 1}})), runtime::ValueError);
}

TEST(TreeExpression, SyntaxErrorsPointAtTheColumn) {
    const auto nested = [](int depth) {
        return repeated("not_(", depth) + "gt(field=a, value=1)" + std::string(depth, ')');
    };
    EXPECT_NO_THROW(parse_tree_expression(nested(TREE_MAX_DEPTH - 1)));
    // With the cases of tests/data/cases/tree_expr.jsonl.
    std::vector<std::tuple<std::string, std::size_t, std::string>> cases = {
        {nested(TREE_MAX_DEPTH), 0, "nesting deeper than 1000 levels"},
        {"gt(v=" + std::string(TREE_MAX_DEPTH + 5, '['), 0, "nesting deeper than 1000 levels"},
        // Fuzz-found: stray bytes and surrogate escapes would format as other strings.
        {std::string("zh(_='f\x95\x00?\xff\xff\x00')", 15), 8, "invalid UTF-8 byte"},
        {"gt(field='a\xff')", 12, "invalid UTF-8 byte"},
        {"gt(field=\xc3)", 10, "invalid UTF-8 byte"},
        {"gt(field='\\ud800')", 11, "invalid escape sequence"},
        {"gt(field='\\U0000dfff')", 11, "invalid escape sequence"},
    };
    for (const test::Case& c : test::read_cases("tree_expr.jsonl")) {
        if (c.has("error")) cases.emplace_back(c.str("text"), c["column"].as_int(), c.str("error"));
    }
    for (const auto& [text, column, problem] : cases) {
        const auto [at, said] = refusal(text);
        EXPECT_EQ(said, problem) << text;
        if (column != 0) EXPECT_EQ(at, column) << text << ": " << said;
    }
}

TEST(TreeExpression, CaretLinesUpUnderTheColumn) {
    // Multi-line input: the line holding the column, caret by code points.
    EXPECT_EQ(point_at_column("and_(\n  \xc3\xa9x(", 10), "    \xc3\xa9x(\n     ^");
    // Control characters are escaped (tabs kept), and the caret moves along.
    // "gt(v='" + "\u001b" + "[2J'," is 17 columns, then the tab, then "w=1 ".
    EXPECT_EQ(point_at_column("gt(v='\x1b[2J',\tw=1 x)", 18),
              "  gt(v='\\u001b[2J',\tw=1 x)\n  " + std::string(17, ' ') + "\t" + std::string(4, ' ') + "^");
}

TEST(TreeExpression, CaretShowsAWindowOfALongLineAndSaysHowMuchWasCut) {
    const std::string many = repeated("gt(field=a, value=1), ", 5000);  // 110 KB
    for (const std::string& text : {
             "and_(" + many + "gt(field=a value=1), " + many + "lt(field=b, value=2))",  // error in the middle
             "and_(gt(field=a value=1), " + many + "lt(field=b, value=2))",              // near the start
             "and_(" + many + "gt(field=a value=1))"}) {                                 // near the end
        const std::size_t column = refusal(text).first;
        ASSERT_EQ(text[column - 1], 'v');
        std::istringstream in(point_at_column(text, column));
        std::string line, caret_line, note;
        std::getline(in, line), std::getline(in, caret_line), std::getline(in, note);
        EXPECT_LE(line.size(), 82u);
        // The caret stands under the offending character.
        const std::size_t caret = caret_line.find('^');
        ASSERT_LT(caret, line.size());
        EXPECT_EQ(line.compare(caret, 7, "value=1"), 0) << line;
        // Characters before the window, in it and after it make up the line.
        const bool cut_before = line.rfind("  ...", 0) == 0, cut_after = line.ends_with("...");
        std::size_t before = 0, after = 0;
        const char* format = !cut_before  ? "  (not shown: %zu characters after)"
                             : cut_after ? "  (not shown: %zu characters before, %zu after)"
                                         : "  (not shown: %zu characters before)";
        EXPECT_EQ(std::sscanf(note.c_str(), format, cut_before ? &before : &after, &after), cut_before + cut_after);
        const std::size_t window = line.size() - 2 - (cut_before ? 3 : 0) - (cut_after ? 3 : 0);
        EXPECT_EQ(before + window + after, text.size()) << note;
        EXPECT_EQ(window, POINT_WINDOW);
    }
}

}  // namespace
}  // namespace brindlecap::cli
