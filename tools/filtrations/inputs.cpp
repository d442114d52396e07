#include "inputs.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"
#include "tree_expr.hpp"

namespace brindlecap::cli {

using functions::filtrations_evaluation::UsefulSignal;
using runtime::Dict;
using runtime::Value;

namespace {

std::string read_text_file(const std::string& path, const std::string& what) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        throw InputError("cannot read " + what + " '" + path + "': Is a directory");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError("cannot read " + what + " '" + path + "': " + std::strerror(errno));
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) throw InputError("cannot read " + what + " '" + path + "': read failed");
    return std::move(buffer).str();
}

Value parse_json_text(const std::string& text, const std::string& what, const std::string& path) {
    try {
        return runtime::parse_json(text);
    } catch (const runtime::ValueError& e) {
        throw InputError("malformed JSON in " + what + " '" + path + "': " + e.message());
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
    if (!doc.is_dict()) {
        throw InputError(where + ": expected an object mapping signal ids to metadata objects, got " +
                         runtime::type_name(doc));
    }
    for (const auto& [id, metadata] : doc.as_dict()) {
        if (!metadata.is_dict()) {
            throw InputError(where + ": signal " + runtime::repr(id) +
                             ": metadata must be an object, got " + runtime::type_name(metadata));
        }
    }
    return doc.as_dict();
}

Dict load_signals_file(const std::string& path) {
    return signals_from_value(load_json_file(path, "signals file"), "signals file '" + path + "'");
}

SignalPool pool_from_signals(const Dict& signals) {
    SignalPool pool;
    pool.reserve(signals.size());
    for (const auto& [id, metadata] : signals) {
        pool.insert(id.as_str(), UsefulSignal::make(metadata.as_dict()));
    }
    return pool;
}

FilterNode load_tree_argument(const std::string& arg) {
    std::error_code ec;
    if (std::filesystem::exists(arg, ec)) {
        const Value doc = load_json_file(arg, "tree file");
        try {
            return tree_from_value(doc);
        } catch (const runtime::ValueError& e) {
            throw InputError("tree file '" + arg + "': " + e.message());
        }
    }
    const auto first = arg.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && arg[first] == '{') {
        const Value doc = parse_json_text(arg, "inline tree", "--tree");
        try {
            return tree_from_value(doc);
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
            const std::string item = arg.substr(start, comma == std::string::npos ? comma : comma - start);
            const std::size_t first = item.find_first_not_of(" \t\r\n");
            if (first == std::string::npos) throw InputError("--signal-ids: empty item in '" + arg + "'");
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
