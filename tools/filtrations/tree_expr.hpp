#pragma once
// Filter trees from text: the inline expression form and the JSON object form.
//
// Inline form, in the shape the diagnostics print, with keyword parameters or without:
//   and_(gt(field=is_sharpe, value=0.0), top_pct(field=is_turnover, pct=0.1))
//   and_(gt(is_sharpe, 0.0), between(x, 1, 2), top_pct(is_turnover, 0.1))
// A call among the arguments is a child; a value without a name is, for a built-in leaf, its
// field and then its parameters in order (value; low, high; values; pct; n); a keyword argument
// is a parameter of that name. Parameter values are
// numbers (integers stay integers, 0.5 / 1e-3 / nan / inf are floats), True / False / None,
// strings bare or quoted ('a b', "it's"), lists [a, b] and dicts {key: value}.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::cli {

using functions::filtrations_evaluation::FilterNode;

// Calls and containers nested deeper than this are refused (the parser recurses per level).
inline constexpr int TREE_MAX_DEPTH = 1000;

// A syntax error in an inline expression. `column` is 1-based, in code points of the input.
class TreeSyntaxError : public std::runtime_error {
public:
    TreeSyntaxError(std::string problem, std::size_t column);
    const std::string& problem() const noexcept { return problem_; }
    std::size_t column() const noexcept { return column_; }

private:
    std::string problem_;
    std::size_t column_;
};

// Parses an inline expression; TreeSyntaxError on malformed text.
FilterNode parse_tree_expression(std::string_view text);

// The inline form of a tree; parse_tree_expression reads it back to an equal tree.
std::string format_tree_expression(const FilterNode& tree);



// Caret display of a syntax error: the input line and a '^' under the column. Control
// characters are escaped; of a line longer than POINT_WINDOW characters, only that many around
// the column are shown, with a note of how many were cut.
inline constexpr std::size_t POINT_WINDOW = 72;
std::string point_at_column(std::string_view text, std::size_t column);

}  // namespace brindlecap::cli
