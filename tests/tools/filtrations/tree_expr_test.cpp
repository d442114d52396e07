#include "tree_expr.hpp"

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"
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

TEST(TreeExpression, ParsesTheDiagnosticShapeWithKeywordParameters) {
    const FilterNode tree = parse_tree_expression(
        "and_(gt(field=is_sharpe, value=0.0), top_pct(field=is_turnover, pct=0.1))");
    const FilterNode expected =
        node("and_", {},
             {node("gt", {{"field", "is_sharpe"}, {"value", 0.0}}),
              node("top_pct", {{"field", "is_turnover"}, {"pct", 0.1}})});
    EXPECT_EQ(tree, expected);
    // 0.0 is a float, not the integer 0 (the operators see the type).
    EXPECT_TRUE(tree.children[0].params.at(Value("value")).is_float());
}

TEST(TreeExpression, ReadsEveryKindOfParameterValue) {
    const FilterNode t = parse_tree_expression(
        "op( n = 5 , neg=-2, big=99999999999999999999.0, f=1e-3, g=.5, h=+7, "
        "t=True, fa=False, no=None, bare=momentum, q='a, b', dq=\"it's\", "
        "esc='tab\\there\\u00e9\\x41\\U0001F600', empty='', "
        "lst=[numerical, 'event', 3, [1.5]], d={a: 1, 'b c': [x]}, "
        "nan1=nan, nan2=NaN, inf1=inf, inf2=-Infinity, trailing=[1,2,],)");
    // repr shows the kinds too: 5 is an int, 1e+20 a float.
    EXPECT_EQ(runtime::repr(Value(t.params)),
              "{'n': 5, 'neg': -2, 'big': 1e+20, 'f': 0.001, 'g': 0.5, 'h': 7, 't': True, 'fa': False, 'no': None, "
              "'bare': 'momentum', 'q': 'a, b', 'dq': \"it's\", 'esc': 'tab\\there\xc3\xa9" "A\xf0\x9f\x98\x80', "
              "'empty': '', 'lst': ['numerical', 'event', 3, [1.5]], 'd': {'a': 1, 'b c': ['x']}, 'nan1': nan, "
              "'nan2': nan, 'inf1': inf, 'inf2': -inf, 'trailing': [1, 2]}");
    // An integer beyond 64 bits is refused, never rounded to a float.
    EXPECT_THROW(parse_tree_expression("gt(field=x, value=100000000000000000000)"), runtime::ValueError);
}

TEST(TreeExpression, ChildrenAndParametersMayMixAndNest) {
    const FilterNode t = parse_tree_expression(
        " filtration( select_all = True ) ");
    EXPECT_EQ(t, node("filtration", {{"select_all", true}}));

    const FilterNode mixed = parse_tree_expression("or_(lt(field=a, value=1), x=2, not_(eq(field=b, value=c)))");
    ASSERT_EQ(mixed.children.size(), 2u);
    EXPECT_EQ(mixed.children[1], node("not_", {}, {node("eq", {{"field", "b"}, {"value", "c"}})}));
    EXPECT_EQ(mixed.params, (Dict{{"x", 2}}));
    EXPECT_EQ(parse_tree_expression("\n and_(\n  gt(field=a,value=1)\n)\n"),
              node("and_", {}, {node("gt", {{"field", "a"}, {"value", 1}})}));
}

TEST(TreeExpression, FormatReadsBackToAnEqualTree) {
    const std::vector<FilterNode> trees = {
        node("gt", {{"field", "is_sharpe"}, {"value", 0.0}}),
        node("in_", {{"field", "signal_category"}, {"values", Value::list({"momentum", "value"})}}),
        node("eq", {{"field", "name"},
                    {"value", Value::list({"True", "12", "", "a b", "it's", "x\"y'z", "back\\slash",
                                           "nan", "-inf", "line\nbreak", "caf\xc3\xa9", "a=b", "-x"})}}),
        node("and_", {}, {node("not_", {}, {node("top_n", {{"field", "f"}, {"n", 3}})}),
                          node("between", {{"field", "d"}, {"low", -1.5e-07}, {"high", 1e+16}})}),
        node("custom", {{"opts", Value(Dict{{"k", Value::list({1, 2.5, Value(), Value(true)})}, {7, "seven"}})}}),
        node("filtration", {{"select_all", Value(true)}}),
    };
    for (const FilterNode& tree : trees) {
        const std::string text = format_tree_expression(tree);
        EXPECT_EQ(parse_tree_expression(text), tree) << text;
        EXPECT_EQ(format_tree_expression(parse_tree_expression(text)), text);
    }
    EXPECT_EQ(format_tree_expression(trees[0]), "gt(field=is_sharpe, value=0.0)");
    EXPECT_EQ(format_tree_expression(trees[3]),
              "and_(not_(top_n(field=f, n=3)), between(field=d, low=-1.5e-07, high=1e+16))");
    EXPECT_THROW(format_tree_expression(node("gt", {{"not a name", 1}})), runtime::ValueError);
}

