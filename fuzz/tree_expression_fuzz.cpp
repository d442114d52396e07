// The command line's inline tree expressions: any text either parses or fails with a
// TreeSyntaxError whose column lies within the text; a parsed tree formats to an expression
// that parses back to the same expression, and the caret display never fails.

#include <cstdint>
#include <string>
#include <string_view>

#include "brindlecap/runtime/json.hpp"
#include "fuzz_support.hpp"
#include "tree_expr.hpp"

namespace {

using namespace brindlecap::fuzz;
namespace cli = brindlecap::cli;

std::size_t code_points(std::string_view text) {
    std::size_t n = 0;
    for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    fe::FilterNode tree;
    try {
        tree = cli::parse_tree_expression(text);
    } catch (const cli::TreeSyntaxError& e) {
        if (e.problem().empty()) finding("syntax error without a problem");
        if (e.column() < 1 || e.column() > code_points(text) + 1)
            finding("syntax error column " + std::to_string(e.column()) + " outside the text");
        (void)cli::point_at_column(text, e.column());
        return 0;
    } catch (const std::exception& e) {
        expect_documented(e, {"ValueError"});
        return 0;
    }
    const std::string formatted = cli::format_tree_expression(tree);
    fe::FilterNode again;
    try {
        again = cli::parse_tree_expression(formatted);
    } catch (const std::exception& e) {
        finding("formatted tree does not parse: " + formatted + " (" + e.what() + ")");
    }
    if (cli::format_tree_expression(again) != formatted) finding("formatting is not stable: " + formatted);
    const std::string json = brindlecap::runtime::to_json(brindlecap::functions::filtrations_evaluation::tree_to_value(tree));
    if (brindlecap::runtime::to_json(brindlecap::functions::filtrations_evaluation::tree_to_value(brindlecap::functions::filtrations_evaluation::tree_from_value(brindlecap::runtime::parse_json(json)))) != json)
        finding("tree JSON does not read back to itself");
    return 0;
}
