#pragma once
// Text on its way to a terminal.

#include <string>
#include <string_view>

namespace brindlecap::cli {

// `text` with what a terminal would act on written as an escape, the way the JSON output writes
// it: control characters (\n, \t, \u001b, C1 controls such as \u009b), other characters that
// are not printable (\u2028, ...) and bytes that are not UTF-8 (\xff). Printable text, other
// scripts included, stays as it is. With `keep_newlines`, '\n' stays a line break.
std::string escape_controls(std::string_view text, bool keep_newlines = false);

}  // namespace brindlecap::cli
