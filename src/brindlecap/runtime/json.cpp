#include "brindlecap/runtime/json.hpp"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <system_error>
#include <unordered_set>
#include <utility>
#include <vector>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/number_text_internal.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/unicode_internal.hpp"

namespace brindlecap::runtime {

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence starting at s[i], or 0.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if (!is_continuation(b)) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return len;
}

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    Value parse() {
        struct Frame {
            Value container;
            bool is_dict;
            Value key;
        };
        std::vector<Frame> stack;
        for (;;) {
            skip_ws();
            Value v;
            if (i_ < s_.size() && (s_[i_] == '[' || s_[i_] == '{')) {
                if (stack.size() >= static_cast<std::size_t>(JSON_MAX_DEPTH))
                    fail("Nesting deeper than " + std::to_string(JSON_MAX_DEPTH) + " levels", i_);
                const bool is_dict = s_[i_++] == '{';
                skip_ws();
                if (!is_dict) {
                    Value list{List{}};
                    if (i_ < s_.size() && s_[i_] == ']') {
                        ++i_;
                        v = std::move(list);
                    } else {
                        stack.push_back({std::move(list), false, {}});
                        continue;
                    }
                } else {
                    Value dict{Dict{}};
                    if (i_ < s_.size() && s_[i_] == '}') {
                        ++i_;
                        v = std::move(dict);
                    } else {
                        Value key = parse_key();
                        stack.push_back({std::move(dict), true, std::move(key)});
                        continue;
                    }
                }
            } else {
                v = parse_scalar();
            }
            // Hand the finished value to the enclosing containers, closing as many as end here.
            for (;;) {
                if (stack.empty()) {
                    skip_ws();
                    if (i_ != s_.size()) fail("Extra data", i_);
                    return v;
                }
                Frame& f = stack.back();
                if (f.is_dict)
                    f.container.as_dict().set(std::move(f.key), std::move(v));
                else
                    f.container.as_list().push_back(std::move(v));
                skip_ws();
                if (i_ < s_.size() && s_[i_] == ',') {
                    ++i_;
                    if (f.is_dict) {
                        skip_ws();
                        f.key = parse_key();
                    }
                    break;
                }
                const char close = f.is_dict ? '}' : ']';
                if (i_ < s_.size() && s_[i_] == close) {
                    ++i_;
                    v = std::move(f.container);
                    stack.pop_back();
                    continue;
                }
                fail("Expecting ',' delimiter", i_);
            }
        }
    }

