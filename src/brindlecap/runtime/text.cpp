#include "brindlecap/runtime/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

#include <fmt/format.h>

#include "brindlecap/runtime/nesting_internal.hpp"
#include "brindlecap/runtime/unicode_internal.hpp"

namespace brindlecap::runtime {

namespace {

void append_repr(std::string& out, std::string_view s) {
    const bool has_single = s.find('\'') != std::string_view::npos;
    const bool has_double = s.find('"') != std::string_view::npos;
    const char quote = has_single && !has_double ? '"' : '\'';
    out.reserve(out.size() + s.size() + 2);
    out.push_back(quote);
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t start = i;
        const char32_t cp = unicode::decode_utf8(s, i);
        if (cp == static_cast<char32_t>(quote) || cp == U'\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(cp));
        } else if (cp == U'\t') {
            out += "\\t";
        } else if (cp == U'\n') {
            out += "\\n";
        } else if (cp == U'\r') {
            out += "\\r";
        } else if (unicode::is_printable(cp)) {
            out.append(s.substr(start, i - start));
        } else if (cp < 0x100) {
            out += fmt::format("\\x{:02x}", static_cast<unsigned>(cp));
        } else if (cp < 0x10000) {
            out += fmt::format("\\u{:04x}", static_cast<unsigned>(cp));
        } else {
            out += fmt::format("\\U{:08x}", static_cast<unsigned>(cp));
        }
    }
    out.push_back(quote);
}

void append_repr(std::string& out, double d) {
    if (std::isnan(d)) {
        out += "nan";
        return;
    }
    if (std::isinf(d)) {
        out += d < 0 ? "-inf" : "inf";
        return;
    }
    if (std::signbit(d)) {
        out.push_back('-');
        d = -d;
    }
    // Shortest round-trip digits, read back from scientific notation: d.ddd e[+-]xx.
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(result.ptr - buf));
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (const char c : sci.substr(0, e_pos)) {
        if (c != '.') digits.push_back(c);
    }
    const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
    const int n = static_cast<int>(digits.size());

    if (exponent < -4 || exponent >= 16) {
        out.push_back(digits[0]);
        if (n > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out += fmt::format("e{}{:02d}", exponent < 0 ? '-' : '+', std::abs(exponent));
    } else if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else {
        const int int_digits = exponent + 1;
        if (n <= int_digits) {
            out += digits;
            out.append(static_cast<std::size_t>(int_digits - n), '0');
            out += ".0";
        } else {
            out.append(digits, 0, static_cast<std::size_t>(int_digits));
            out.push_back('.');
            out.append(digits, static_cast<std::size_t>(int_digits));
        }
    }
}

// Scalars, and containers as their opening bracket (the caller walks their items).
void append_scalar_repr(std::string& out, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::none: out += "None"; return;
        case Value::Kind::boolean: out += v.as_bool() ? "True" : "False"; return;
        case Value::Kind::integer: fmt::format_to(std::back_inserter(out), "{}", v.as_int()); return;
        case Value::Kind::floating: append_repr(out, v.as_float()); return;
        case Value::Kind::str: append_repr(out, std::string_view(v.as_str())); return;
        case Value::Kind::object: out += v.as_object().repr(); return;
        case Value::Kind::list:
        case Value::Kind::dict: return;
    }
}

// Nested lists and dicts are walked with an explicit stack, so any depth prints without
// exhausting the thread's stack. A container met again inside itself prints as [...] or {...},
// as Python prints a recursive structure.
void append_repr(std::string& out, const Value& v) {
    struct Frame {
        const void* container;
        const List* list;  // null for a dict
        const Dict* dict;
        std::size_t next;
    };
    std::vector<Frame> stack;
    detail::OpenContainers open;
    // Writes v, or opens it when it is a container.
    const auto visit = [&](const Value& item) {
        if (!item.is_list() && !item.is_dict()) {
            append_scalar_repr(out, item);
            return;
        }
        const void* container = item.is_list() ? static_cast<const void*>(&item.as_list())
                                               : static_cast<const void*>(&item.as_dict());
        if (open.contains(container)) {
            out += item.is_list() ? "[...]" : "{...}";
            return;
        }
        open.insert(container);
        if (item.is_list()) {
            out.push_back('[');
            stack.push_back(Frame{container, &item.as_list(), nullptr, 0});
        } else {
            out.push_back('{');
            stack.push_back(Frame{container, nullptr, &item.as_dict(), 0});
        }
    };

    visit(v);
    while (!stack.empty()) {
        Frame& f = stack.back();
        const std::size_t size = f.list != nullptr ? f.list->size() : f.dict->size();
        if (f.next == size) {
            out.push_back(f.list != nullptr ? ']' : '}');
            open.erase(f.container);
            stack.pop_back();
            continue;
        }
        const std::size_t i = f.next++;
        if (i > 0) out += ", ";
        if (f.list != nullptr) {
            visit((*f.list)[i]);  // may grow the stack: f is not used after this
        } else {
            const Dict& dict = *f.dict;
            append_scalar_repr(out, dict.key(i));  // keys are hashable: never lists or dicts
            out += ": ";
            visit(dict.value(i));
        }
    }
}

template <typename Items, typename Append>
std::string braced(const Items& items, char open, char close, Append append) {
    std::string out(1, open);
    bool first = true;
    for (const auto& item : items) {
        if (!first) out += ", ";
        first = false;
        append(out, item);
    }
    out.push_back(close);
    return out;
}

}  // namespace

std::string repr(const Value& v) {
    std::string out;
    append_repr(out, v);
    return out;
}

std::string repr(double d) {
    std::string out;
    append_repr(out, d);
    return out;
}

std::string repr(std::string_view s) {
    std::string out;
    append_repr(out, s);
    return out;
}

std::string str(const Value& v) {
    if (v.is_str()) return v.as_str();
    return v.is_object() ? v.as_object().str() : repr(v);
}

std::string type_name(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::none: return "NoneType";
        case Value::Kind::boolean: return "bool";
        case Value::Kind::integer: return "int";
        case Value::Kind::floating: return "float";
        case Value::Kind::str: return "str";
        case Value::Kind::list: return "list";
        case Value::Kind::dict: return "dict";
        case Value::Kind::object: return v.as_object().type_name();
    }
    return "object";
}

std::string repr_list(const std::vector<std::string>& items) {
    return braced(items, '[', ']', [](std::string& out, const std::string& s) { append_repr(out, std::string_view(s)); });
}

std::string set_display(const std::vector<std::string>& items) {
    if (items.empty()) return "set()";
    return braced(items, '{', '}', [](std::string& out, const std::string& s) { append_repr(out, std::string_view(s)); });
}

std::string int_set_display(const std::vector<long long>& items) {
    if (items.empty()) return "set()";
    return braced(items, '{', '}', [](std::string& out, long long i) { fmt::format_to(std::back_inserter(out), "{}", i); });
}

std::string fixed(double d, int decimals) {
    // Python prints nan without a sign, where printf may write "-nan".
    if (std::isnan(d)) return "nan";
    if (decimals < 0) decimals = 0;
    char buf[128];
    const int size = std::snprintf(buf, sizeof buf, "%.*f", decimals, d);
    if (size < static_cast<int>(sizeof buf)) return std::string(buf, static_cast<std::size_t>(size));
    std::string out(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(out.data(), out.size(), "%.*f", decimals, d);
    out.resize(static_cast<std::size_t>(size));
    return out;
}

}  // namespace brindlecap::runtime
