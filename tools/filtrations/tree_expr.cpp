#include "tree_expr.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/number_text_internal.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/unicode_internal.hpp"
#include "terminal_text.hpp"

namespace brindlecap::cli {

using runtime::Dict;
using runtime::List;
using runtime::Value;
using runtime::is_digit;

namespace {

std::size_t code_points(std::string_view text) {
    std::size_t n = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    }
    return n;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_ident_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_ident_char(char c) { return is_ident_start(c) || is_digit(c); }
// Characters that end a bare word.
bool is_delimiter(char c) {
    switch (c) {
        case ',': case '(': case ')': case '[': case ']': case '{': case '}':
        case '=': case ':': case '\'': case '"':
            return true;
        default:
            return is_space(c);
    }
}

// True / False / None, a number, or nullopt for a plain string. Throws (via `fail`) for a word
// that starts like a number but is not one.
enum class WordKind { String, Literal, Number, BadNumber };

WordKind classify(std::string_view w, Value* out) {
    if (w == "True" || w == "False" || w == "None") {
        if (out) *out = w == "None" ? Value() : Value(w == "True");
        return WordKind::Literal;
    }
    std::string_view body = w;
    bool negative = false;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (body == "nan" || body == "NaN" || body == "inf" || body == "Infinity") {
        if (out) {
            const double d = body[0] == 'n' || body[0] == 'N'
                                 ? std::numeric_limits<double>::quiet_NaN()
                                 : std::numeric_limits<double>::infinity();
            *out = Value(negative ? -d : d);
        }
        return WordKind::Number;
    }
    const bool numeric_start =
        !body.empty() && (is_digit(body[0]) || (body[0] == '.' && body.size() > 1 && is_digit(body[1])));
    if (!numeric_start) return WordKind::String;

    // digits [. digits] [e [+-] digits], with at least one digit in the mantissa.
    std::size_t i = 0;
    std::size_t mantissa_digits = 0;
    bool fraction = false;
    bool exponent = false;
    while (i < body.size() && is_digit(body[i])) ++i, ++mantissa_digits;
    if (i < body.size() && body[i] == '.') {
        fraction = true;
        ++i;
        while (i < body.size() && is_digit(body[i])) ++i, ++mantissa_digits;
    }
    if (mantissa_digits == 0) return WordKind::BadNumber;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        exponent = true;
        ++i;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
        const std::size_t digits_at = i;
        while (i < body.size() && is_digit(body[i])) ++i;
        if (i == digits_at) return WordKind::BadNumber;
    }
    if (i != body.size()) return WordKind::BadNumber;

    // Read as the JSON reader reads numbers: out of int64 range, a float.
    std::optional<Value> value = runtime::number_value(w[0] == '+' ? w.substr(1) : w, !fraction && !exponent);
    if (!value) return WordKind::BadNumber;
    if (out) *out = std::move(*value);
    return WordKind::Number;
}

// The names a built-in leaf's positional parameters stand for; none for other operators.
std::vector<std::string_view> positional_names(std::string_view operator_name) {
    namespace detail = functions::filtrations_evaluation::detail;
    const detail::BuiltinOperatorFacts* builtin = detail::find_builtin(operator_name);
    if (builtin == nullptr) return {};
    switch (builtin->shape) {
        case detail::ParameterShape::threshold: return {"field", "value"};
        case detail::ParameterShape::range: return {"field", "low", "high"};
        case detail::ParameterShape::members: return {"field", "values"};
        case detail::ParameterShape::share: return {"field", "pct"};
        case detail::ParameterShape::count: return {"field", "n"};
        case detail::ParameterShape::children: return {};
    }
    return {};
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    FilterNode parse() {
        // Strings keep their bytes: only well-formed UTF-8 formats back to the same text.
        for (std::size_t i = 0; i < text_.size();) {
            const std::size_t at = i;
            const char32_t cp = runtime::unicode::decode_utf8(text_, i);
            if (cp >= 0xD800 && cp <= 0xDFFF) fail("invalid UTF-8 byte", at);
        }
        skip_ws();
        if (at_end()) fail("empty tree expression: expected an operator name", pos_);
        FilterNode root = parse_call(1);
        skip_ws();
        if (!at_end()) fail("unexpected text after the tree", pos_);
        return root;
    }

private:
    [[noreturn]] void fail(const std::string& problem, std::size_t at) const {
        throw TreeSyntaxError(problem, code_points(text_.substr(0, at)) + 1);
    }

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return at_end() ? '\0' : text_[pos_]; }
    void skip_ws() {
        while (!at_end() && is_space(text_[pos_])) ++pos_;
    }
    std::string describe_here() const {
        if (at_end()) return "end of input";
        const std::size_t start = pos_;
        std::size_t end = start + 1;
        while (end < text_.size() && (static_cast<unsigned char>(text_[end]) & 0xC0) == 0x80) ++end;
        return "'" + std::string(text_.substr(start, end - start)) + "'";
    }
    void check_depth(int depth, std::size_t at) const {
        if (depth > TREE_MAX_DEPTH) {
            fail("nesting deeper than " + std::to_string(TREE_MAX_DEPTH) + " levels", at);
        }
    }