struct SyntaxCase {
    std::string text;
    std::size_t column;
    std::string problem;
};

TEST(TreeExpression, SyntaxErrorsPointAtTheColumn) {
    const std::vector<SyntaxCase> cases = {
        {"", 1, "empty tree expression"},
        {"gt", 3, "expected '(' after 'gt', found end of input"},
        {"9gt(field=a)", 1, "expected an operator name, found '9'"},
        {"gt(field=a", 11, "expected ',' or ')', found end of input"},
        {"gt(field=)", 10, "expected a value, found ')'"},
        {"gt(field=a, field=b)", 13, "duplicate parameter 'field'"},
        {"gt(is_sharpe)", 13, "expected '=' or '(' after 'is_sharpe', found ')'"},
        {"gt(, field=a)", 4, "expected a child call or a keyword parameter, found ','"},
        {"gt(value=1.2.3)", 10, "invalid number '1.2.3'"},
        {"gt(field='abc)", 10, "unterminated string"},
        {"gt(field='a\\qb')", 12, "unknown escape '\\q'"},
        {"gt(field='\\x4')", 11, "invalid escape sequence"},
        {"and_(gt(field=a, value=1)) extra", 28, "unexpected text after the tree"},
        {"in_(values=[1, 2)", 17, "expected ',' or ']', found ')'"},
        {"f(d={a 1})", 8, "expected ':' after a dict key, found '1'"},
        {"f(d={[1]: 2})", 6, "a dict key must be a string or a number"},
        {"not_(child=gt(field=a))", 12, "a call cannot be a parameter value"},
        {"gt(field=a value=1)", 12, "expected ',' or ')', found 'v'"},
        // Columns count code points, not bytes.
        {"gt(field=\xc3\xa9t\xc3\xa9 \xc3\xa9)", 14, "expected ',' or ')', found '\xc3\xa9'"},
    };
    for (const SyntaxCase& c : cases) {
        try {
            parse_tree_expression(c.text);
            ADD_FAILURE() << "no error for " << c.text;
        } catch (const TreeSyntaxError& e) {
            EXPECT_EQ(e.column(), c.column) << c.text << ": " << e.what();
            EXPECT_EQ(e.problem().rfind(c.problem, 0), 0u) << c.text << ": " << e.problem();
            EXPECT_EQ(std::string(e.what()), e.problem() + " at column " + std::to_string(e.column()));
        }
    }
}

TEST(TreeExpression, RefusesNestingBeyondTheLimit) {
    std::string deep;
    for (int i = 0; i < TREE_MAX_DEPTH; ++i) deep += "not_(";
    deep += "gt(field=a, value=1)";
    deep += std::string(TREE_MAX_DEPTH, ')');
    EXPECT_THROW(parse_tree_expression(deep), TreeSyntaxError);

    std::string ok;
    for (int i = 0; i < TREE_MAX_DEPTH - 1; ++i) ok += "not_(";
    ok += "gt(field=a, value=1)" + std::string(TREE_MAX_DEPTH - 1, ')');
    EXPECT_NO_THROW(parse_tree_expression(ok));

    const std::string lists = "gt(v=" + std::string(TREE_MAX_DEPTH + 5, '[');
    try {
        parse_tree_expression(lists);
        ADD_FAILURE();
    } catch (const TreeSyntaxError& e) {
        EXPECT_EQ(e.problem(), "nesting deeper than 1000 levels");
    }
}

TEST(TreeExpression, CaretLinesUpUnderTheColumn) {
    EXPECT_EQ(point_at_column("gt(field=a value=1)", 12), "  gt(field=a value=1)\n             ^");
    // Multi-line input: the line holding the column, caret by code points.
    EXPECT_EQ(point_at_column("and_(\n  \xc3\xa9x(", 10), "    \xc3\xa9x(\n     ^");
    // Control characters are escaped (tabs kept), and the caret moves along.
    // "gt(v='" + "\u001b" + "[2J'," is 17 columns, then the tab, then "w=1 ".
    EXPECT_EQ(point_at_column("gt(v='\x1b[2J',\tw=1 x)", 18),
              "  gt(v='\\u001b[2J',\tw=1 x)\n  " + std::string(17, ' ') + "\t" + std::string(4, ' ') + "^");
}

