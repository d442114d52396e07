#include "terminal_text.hpp"

#include <fmt/format.h>

#include "brindlecap/runtime/unicode_internal.hpp"

namespace brindlecap::cli {

std::string escape_controls(std::string_view text, bool keep_newlines) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const char32_t cp = runtime::unicode::decode_utf8(text, i);
        if (runtime::unicode::is_printable(cp) || (keep_newlines && cp == U'\n')) {
            out.append(text.substr(start, i - start));
            continue;
        }
        switch (cp) {
            case U'\n': out += "\\n"; break;
            case U'\t': out += "\\t"; break;
            case U'\r': out += "\\r"; break;
            case U'\b': out += "\\b"; break;
            case U'\f': out += "\\f"; break;
            default:
                if (cp >= 0xDC80 && cp <= 0xDCFF) {  // a byte that is not UTF-8 (see decode_utf8)
                    out += fmt::format("\\x{:02x}", static_cast<unsigned>(cp - 0xDC00));
                } else if (cp < 0x10000) {
                    out += fmt::format("\\u{:04x}", static_cast<unsigned>(cp));
                } else {
                    out += fmt::format("\\U{:08x}", static_cast<unsigned>(cp));
                }
        }
    }
    return out;
}

}  // namespace brindlecap::cli