    std::string_view read_identifier() {
        const std::size_t start = pos_;
        if (!at_end() && is_ident_start(text_[pos_])) {
            ++pos_;
            while (!at_end() && is_ident_char(text_[pos_])) ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

    FilterNode parse_call(int depth) {
        check_depth(depth, pos_);
        FilterNode node;
        const std::string_view name = read_identifier();
        if (name.empty()) fail("expected an operator name, found " + describe_here(), pos_);
        node.function_name = std::string(name);
        skip_ws();
        if (peek() != '(') {
            fail("expected '(' after '" + node.function_name + "', found " + describe_here(), pos_);
        }
        ++pos_;
        std::vector<std::pair<Value, std::size_t>> positional;  // unnamed values and where they start
        bool keyword_seen = false;
        while (true) {
            skip_ws();
            if (peek() == ')') {
                ++pos_;
                name_positional(node, positional);
                return node;
            }
            const std::size_t arg_start = pos_;
            const std::string_view word = read_identifier();
            skip_ws();
            if (!word.empty() && peek() == '=') {
                ++pos_;
                const std::string key(word);
                if (node.params.contains(key)) fail("duplicate parameter '" + key + "'", arg_start);
                node.params.set(Value(key), parse_value(depth));
                keyword_seen = true;
            } else if (!word.empty() && peek() == '(') {
                pos_ = arg_start;
                node.children.push_back(parse_call(depth + 1));
            } else {
                pos_ = arg_start;
                if (at_end() || peek() == ',' || peek() == ')') {
                    fail("expected a child call, a parameter or a keyword parameter, found " + describe_here(), pos_);
                }
                if (keyword_seen) fail("a positional parameter cannot follow a keyword parameter", arg_start);
                positional.emplace_back(parse_value(depth), arg_start);
            }
            skip_ws();
            if (peek() == ',') {
                ++pos_;
            } else if (peek() != ')') {
                fail("expected ',' or ')', found " + describe_here(), pos_);
            }
        }
    }

    // Positional values are a built-in's `field` and then its parameters, in the order the
    // diagnostics print them: gt(is_sharpe, 0.5), between(x, 1, 2), top_pct(x, 0.2).
    void name_positional(FilterNode& node, std::vector<std::pair<Value, std::size_t>>& positional) const {
        if (positional.empty()) return;
        const std::vector<std::string_view> names = positional_names(node.function_name);
        const std::size_t first_at = positional.front().second;
        if (names.empty()) {
            fail("positional parameters are read for the built-in leaf operators only; write " +
                     node.function_name + "(name=value, ...)",
                 first_at);
        }
        if (positional.size() > names.size()) {
            std::string list;
            for (const std::string_view n : names) list += (list.empty() ? "" : ", ") + std::string(n);
            fail(node.function_name + " takes at most " + std::to_string(names.size()) + " positional parameters (" +
                     list + ")",
                 positional[names.size()].second);
        }
        // Keyword parameters stay after the positional ones, as written.
        Dict params;
        for (std::size_t i = 0; i < positional.size(); ++i) {
            const std::string key(names[i]);
            if (node.params.contains(key)) fail("duplicate parameter '" + key + "'", positional[i].second);
            params.set(Value(key), std::move(positional[i].first));
        }
        for (const auto& [key, value] : node.params) params.set(key, value);
        node.params = std::move(params);
    }

    // `depth` counts calls and the containers around the value.
    Value parse_value(int depth) {
        skip_ws();
        const char c = peek();
        if (c == '[' || c == '{') check_depth(depth + 1, pos_);
        if (c == '[') return parse_list(depth + 1);
        if (c == '{') return parse_dict(depth + 1);
        if (c == '\'' || c == '"') return Value(parse_quoted());
        if (at_end() || is_delimiter(c)) fail("expected a value, found " + describe_here(), pos_);

        const std::size_t start = pos_;
        while (!at_end() && !is_delimiter(text_[pos_])) ++pos_;
        const std::string_view word = text_.substr(start, pos_ - start);
        const std::size_t after = pos_;
        skip_ws();
        if (peek() == '(') {
            fail("a call cannot be a parameter value; pass children as positional arguments", start);
        }
        pos_ = after;
        Value v;
        switch (classify(word, &v)) {
            case WordKind::BadNumber:
                fail("invalid number '" + std::string(word) + "' (quote it to pass a string)", start);
            case WordKind::String:
                return Value(word);
            default:
                return v;
        }
    }

    Value parse_list(int depth) {
        ++pos_;  // '['
        List items;
        while (true) {
            skip_ws();
            if (peek() == ']') {
                ++pos_;
                return Value::list(std::move(items));
            }
            items.push_back(parse_value(depth));
            skip_ws();
            if (peek() == ',') {
                ++pos_;
            } else if (peek() != ']') {
                fail("expected ',' or ']', found " + describe_here(), pos_);
            }
        }
    }

    Value parse_dict(int depth) {
        ++pos_;  // '{'
        Dict dict;
        while (true) {
            skip_ws();
            if (peek() == '}') {
                ++pos_;
                return Value(std::move(dict));
            }
            const std::size_t key_at = pos_;
            Value key = parse_value(depth);
            if (key.is_list() || key.is_dict()) fail("a dict key must be a string or a number", key_at);
            skip_ws();
            if (peek() != ':') fail("expected ':' after a dict key, found " + describe_here(), pos_);
            ++pos_;
            Value value = parse_value(depth);
            dict.set(std::move(key), std::move(value));
            skip_ws();
            if (peek() == ',') {
                ++pos_;
            } else if (peek() != '}') {
                fail("expected ',' or '}', found " + describe_here(), pos_);
            }
        }
    }

    std::uint32_t read_hex(std::size_t digits, std::size_t escape_at) {
        if (pos_ + digits > text_.size()) fail("truncated escape sequence", escape_at);
        std::uint32_t cp = 0;
        const auto [ptr, ec] =
            std::from_chars(text_.data() + pos_, text_.data() + pos_ + digits, cp, 16);
        if (ec != std::errc() || ptr != text_.data() + pos_ + digits) {
            fail("invalid escape sequence", escape_at);
        }
        pos_ += digits;
        return cp;
    }

    std::string parse_quoted() {
        const std::size_t open = pos_;
        const char quote = text_[pos_++];
        std::string out;
        while (true) {
            if (at_end()) fail("unterminated string", open);
            const char c = text_[pos_];
            if (c == quote) {
                ++pos_;
                return out;
            }
            if (c != '\\') {
                out += c;
                ++pos_;
                continue;
            }
            const std::size_t escape_at = pos_;
            ++pos_;
            if (at_end()) fail("unterminated string", open);
            const char e = text_[pos_++];
            switch (e) {
                case '\\': out += '\\'; break;
                case '\'': out += '\''; break;
                case '"': out += '"'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'x': runtime::unicode::append_utf8(out, read_hex(2, escape_at)); break;
                case 'u': {
                    const std::uint32_t cp = read_hex(4, escape_at);
                    if (cp >= 0xD800 && cp <= 0xDFFF) fail("invalid escape sequence", escape_at);
                    runtime::unicode::append_utf8(out, cp);
                    break;
                }
                case 'U': {
                    const std::uint32_t cp = read_hex(8, escape_at);
                    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) fail("invalid escape sequence", escape_at);
                    runtime::unicode::append_utf8(out, cp);
                    break;
                }
                default:
                    fail(std::string("unknown escape '\\") + e + "'", escape_at);
            }
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

bool is_identifier(std::string_view s) {
    if (s.empty() || !is_ident_start(s[0])) return false;
    for (const char c : s) {
        if (!is_ident_char(c)) return false;
    }
    return true;
}

void format_value(const Value& v, std::string& out) {
    switch (v.kind()) {
        case Value::Kind::str: {
            const std::string& s = v.as_str();
            bool bare = !s.empty() && classify(s, nullptr) == WordKind::String;
            for (const char c : s) {
                if (is_delimiter(c) || c == '\\' || static_cast<unsigned char>(c) < 0x20) bare = false;
            }
            out += bare ? s : runtime::repr(std::string_view(s));
            return;
        }
        case Value::Kind::list: {
            out += '[';
            bool first = true;
            for (const Value& item : v.as_list()) {
                if (!first) out += ", ";
                first = false;
                format_value(item, out);
            }
            out += ']';
            return;
        }
        case Value::Kind::dict: {
            out += '{';
            bool first = true;
            for (const auto& [key, item] : v.as_dict()) {
                if (!first) out += ", ";
                first = false;
                format_value(key, out);
                out += ": ";
                format_value(item, out);
            }
            out += '}';
            return;
        }
        case Value::Kind::object:
            throw runtime::TypeError("a " + runtime::type_name(v) +
                                     " parameter cannot be written as an inline tree");
        default:
            out += runtime::repr(v);  // None, True, 12, 0.1, nan, -inf
    }
}

void format_node(const FilterNode& node, std::string& out) {
    out += node.function_name;
    out += '(';
    bool first = true;
    for (const FilterNode& child : node.children) {
        if (!first) out += ", ";
        first = false;
        format_node(child, out);
    }
    for (const auto& [key, value] : node.params) {
        if (!key.is_str() || !is_identifier(key.as_str())) {
            throw runtime::ValueError("parameter name " + runtime::repr(key) +
                                      " cannot be written as an inline keyword");
        }
        if (!first) out += ", ";
        first = false;
        out += key.as_str();
        out += '=';
        format_value(value, out);
    }
    out += ')';
}

}  // namespace

TreeSyntaxError::TreeSyntaxError(std::string problem, std::size_t column)
    : std::runtime_error(problem + " at column " + std::to_string(column)),
      problem_(std::move(problem)),
      column_(column) {}

FilterNode parse_tree_expression(std::string_view text) { return Parser(text).parse(); }

std::string format_tree_expression(const FilterNode& tree) {
    std::string out;
    format_node(tree, out);
    return out;
}

std::string point_at_column(std::string_view text, std::size_t column) {
    // The line that holds the column: where it starts, in bytes and in code points.
    std::size_t line_start = 0;
    std::size_t line_cp = 0;
    std::size_t i = 0;
    std::size_t cp = 0;  // code points before i
    for (; i < text.size() && cp + 1 < column; ++cp) {
        if (text[i] == '\n') line_start = i + 1, line_cp = cp + 1;
        runtime::unicode::decode_utf8(text, i);
    }
    const std::size_t at = cp - line_cp;  // the column's place in the line

    // One cell per code point of the line: control characters escaped, tabs kept so that the
    // caret lines up.
    std::vector<std::string> cells;
    for (std::size_t j = line_start; j < text.size() && text[j] != '\n';) {
        const std::size_t start = j;
        runtime::unicode::decode_utf8(text, j);
        const std::string_view c = text.substr(start, j - start);
        cells.push_back(c == "\t" ? std::string(c) : escape_controls(c));
    }

    // Of a long line, a window around the column.
    std::size_t first = 0;
    std::size_t last = cells.size();
    if (cells.size() > POINT_WINDOW) {
        first = at > POINT_WINDOW / 2 ? at - POINT_WINDOW / 2 : 0;
        first = std::min(first, cells.size() - POINT_WINDOW);
        last = first + POINT_WINDOW;
    }
    std::string shown = first > 0 ? "..." : "";
    std::string caret = first > 0 ? "   " : "";
    for (std::size_t k = first; k < last; ++k) {
        shown += cells[k];
        if (k < at) caret += cells[k] == "\t" ? "\t" : std::string(code_points(cells[k]), ' ');
    }
    if (last < cells.size()) shown += "...";
    std::string out = "  " + shown + "\n  " + caret + "^";
    const std::string before = std::to_string(first);
    const std::string after = std::to_string(cells.size() - last);
    if (first > 0 && last < cells.size()) {
        out += "\n  (not shown: " + before + " characters before, " + after + " after)";
    } else if (first > 0) {
        out += "\n  (not shown: " + before + " characters before)";
    } else if (last < cells.size()) {
        out += "\n  (not shown: " + after + " characters after)";
    }
    return out;
}

}  // namespace brindlecap::cli