std::string repeated(const std::string& part, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += part;
    return out;
}

TEST(TreeExpression, CaretShowsAWindowOfALongLineAndSaysHowMuchWasCut) {
    const std::string many = repeated("gt(field=a, value=1), ", 5000);  // 110 KB
    const std::vector<std::string> texts = {
        "and_(" + many + "gt(field=a value=1), " + many + "lt(field=b, value=2))",  // error in the middle
        "and_(gt(field=a value=1), " + many + "lt(field=b, value=2))",              // near the start
        "and_(" + many + "gt(field=a value=1))",                                     // near the end
    };
    for (const std::string& text : texts) {
        std::size_t column = 0;
        try {
            parse_tree_expression(text);
        } catch (const TreeSyntaxError& e) {
            column = e.column();
        }
        ASSERT_EQ(text[column - 1], 'v');
        const std::string shown = point_at_column(text, column);
        std::vector<std::string> lines;
        std::istringstream in(shown);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        ASSERT_EQ(lines.size(), 3u) << shown;
        EXPECT_LE(lines[0].size(), 82u);
        // The caret stands under the offending character.
        const std::size_t caret = lines[1].find('^');
        ASSERT_LT(caret, lines[0].size());
        EXPECT_EQ(lines[0].compare(caret, 7, "value=1"), 0) << shown;
        // Characters before the window, in it and after it make up the line.
        std::size_t before = 0, after = 0;
        const bool cut_before = lines[0].rfind("  ...", 0) == 0;
        const bool cut_after = lines[0].size() >= 3 && lines[0].compare(lines[0].size() - 3, 3, "...") == 0;
        if (cut_before && cut_after) {
            EXPECT_EQ(std::sscanf(lines[2].c_str(), "  (not shown: %zu characters before, %zu after)", &before, &after), 2);
        } else if (cut_before) {
            EXPECT_EQ(std::sscanf(lines[2].c_str(), "  (not shown: %zu characters before)", &before), 1);
        } else {
            EXPECT_EQ(std::sscanf(lines[2].c_str(), "  (not shown: %zu characters after)", &after), 1);
        }
        const std::size_t window = lines[0].size() - 2 - (cut_before ? 3 : 0) - (cut_after ? 3 : 0);
        EXPECT_EQ(before + window + after, text.size()) << lines[2];
        EXPECT_EQ(window, POINT_WINDOW);
    }
}

TEST(TreeJson, ReadsTheJsonShape) {
    const Value doc = runtime::parse_json(
        R"({"function_name": "and_", "children": [
             {"function_name": "gt", "params": {"field": "is_sharpe", "value": 0.5}},
             {"function_name": "top_n", "params": {"field": "is_returns", "n": 3}, "children": null}]})");
    const FilterNode tree = tree_from_value(doc);
    EXPECT_EQ(tree, node("and_", {},
                         {node("gt", {{"field", "is_sharpe"}, {"value", 0.5}}),
                          node("top_n", {{"field", "is_returns"}, {"n", 3}})}));
    EXPECT_EQ(tree_from_value(tree_to_value(tree)), tree);
    EXPECT_EQ(runtime::to_json(tree_to_value(node("gt", {{"field", "a"}}))),
              R"({"function_name": "gt", "params": {"field": "a"}, "children": []})");
}

TEST(TreeJson, ErrorsNameThePlace) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"([1])", "tree: a tree node must be an object, got list"},
        {R"({"params": {}})", "tree: 'function_name' is missing"},
        {R"({"function_name": 3})", "tree: 'function_name' must be a string, got int"},
        {R"({"function_name": "gt", "params": [1]})", "tree: 'params' must be an object, got list"},
        {R"({"function_name": "and_", "children": {}})", "tree: 'children' must be a list, got dict"},
        {R"({"function_name": "and_", "children": [{"function_name": "gt"}, {"function_name": "lt", "child": []}]})",
         "tree.children[1]: unknown key 'child' (a node has function_name, params and children)"},
        {R"({"function_name": "and_", "children": [{"function_name": "not_", "children": [7]}]})",
         "tree.children[0].children[0]: a tree node must be an object, got int"},
    };
    for (const auto& [text, message] : cases) {
        try {
            tree_from_value(runtime::parse_json(text));
            ADD_FAILURE() << text;
        } catch (const runtime::ValueError& e) {
            EXPECT_EQ(e.message(), message) << text;
        }
    }
}

}  // namespace
}  // namespace brindlecap::cli