private:
    [[noreturn]] void fail(const std::string& what, std::size_t pos) const {
        std::size_t line = 1, column = 1, chars = 0;
        for (std::size_t k = 0; k < pos && k < s_.size(); ++k) {
            const auto c = static_cast<unsigned char>(s_[k]);
            if (is_continuation(c)) continue;
            ++chars;
            if (c == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw ValueError(what + ": line " + std::to_string(line) + " column " +
                         std::to_string(column) + " (char " + std::to_string(chars) + ")");
    }

    void skip_ws() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
            ++i_;
    }

    bool starts_with(std::string_view lit) const { return s_.substr(i_, lit.size()) == lit; }

    // An object key followed by ':'; i_ is at the key's opening quote.
    Value parse_key() {
        if (i_ >= s_.size() || s_[i_] != '"')
            fail("Expecting property name enclosed in double quotes", i_);
        Value key = string_value(parse_string());
        skip_ws();
        if (i_ >= s_.size() || s_[i_] != ':') fail("Expecting ':' delimiter", i_);
        ++i_;
        return key;
    }

    unsigned hex4(std::size_t at) const {
        if (at + 4 > s_.size()) return 0x10000;
        unsigned v = 0;
        for (std::size_t k = at; k < at + 4; ++k) {
            const char c = s_[k];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= static_cast<unsigned>(c - 'A' + 10);
            else
                return 0x10000;
        }
        return v;
    }

    // Short strings are shared through a small cache: the keys of every object and values such
    // as categories repeat throughout a document, and one string object each saves an allocation
    // per occurrence and the memory of every copy. Strings are immutable, so only Value::is can
    // tell.
    Value string_value(std::string s) {
        constexpr std::size_t SHORT = 32;
        if (s.size() > SHORT) return Value(std::move(s));
        StrPtr& slot = recent_[std::hash<std::string_view>{}(s) % recent_.size()];
        if (slot && *slot == s) return Value(slot);
        slot = std::make_shared<const std::string>(std::move(s));
        return Value(slot);
    }

    std::string parse_string() {
        const std::size_t start = i_++;
        std::string out;
        for (;;) {
            if (i_ >= s_.size()) fail("Unterminated string starting at", start);
            const char c = s_[i_];
            if (c == '"') {
                ++i_;
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20) fail("Invalid control character at", i_);
            if (c != '\\') {
                const std::size_t len = utf8_sequence_length(s_, i_);
                if (len == 0) fail("Invalid UTF-8 byte", i_);
                out.append(s_.substr(i_, len));
                i_ += len;
                continue;
            }
            if (i_ + 1 >= s_.size()) fail("Unterminated string starting at", start);
            const char e = s_[i_ + 1];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    std::uint32_t cp = hex4(i_ + 2);
                    if (cp > 0xFFFF) fail("Invalid \\uXXXX escape", i_);
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        const unsigned low = (s_.substr(i_ + 6, 2) == "\\u") ? hex4(i_ + 8) : 0x10000;
                        if (low < 0xDC00 || low > 0xDFFF) fail("Lone surrogate in \\uXXXX escape", i_);
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        i_ += 6;
                    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                        fail("Lone surrogate in \\uXXXX escape", i_);
                    }
                    unicode::append_utf8(out, cp);
                    i_ += 4;
                    break;
                }
                default: fail("Invalid \\escape", i_);
            }
            i_ += 2;
        }
    }

    Value parse_scalar() {
        if (i_ >= s_.size()) fail("Expecting value", i_);
        const char c = s_[i_];
        if (c == '"') return string_value(parse_string());
        struct Literal {
            std::string_view text;
            Value value;
        };
        const Literal literals[] = {
            {"null", Value{}},
            {"true", Value{true}},
            {"false", Value{false}},
            {"NaN", Value{std::numeric_limits<double>::quiet_NaN()}},
            {"Infinity", Value{std::numeric_limits<double>::infinity()}},
            {"-Infinity", Value{-std::numeric_limits<double>::infinity()}},
        };
        for (const auto& lit : literals) {
            if (starts_with(lit.text)) {
                i_ += lit.text.size();
                return lit.value;
            }
        }
        if (c == '-' || is_digit(c)) return parse_number();
        fail("Expecting value", i_);
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)? ; whatever follows is left to the caller.
    Value parse_number() {
        const std::size_t start = i_;
        std::size_t j = i_;
        if (s_[j] == '-') ++j;
        if (j < s_.size() && s_[j] == '0') {
            ++j;
        } else if (j < s_.size() && is_digit(s_[j])) {
            while (j < s_.size() && is_digit(s_[j])) ++j;
        } else {
            fail("Expecting value", start);
        }
        bool is_float = false;
        if (j + 1 < s_.size() && s_[j] == '.' && is_digit(s_[j + 1])) {
            j += 2;
            while (j < s_.size() && is_digit(s_[j])) ++j;
            is_float = true;
        }
        if (j < s_.size() && (s_[j] == 'e' || s_[j] == 'E')) {
            std::size_t k = j + 1;
            if (k < s_.size() && (s_[k] == '+' || s_[k] == '-')) ++k;
            if (k < s_.size() && is_digit(s_[k])) {
                while (k < s_.size() && is_digit(s_[k])) ++k;
                j = k;
                is_float = true;
            }
        }
        i_ = j;
        std::optional<Value> v;
        try {
            v = number_value(s_.substr(start, j - start), !is_float);
        } catch (const ValueError& e) {
            fail(e.message(), start);
        }
        if (v) return std::move(*v);
        fail("Expecting value", start);
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::array<StrPtr, 509> recent_;  // strings by hash; a newer one replaces an older
};

class Writer {
public:
    explicit Writer(int indent) : indent_(indent) {}

    // Iterative: nesting as deep as JSON_MAX_DEPTH must not exhaust the thread's stack.
    void write(const Value& root) {
        struct Frame {
            const Value* container;
            std::size_t next;
        };
        std::vector<Frame> stack;
        const Value* v = &root;
        for (;;) {
            if (v != nullptr && open(*v, static_cast<int>(stack.size()))) {
                stack.push_back({v, 0});
            }
            v = nullptr;
            // Find the next child to write, closing the containers that are done.
            while (!stack.empty()) {
                Frame& f = stack.back();
                const int depth = static_cast<int>(stack.size());
                if (f.container->is_list()) {
                    const List& list = f.container->as_list();
                    if (f.next < list.size()) {
                        separate(f.next, depth);
                        v = &list[f.next++];
                        break;
                    }
                    close(depth - 1);
                    out_ += ']';
                } else {
                    const Dict& dict = f.container->as_dict();
                    if (f.next < dict.size()) {
                        const auto& [key, value] = dict.item(f.next);
                        separate(f.next++, depth);
                        write_string(key_text(key));
                        out_ += ": ";
                        v = &value;
                        break;
                    }
                    close(depth - 1);
                    out_ += '}';
                }
                active_.erase(container_of(*f.container));
                stack.pop_back();
            }
            if (v == nullptr) return;
        }
    }

