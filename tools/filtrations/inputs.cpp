#include "inputs.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"
#include "tree_expr.hpp"

namespace brindlecap::cli {

using functions::filtrations_evaluation::UsefulSignal;
using runtime::Dict;
using runtime::Value;

namespace {

std::string file_type_name(std::filesystem::file_type type) {
    switch (type) {
        case std::filesystem::file_type::directory: return "a directory";
        case std::filesystem::file_type::fifo: return "a FIFO";
        case std::filesystem::file_type::character: return "a character device";
        case std::filesystem::file_type::block: return "a block device";
        case std::filesystem::file_type::socket: return "a socket";
        default: return "an unknown kind of file";
    }
}

std::string read_all(std::istream& in, const std::string& what, const std::string& path,
                     std::uintmax_t size_hint = 0) {
    std::string text;
    text.reserve(size_hint);
    char chunk[1 << 16];
    while (in.read(chunk, sizeof chunk), in.gcount() > 0) {
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) throw InputError("cannot read " + what + " '" + path + "': read failed");
    return text;
}

// A regular file, or standard input for "-". Anything else is refused before it is opened: a
// FIFO would block, /dev/zero never ends.
std::string read_text_file(const std::string& path, const std::string& what) {
    try {
        if (path == "-") return read_all(std::cin, what, path);
        std::error_code ec;
        const std::filesystem::file_status status = std::filesystem::status(path, ec);
        if (!ec && status.type() != std::filesystem::file_type::regular) {
            throw InputError("cannot read " + what + " '" + path + "': " +
                             file_type_name(status.type()) +
                             ", not a regular file (give a file, or - for standard input)");
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            throw InputError("cannot read " + what + " '" + path + "': " + std::strerror(errno));
        }
        const std::uintmax_t size = std::filesystem::file_size(path, ec);
        return read_all(in, what, path, ec ? 0 : size);
    } catch (const std::bad_alloc&) {
        throw InputTooLarge("out of memory reading " + what + " '" + path + "'");
    }
}

Value parse_json_text(const std::string& text, const std::string& what, const std::string& path) {
    try {
        return runtime::parse_json(text);
    } catch (const runtime::ValueError& e) {
        throw InputError("malformed JSON in " + what + " '" + path + "': " + e.message());
    } catch (const std::bad_alloc&) {
        throw InputTooLarge("out of memory reading " + what + " '" + path + "'");
    }
}

// An operator name followed by '(' (a path to a missing file is reported as such instead).
bool looks_like_expression(const std::string& arg) {
    std::size_t i = arg.find_first_not_of(" \t\r\n");
    if (i == std::string::npos) return false;
    const auto ident_start = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; };
    if (!ident_start(arg[i])) return false;
    while (i < arg.size() && (ident_start(arg[i]) || std::isdigit(static_cast<unsigned char>(arg[i])))) ++i;
    while (i < arg.size() && std::isspace(static_cast<unsigned char>(arg[i]))) ++i;
    return i < arg.size() && arg[i] == '(';
}

}  // namespace

Value load_json_file(const std::string& path, const std::string& what) {
    return parse_json_text(read_text_file(path, what), what, path);
}

Dict signals_from_value(const Value& doc, const std::string& where) {
    try {
        (void)functions::filtrations_evaluation::pool_from_value(doc, where);  // checks the shape
    } catch (const runtime::ValueError& e) {
        throw InputError(e.message());
    }
    return doc.as_dict();
}

SignalPool load_pool_file(const std::string& path) {
    const std::string text = read_text_file(path, "signals file");
    try {
        return functions::filtrations_evaluation::parse_signal_pool_json(text);
    } catch (const runtime::Exception&) {
        // Malformed or of another shape: the general reader words the error.
        const Dict signals = signals_from_value(parse_json_text(text, "signals file", path), "signals file '" + path + "'");
        return functions::filtrations_evaluation::pool_from_value(Value(signals));
    } catch (const std::bad_alloc&) {
        throw InputTooLarge("out of memory reading signals file '" + path + "'");
    }
}

Dict load_signals_file(const std::string& path) {
    return signals_from_value(load_json_file(path, "signals file"), "signals file '" + path + "'");
}

FilterNode load_tree_argument(const std::string& arg) {
    std::error_code ec;
    if (arg == "-" || std::filesystem::exists(arg, ec)) {
        const Value doc = load_json_file(arg, "tree file");
        try {
            return functions::filtrations_evaluation::tree_from_value(doc);
        } catch (const runtime::ValueError& e) {
            throw InputError("tree file '" + arg + "': " + e.message());
        }
    }
    const auto first = arg.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && arg[first] == '{') {
        const Value doc = parse_json_text(arg, "inline tree", "--tree");
        try {
            return functions::filtrations_evaluation::tree_from_value(doc);
        } catch (const runtime::ValueError& e) {
            throw InputError("inline tree: " + e.message());
        }
    }
    if (looks_like_expression(arg)) {
        try {
            return parse_tree_expression(arg);
        } catch (const TreeSyntaxError& e) {
            throw InputError("tree expression: " + e.problem() + " at column " +
                                 std::to_string(e.column()),
                             point_at_column(arg, e.column()));
        }
    }
    throw InputError("tree '" + arg +
                     "': no such file, and not an inline expression such as "
                     "gt(field=is_sharpe, value=0.0)");
}

std::vector<std::string> load_signal_ids(const std::string& arg) {
    std::vector<std::string> ids;
    if (arg.empty() || arg[0] != '@') {
        // Inline: comma-separated, taken as written ('#' included).
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = arg.find(',', start);
            const std::string item =
                arg.substr(start, comma == std::string::npos ? comma : comma - start);
            const std::size_t first = item.find_first_not_of(" \t\r\n");
            if (first == std::string::npos) {
                throw InputError("--signal-ids: empty item in '" + arg + "'");
            }
            ids.push_back(item.substr(first, item.find_last_not_of(" \t\r\n") - first + 1));
            if (comma == std::string::npos) return ids;
            start = comma + 1;
        }
    }
    const std::string text = read_text_file(arg.substr(1), "signal id file");
    std::string current;
    bool comment = false;
    auto flush = [&] {
        if (!current.empty()) ids.push_back(std::move(current));
        current.clear();
    };
    for (const char c : text) {
        if (c == '\n') {
            comment = false;
            flush();
        } else if (comment) {
            continue;
        } else if (c == '#') {
            comment = true;
            flush();
        } else if (c == ',' || c == ' ' || c == '\t' || c == '\r') {
            flush();
        } else {
            current += c;
        }
    }
    flush();
    return ids;
}

Dict load_object_file(const std::string& path, const std::string& what) {
    const Value doc = load_json_file(path, what);
    if (!doc.is_dict()) {
        throw InputError(what + " '" + path + "': expected a JSON object, got " +
                         runtime::type_name(doc));
    }
    return doc.as_dict();
}

}  // namespace brindlecap::cli