    std::string take() { return std::move(out_); }

private:
    static std::string number_text(double d) {
        if (std::isnan(d)) return "NaN";
        if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
        return repr(d);
    }

    static std::string key_text(const Value& key) {
        switch (key.kind()) {
            case Value::Kind::str: return key.as_str();
            case Value::Kind::integer: return std::to_string(key.as_int());
            case Value::Kind::floating: return number_text(key.as_float());
            case Value::Kind::boolean: return key.as_bool() ? "true" : "false";
            case Value::Kind::none: return "null";
            default:
                throw TypeError("keys must be str, int, float, bool or None, not " + type_name(key));
        }
    }

    static const void* container_of(const Value& v) {
        return v.is_list() ? static_cast<const void*>(&v.as_list()) : static_cast<const void*>(&v.as_dict());
    }

    // Writes a scalar or an empty container whole and returns false; opens a non-empty list or
    // dict (its items follow) and returns true.
    bool open(const Value& v, int depth) {
        switch (v.kind()) {
            case Value::Kind::none: out_ += "null"; return false;
            case Value::Kind::boolean: out_ += v.as_bool() ? "true" : "false"; return false;
            case Value::Kind::integer: out_ += std::to_string(v.as_int()); return false;
            case Value::Kind::floating: out_ += number_text(v.as_float()); return false;
            case Value::Kind::str: write_string(v.as_str()); return false;
            case Value::Kind::object:
                throw TypeError("Object of type " + type_name(v) + " is not JSON serializable");
            case Value::Kind::list:
            case Value::Kind::dict: break;
        }
        const bool is_list = v.is_list();
        if (is_list ? v.as_list().empty() : v.as_dict().empty()) {
            out_ += is_list ? "[]" : "{}";
            return false;
        }
        if (depth >= JSON_MAX_DEPTH)
            throw ValueError("Nesting deeper than " + std::to_string(JSON_MAX_DEPTH) + " levels");
        if (!active_.insert(container_of(v)).second) throw ValueError("Circular reference detected");
        out_ += is_list ? '[' : '{';
        return true;
    }

    void newline(int depth) {
        out_ += '\n';
        out_.append(static_cast<std::size_t>(indent_) * static_cast<std::size_t>(depth), ' ');
    }

    void separate(std::size_t index, int depth) {
        if (indent_ < 0) {
            if (index > 0) out_ += ", ";
            return;
        }
        if (index > 0) out_ += ',';
        newline(depth);
    }

    void close(int depth) {
        if (indent_ >= 0) newline(depth);
    }

    void write_string(const std::string& s) {
        out_ += '"';
        for (const char c : s) {
            switch (c) {
                case '"': out_ += "\\\""; break;
                case '\\': out_ += "\\\\"; break;
                case '\n': out_ += "\\n"; break;
                case '\r': out_ += "\\r"; break;
                case '\t': out_ += "\\t"; break;
                case '\b': out_ += "\\b"; break;
                case '\f': out_ += "\\f"; break;
                default:
                    if (static_cast<unsigned char>(c) < 0x20) {
                        static const char* hex = "0123456789abcdef";
                        out_ += "\\u00";
                        out_ += hex[(c >> 4) & 0xF];
                        out_ += hex[c & 0xF];
                    } else {
                        out_ += c;
                    }
            }
        }
        out_ += '"';
    }

    int indent_;
    std::string out_;
    std::unordered_set<const void*> active_;
};

}  // namespace

Value parse_json(std::string_view text) { return Parser(text).parse(); }

std::string to_json(const Value& value, int indent) {
    Writer w(indent);
    w.write(value);
    return w.take();
}

Value read_json_file(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw RuntimeError("cannot read JSON file '" + path + "': Is a directory");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw RuntimeError("cannot read JSON file '" + path + "': " + std::strerror(errno));
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) throw RuntimeError("cannot read JSON file '" + path + "': read failed");
    try {
        return parse_json(buffer.str());
    } catch (const ValueError& e) {
        throw ValueError("invalid JSON in '" + path + "': " + e.message());
    }
}

}  // namespace brindlecap::runtime
