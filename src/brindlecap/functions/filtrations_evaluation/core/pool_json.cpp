// Pool JSON, {"<id>": {metadata}, ...}, read straight into columns.
//
// The fast reader takes the common shape of the format: metadata values that are numbers, the
// NaN / Infinity / -Infinity literals, true, false, null, strings and lists of strings. Anything
// else (nested objects, other lists, a repeated id or key, malformed text) sends the whole text to
// parse_json, whose result is then put in columns the same way: both roads give the same pool,
// and errors are parse_json's own.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <algorithm>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <memory>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool_json_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/number_text_internal.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/unicode_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using detail::ColumnBuilder;
using runtime::Dict;
using runtime::Value;

namespace {

// The text needs parse_json: a construct the fast reader leaves to it, or an error.
struct Fallback {};

// The fields met so far, a builder each, and the key order of every signal.
class PoolColumnsBuilder {
public:
    PoolColumnsBuilder() : index_(std::make_shared<KeyIndex>()) {}

    KeyIndex& index() { return *index_; }

    // Field index of a key; `expected` is a guess (the field at this place in the last signal).
    std::uint32_t field(std::string_view key, std::size_t place) {
        if (place < previous_.size() && detail::same_text(names_[previous_[place]], key)) return previous_[place];
        if (const auto it = by_name_.find(key); it != by_name_.end()) return it->second;
        const auto f = static_cast<std::uint32_t>(names_.size());
        names_.emplace_back(key);
        by_name_.emplace(names_.back(), f);
        const bool plain = std::none_of(key.begin(), key.end(), [](char c) {
            return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
        });
        quoted_.push_back(plain ? "\"" + std::string(key) + "\"" : std::string());
        quoted_name_.push_back(quoted_.back().size());
        builders_.emplace_back(/*keep_values=*/true);
        seen_.push_back(0);
        return f;
    }
    // The field at this place in the last signal, when `text` starts with its name as a plain
    // JSON string (names that need escapes never match), followed by the colon and blanks met
    // after it last time when they were recorded (NO_FIELD when it does not); len gets the
    // length of what matched, and with_colon whether it took the colon.
    static constexpr std::uint32_t NO_FIELD = ~std::uint32_t{0};
    std::uint32_t known_key(const char* text, std::size_t available, std::size_t place, std::size_t& len,
                            bool& with_colon) const {
        if (place >= previous_.size()) return NO_FIELD;
        const std::uint32_t f = previous_[place];
        const std::string& q = quoted_[f];
        if (q.empty() || available < q.size() || !detail::same_text(std::string_view(text, q.size()), q)) return NO_FIELD;
        len = q.size();
        with_colon = len > quoted_name_[f];
        return f;
    }
    // Records what separates field f's name from its value (a colon and blanks) for known_key.
    void separator(std::uint32_t f, std::string_view between) {
        std::string& q = quoted_[f];
        if (q.empty() || between.size() > 8) return;
        q.resize(quoted_name_[f]);
        q += between;
    }
    // Starts the field in the current signal; false when the signal has it already.
    bool open_field(std::uint32_t f, std::size_t pos) {
        if (seen_[f] == pos + 1) return false;
        seen_[f] = pos + 1;
        current_.push_back(f);
        return true;
    }
    ColumnBuilder& builder(std::uint32_t f) { return builders_[f]; }

    // Room for about n signals in every field met so far, judged from the first `seen` signals.
    void reserve(std::size_t n, std::size_t seen) {
        for (ColumnBuilder& b : builders_) {
            const double share = static_cast<double>(b.present_count()) / static_cast<double>(seen);
            b.reserve(static_cast<std::size_t>(static_cast<double>(n) * 1.03), share * b.items_per_position());
        }
    }

    // Closes signal pos: its key order becomes a shape. `predicted`: each key was the last
    // signal's key at its place.
    void end_signal(std::size_t pos, bool predicted = false) {
        std::uint32_t shape;
        if (pos > 0 && ((predicted && current_.size() == previous_.size()) || current_ == previous_)) {
            shape = previous_shape_;
        } else {
            const auto [it, added] = shape_ids_.try_emplace(current_, static_cast<std::uint32_t>(orders_.size()));
            if (added) orders_.push_back(current_);
            shape = it->second;
        }
        if (shape != 0 && of_.empty()) of_.assign(pos, 0);
        if (!of_.empty()) of_.push_back(shape);
        previous_shape_ = shape;
        previous_.swap(current_);
        current_.clear();
    }

    SignalPool finish() && {
        // The identifiers' order, which also tells whether one is repeated (the last metadata
        // wins: the general reader's case); the hash index waits for the first lookup.
        auto order = std::make_shared<const detail::SortedIds>(detail::sorted_ids_of(*index_));
        if (!order->distinct) throw Fallback{};
        index_->defer_index();
        const std::size_t n = index_->size();
        auto born = std::make_shared<detail::BornColumns>();
        born->names = std::move(names_);
        for (ColumnBuilder& b : builders_) born->columns.push_back(std::make_shared<const detail::Column>(std::move(b).finish(n)));
        // Keys in field order everywhere (each signal's fields ascending) need no shapes.
        bool canonical = true;
        for (const auto& order : orders_) {
            for (std::size_t k = 1; k < order.size() && canonical; ++k) canonical = order[k - 1] < order[k];
        }
        if (!canonical) {
            auto shapes = std::make_shared<detail::Shapes>();
            shapes->orders = std::move(orders_);
            shapes->of = std::move(of_);
            born->shapes = std::move(shapes);
        }
        return detail::PoolAccess::born(std::move(index_), std::move(born), std::move(order));
    }

private:
    std::shared_ptr<KeyIndex> index_;
    std::vector<std::string> names_;
    std::vector<std::string> quoted_;  // per field: its name as a plain JSON string, or empty
    std::vector<std::size_t> quoted_name_;  // per field: the length of that string
    std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> by_name_;
    std::vector<ColumnBuilder> builders_;
    std::vector<std::size_t> seen_;  // per field: 1 + the last position that held it
    std::vector<std::uint32_t> current_;
    std::vector<std::uint32_t> previous_;
    std::uint32_t previous_shape_ = 0;
    std::map<std::vector<std::uint32_t>, std::uint32_t> shape_ids_;
    std::vector<std::vector<std::uint32_t>> orders_;
    std::vector<std::uint32_t> of_;
};

// ---- Slow road: parse_json, then columns from the values ----------------------------------------

SignalPool pool_from_document(const Value& doc) {
    if (!doc.is_dict()) {
        throw runtime::TypeError("signal pool JSON must be an object of signal metadata objects, got " +
                                 runtime::type_name(doc));
    }
    const Dict& signals = doc.as_dict();
    PoolColumnsBuilder out;
    std::size_t pos = 0;
    for (const auto& [id, metadata] : signals) {
        if (!metadata.is_dict()) {
            throw runtime::TypeError("signal " + runtime::repr(id) + ": metadata must be an object, got " +
                                     runtime::type_name(metadata));
        }
        out.index().append(id.as_str());
        std::size_t place = 0;
        for (const auto& [key, value] : metadata.as_dict()) {
            const std::uint32_t f = out.field(key.as_str(), place++);
            out.open_field(f, pos);
            out.builder(f).add(pos, value);
        }
        out.end_signal(pos++);
    }
    return std::move(out).finish();
}

// ---- Fast road ---------------------------------------------------------------------------------

// A file read in pieces into one buffer: the reader sees a window of the text, and between two
// signals asks for more when fewer than `lookahead` bytes are left in it. The buffer is reused:
// reading costs a copy of the text, where a mapping of the file would fault in every page of it.
class FileWindow {
public:
    FileWindow(const std::string& path, int fd, std::size_t file_size, std::size_t size, std::size_t lookahead)
        : path_(path), fd_(fd), file_size_(file_size), lookahead_(lookahead), buffer_(size) {}

    std::size_t file_size() const noexcept { return file_size_; }
    std::size_t lookahead() const noexcept { return lookahead_; }
    bool at_end() const noexcept { return eof_; }
    // Drops the text before `from`, reads after what is left; the window is then text[0, size).
    // False when nothing more was read.
    bool refill(std::string_view& text, std::size_t& from) {
        const std::size_t kept = text.size() - from;
        if (kept > 0) std::memmove(buffer_.data(), text.data() + from, kept);
        std::size_t size = kept;
        while (!eof_ && size < buffer_.size()) {
            const ssize_t got = ::read(fd_, buffer_.data() + size, buffer_.size() - size);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) throw runtime::RuntimeError("cannot read JSON file '" + path_ + "': read failed");
            if (got == 0) eof_ = true;
            size += static_cast<std::size_t>(got);
        }
        consumed_ += from;
        text = std::string_view(buffer_.data(), size);
        from = 0;
        return size > kept;
    }
    // Bytes of the file before the window.
    std::size_t consumed() const noexcept { return consumed_; }

private:
    const std::string& path_;
    int fd_;
    std::size_t file_size_;
    std::size_t lookahead_;
    runtime::LargeVector<char> buffer_;
    std::size_t consumed_ = 0;
    bool eof_ = false;
};

class FastReader {
public:
    explicit FastReader(std::string_view text) : s_(text) {}
    explicit FastReader(FileWindow& window) : window_(&window) { window.refill(s_, i_); }

    // Whether the reader gave up near the end of its window with more of the file unread: the
    // text may be fine, and a signal longer than the window's lookahead.
    bool stopped_at_window_end() const noexcept {
        return window_ != nullptr && !window_->at_end() && i_ + 16 >= s_.size();
    }

    SignalPool read() {
        ws();
        expect('{');
        ws();
        if (peek() == '}') {
            ++i_;
            return end();
        }
        // Identifiers are indexed at the end; a repeated one (the last metadata wins) falls back.
        // After the first signals the columns get room for the size the text suggests (again
        // after more signals, for a closer estimate).
        constexpr std::size_t SAMPLE = 256;
        const std::size_t text_size = window_ != nullptr ? window_->file_size() : s_.size();
        for (std::size_t pos = 0;; ++pos) {
            if (window_ != nullptr && s_.size() - i_ < window_->lookahead()) window_->refill(s_, i_);
            if (pos == SAMPLE || pos == 16 * SAMPLE) {
                const std::size_t read = (window_ != nullptr ? window_->consumed() : 0) + i_;
                out_.reserve(static_cast<std::size_t>(static_cast<double>(text_size) / static_cast<double>(std::max<std::size_t>(1, read)) *
                                                      static_cast<double>(pos)),
                             pos);
            }
            if (peek() != '"') throw Fallback{};
            out_.index().append(string());
            ws();
            expect(':');
            ws();
            metadata(pos);
            ws();
            const char c = take();
            if (c == '}') return end();
            if (c != ',') throw Fallback{};
            ws();
        }
    }

private:
    SignalPool end() {
        ws();
        while (i_ == s_.size() && window_ != nullptr && window_->refill(s_, i_)) ws();
        if (i_ != s_.size()) throw Fallback{};
        return std::move(out_).finish();
    }

    char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
    char take() {
        if (i_ >= s_.size()) throw Fallback{};
        return s_[i_++];
    }
    void expect(char c) {
        if (take() != c) throw Fallback{};
    }
    void ws() {
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (c > ' ' || (c != ' ' && c != '\n' && c != '\r' && c != '\t')) return;
            ++i_;
        }
    }
    bool literal(std::string_view text) {
        if (s_.size() - i_ < text.size() || !detail::same_text(s_.substr(i_, text.size()), text)) return false;
        i_ += text.size();
        return true;
    }

    // A string at i_: a view into the text, or into scratch_ when it holds escapes.
    // Skips the bytes that need no attention in a string (not '"', '\\', a control character
    // or a non-ASCII byte), sixteen at a time, then eight.
    void skip_plain() {
#if defined(__SSE2__)
        // As signed bytes, the control characters and the non-ASCII bytes are those below 0x20.
        const __m128i quotes = _mm_set1_epi8('"');
        const __m128i slashes = _mm_set1_epi8('\\');
        const __m128i controls = _mm_set1_epi8(0x20);
        while (i_ + 16 <= s_.size()) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_.data() + i_));
            const __m128i flagged =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quotes), _mm_cmpeq_epi8(x, slashes)), _mm_cmplt_epi8(x, controls));
            if (const auto mask = static_cast<unsigned>(_mm_movemask_epi8(flagged)); mask != 0) {
                i_ += static_cast<std::size_t>(std::countr_zero(mask));
                return;
            }
            i_ += 16;
        }
#endif
        if constexpr (std::endian::native == std::endian::little) {
            constexpr std::uint64_t ONES = 0x0101010101010101ULL;
            constexpr std::uint64_t HIGHS = 0x8080808080808080ULL;
            while (i_ + 8 <= s_.size()) {
                std::uint64_t w;
                std::memcpy(&w, s_.data() + i_, 8);
                const std::uint64_t quote = w ^ (ONES * '"');
                const std::uint64_t slash = w ^ (ONES * '\\');
                // A flagged byte's high bit: zero bytes of quote / slash, bytes below 0x20, bytes
                // from 0x80. Borrows can flag bytes above a flagged one, never below.
                const std::uint64_t flagged =
                    (((quote - ONES) & ~quote) | ((slash - ONES) & ~slash) | ((w - ONES * 0x20) & ~w) | w) & HIGHS;
                if (flagged != 0) {
                    i_ += static_cast<std::size_t>(std::countr_zero(flagged)) / 8;
                    return;
                }
                i_ += 8;
            }
        }
    }

    std::string_view string() {
        escaped_ = false;
        expect('"');
        const std::size_t start = i_;
        for (;;) {
            skip_plain();
            if (i_ >= s_.size()) throw Fallback{};
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') return s_.substr(start, i_++ - start);
            if (c == '\\') return escaped(start);
            if (c < 0x20) throw Fallback{};
            if (c < 0x80) {
                ++i_;
            } else {
                skip_utf8();
            }
        }
    }

    void skip_utf8() {
        const std::size_t before = i_;
        const char32_t cp = runtime::unicode::decode_utf8(s_, i_);
        // decode_utf8 maps an ill-formed byte to a lone surrogate (one byte consumed).
        if (cp >= 0xDC80 && cp <= 0xDCFF && i_ == before + 1) throw Fallback{};
    }

    std::string_view escaped(std::size_t start) {
        escaped_ = true;
        scratch_.assign(s_.substr(start, i_ - start));
        for (;;) {
            if (i_ >= s_.size()) throw Fallback{};
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                ++i_;
                return scratch_;
            }
            if (c < 0x20) throw Fallback{};
            if (c != '\\') {
                const std::size_t from = i_;
                if (c < 0x80) {
                    ++i_;
                } else {
                    skip_utf8();
                }
                scratch_.append(s_.substr(from, i_ - from));
                continue;
            }
            if (i_ + 1 >= s_.size()) throw Fallback{};
            const char e = s_[i_ + 1];
            switch (e) {
                case '"': scratch_ += '"'; break;
                case '\\': scratch_ += '\\'; break;
                case '/': scratch_ += '/'; break;
                case 'b': scratch_ += '\b'; break;
                case 'f': scratch_ += '\f'; break;
                case 'n': scratch_ += '\n'; break;
                case 'r': scratch_ += '\r'; break;
                case 't': scratch_ += '\t'; break;
                case 'u': {
                    std::uint32_t cp = hex4(i_ + 2);
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        const std::uint32_t low = s_.substr(i_ + 6, 2) == "\\u" ? hex4(i_ + 8) : 0x10000;
                        if (low < 0xDC00 || low > 0xDFFF) throw Fallback{};
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        i_ += 6;
                    } else if (cp > 0xFFFF || (cp >= 0xDC00 && cp <= 0xDFFF)) {
                        throw Fallback{};
                    }
                    runtime::unicode::append_utf8(scratch_, cp);
                    i_ += 4;
                    break;
                }
                default: throw Fallback{};
            }
            i_ += 2;
        }
    }

    std::uint32_t hex4(std::size_t at) const {
        if (at + 4 > s_.size()) return 0x10000;
        std::uint32_t v = 0;
        for (std::size_t k = at; k < at + 4; ++k) {
            const char c = s_[k];
            v <<= 4;
            if (c >= '0' && c <= '9') {
                v |= static_cast<std::uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                v |= static_cast<std::uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                v |= static_cast<std::uint32_t>(c - 'A' + 10);
            } else {
                return 0x10000;
            }
        }
        return v;
    }

    static bool digit(char c) { return c >= '0' && c <= '9'; }

    // The end of the run of digits from j, eight bytes at a time.
    std::size_t digits_from(std::size_t j) const {
        if constexpr (std::endian::native == std::endian::little) {
            while (j + 8 <= s_.size()) {
                const std::uint64_t other = non_digits(load8(j));
                if (other != 0) return j + static_cast<std::size_t>(std::countr_zero(other)) / 8;
                j += 8;
            }
        }
        while (j < s_.size() && digit(s_[j])) ++j;
        return j;
    }

    std::uint64_t load8(std::size_t j) const {
        std::uint64_t w;
        std::memcpy(&w, s_.data() + j, 8);
        return w;
    }
    // A nonzero byte for each byte of w that is no digit, and maybe for the bytes after it.
    static std::uint64_t non_digits(std::uint64_t w) {
        constexpr std::uint64_t HIGH_NIBBLES = 0xF0F0F0F0F0F0F0F0ULL;
        constexpr std::uint64_t THREES = 0x3030303030303030ULL;
        constexpr std::uint64_t SIXES = 0x0606060606060606ULL;
        // A digit is 0x30-0x39: high nibble 3, and still 3 after adding 6. A carry out of a
        // byte only disturbs the bytes above it, which come later.
        return ((w & HIGH_NIBBLES) ^ THREES) | (((w + SIXES) & HIGH_NIBBLES) ^ THREES);
    }
    // The value of eight digits (little-endian byte order: the first is the most significant;
    // zero bytes count as leading zeros).
    static std::uint64_t eight_digits_of(std::uint64_t w) {
        w = ((w & 0x0F0F0F0F0F0F0F0FULL) * 2561) >> 8;             // two digits a byte pair
        w = ((w & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;         // four
        return ((w & 0x0000FFFF0000FFFFULL) * 42949672960001) >> 32;  // eight
    }
    std::uint64_t eight_digits(std::size_t j) const { return eight_digits_of(load8(j)); }

    // The run of digits from j read into m (m * 10 + digit for each, modulo 2**64: exact while
    // m has at most 19 digits in all); returns the run's end.
    std::size_t accumulate_digits(std::size_t j, std::uint64_t& m) const {
        static constexpr std::uint64_t TENS[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
        if constexpr (std::endian::native == std::endian::little) {
            while (j + 8 <= s_.size()) {
                const std::uint64_t w = load8(j);
                const std::uint64_t other = non_digits(w);
                if (other == 0) {
                    m = m * 100000000 + eight_digits_of(w);
                    j += 8;
                    continue;
                }
                const auto n = static_cast<unsigned>(std::countr_zero(other)) / 8;
                // The n digits moved to the top bytes, behind zero bytes.
                if (n > 0) m = m * TENS[n] + eight_digits_of(w << (64 - 8 * n));
                return j + n;
            }
        }
        for (; j < s_.size() && digit(s_[j]); ++j) m = m * 10 + static_cast<std::uint64_t>(s_[j] - '0');
        return j;
    }

    // The magnitude of a decimal number of at most 19 significant digits, when nearest_double
    // finds it. Integer digits [int_start, int_end), fraction digits [int_end + 1, frac_end),
    // exponent digits [exp_digits, end).
    bool short_decimal(std::size_t int_start, std::size_t int_end, std::size_t frac_end, std::size_t exp_digits,
                       std::size_t end, bool exp_negative, double& out) const {
        const std::size_t frac_start = int_end + 1;
        const std::size_t fraction = frac_end > int_end ? frac_end - frac_start : 0;
        std::size_t significant = int_end - int_start + fraction;
        if (s_[int_start] == '0') {  // the integer part is a lone 0: so are the fraction's leading zeros
            --significant;
            for (std::size_t k = frac_start; k < frac_end && s_[k] == '0'; ++k) --significant;
        }
        if (significant > 19) return false;
        std::uint64_t m = 0;
        const auto take = [&](std::size_t from, std::size_t to) {
            if constexpr (std::endian::native == std::endian::little) {
                for (; to - from >= 8; from += 8) m = m * 100000000 + eight_digits(from);
            }
            for (; from < to; ++from) m = m * 10 + static_cast<std::uint64_t>(s_[from] - '0');
        };
        take(int_start, int_end);
        if (fraction > 0) take(frac_start, frac_end);
        long e = -static_cast<long>(fraction);
        if (exp_digits < end) {
            if (end - exp_digits > 4) return false;
            long x = 0;
            for (std::size_t k = exp_digits; k < end; ++k) x = x * 10 + (s_[k] - '0');
            e += exp_negative ? -x : x;
        }
        if (e < -22 || e > 22) return m == 0 && (out = 0.0, true);
        const std::optional<double> d = runtime::nearest_double(m, static_cast<int>(e));
        if (!d) return false;
        out = *d;
        return true;
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?, as parse_json reads it.
    void number(ColumnBuilder& b, std::size_t pos) {
        const std::size_t start = i_;
        std::size_t j = i_;
        const bool negative = j < s_.size() && s_[j] == '-';
        if (negative) ++j;
        const std::size_t int_start = j;
        // The digits are read as they are scanned: m is exact up to 19 digits (a leading 0
        // adds nothing), which covers the shortest text of every double without leading zeros.
        std::uint64_t m = 0;
        if (j < s_.size() && s_[j] == '0') {
            ++j;
        } else if (j < s_.size() && digit(s_[j])) {
            j = accumulate_digits(j, m);
        } else {
            throw Fallback{};
        }
        const std::size_t int_end = j;
        bool integral = true;
        std::size_t frac_end = int_end;  // the fraction's digits: [int_end + 1, frac_end)
        if (j + 1 < s_.size() && s_[j] == '.' && digit(s_[j + 1])) {
            j = accumulate_digits(j + 1, m);
            frac_end = j;
            integral = false;
        }
        std::size_t exp_digits = j;  // the exponent's digits: [exp_digits, j) after its sign
        bool exp_negative = false;
        if (j < s_.size() && (s_[j] == 'e' || s_[j] == 'E')) {
            std::size_t k = j + 1;
            exp_negative = k < s_.size() && s_[k] == '-';
            if (k < s_.size() && (s_[k] == '+' || s_[k] == '-')) ++k;
            if (k < s_.size() && digit(s_[k])) {
                exp_digits = k;
                j = digits_from(k + 1);
                integral = false;
            }
        }
        i_ = j;
        const char* first = s_.data() + start;
        const char* last = s_.data() + j;
        if (integral) {
            // Up to 18 digits cannot overflow.
            if (int_end - int_start <= 18) {
                const auto n = static_cast<std::int64_t>(m);
                return b.add_int(pos, negative ? -n : n);
            }
            std::int64_t n = 0;
            const auto r = std::from_chars(first, last, n);
            if (r.ec == std::errc{} && r.ptr == last) return b.add_int(pos, n);
        } else {
            const std::size_t fraction = frac_end > int_end ? frac_end - int_end - 1 : 0;
            double d = 0.0;
            if (int_end - int_start + fraction <= 19 && exp_digits == j) {
                const int e = -static_cast<int>(fraction);
                if (e >= -22) {
                    if (const std::optional<double> near = runtime::nearest_double(m, e)) {
                        return b.add_number(pos, negative ? -*near : *near);
                    }
                }
            } else if (short_decimal(int_start, int_end, frac_end, exp_digits, j, exp_negative, d)) {
                return b.add_number(pos, negative ? -d : d);
            }
            const auto r = std::from_chars(first, last, d, std::chars_format::general);
            if (r.ec == std::errc{} && r.ptr == last) return b.add_number(pos, d);
        }
        // Beyond the double range: the JSON reader's own conversion. An integer beyond int64 is
        // refused, with its place in the text, by the JSON reader the fallback runs.
        std::optional<Value> v;
        try {
            v = runtime::number_value(s_.substr(start, j - start), integral);
        } catch (const runtime::ValueError&) {
            throw Fallback{};
        }
        if (!v) throw Fallback{};
        if (v->is_int()) {
            b.add_int(pos, v->as_int());
        } else {
            b.add_number(pos, v->as_float());
        }
    }

    void value(ColumnBuilder& b, std::size_t pos) {
        switch (peek()) {
            case '"':
                b.add_str(pos, string());
                return;
            case '[': {
                ++i_;
                ws();
                b.begin_list(pos);
                if (peek() == ']') {
                    ++i_;
                    b.end_list();
                    return;
                }
                // The builder keeps the items as views until end_list: escaped ones are copied
                // to storage that does not move.
                escaped_items_.clear();
                for (;;) {
                    if (peek() != '"') throw Fallback{};
                    std::string_view item = string();
                    if (escaped_) item = escaped_items_.emplace_back(item);
                    b.add_list_item(item);
                    ws();
                    const char c = take();
                    if (c == ']') break;
                    if (c != ',') throw Fallback{};
                    ws();
                }
                b.end_list();
                return;
            }
            case 't':
                if (!literal("true")) throw Fallback{};
                b.add_bool(pos, true);
                return;
            case 'f':
                if (!literal("false")) throw Fallback{};
                b.add_bool(pos, false);
                return;
            case 'n':
                if (!literal("null")) throw Fallback{};
                b.add(pos, Value());
                return;
            case 'N':
                if (!literal("NaN")) throw Fallback{};
                b.add_number(pos, std::numeric_limits<double>::quiet_NaN());
                return;
            case 'I':
                if (!literal("Infinity")) throw Fallback{};
                b.add_number(pos, std::numeric_limits<double>::infinity());
                return;
            case '-':
                if (i_ + 1 < s_.size() && digit(s_[i_ + 1])) return number(b, pos);
                if (literal("-Infinity")) {
                    b.add_number(pos, -std::numeric_limits<double>::infinity());
                    return;
                }
                number(b, pos);
                return;
            default:
                if (!digit(peek())) throw Fallback{};
                number(b, pos);
                return;
        }
    }

    void metadata(std::size_t pos) {
        expect('{');
        ws();
        if (peek() == '}') {
            ++i_;
            out_.end_signal(pos);
            return;
        }
        bool predicted = true;
        for (std::size_t place = 0;; ++place) {
            if (peek() != '"') throw Fallback{};
            std::size_t len = 0;
            bool with_colon = false;
            std::uint32_t f = out_.known_key(s_.data() + i_, s_.size() - i_, place, len, with_colon);
            if (f != PoolColumnsBuilder::NO_FIELD) {
                i_ += len;
                if (with_colon) {
                    if (static_cast<unsigned char>(peek()) <= ' ') ws();
                } else {
                    ws();
                    expect(':');
                    ws();
                }
            } else {
                predicted = false;
                f = out_.field(string(), place);
                const std::size_t name_end = i_;
                ws();
                expect(':');
                ws();
                out_.separator(f, s_.substr(name_end, i_ - name_end));
            }
            if (!out_.open_field(f, pos)) throw Fallback{};  // repeated key: last one wins
            value(out_.builder(f), pos);
            // The usual ", " before the next key.
            if (i_ + 2 < s_.size() && s_[i_] == ',' && s_[i_ + 1] == ' ' && s_[i_ + 2] == '"') {
                i_ += 2;
                continue;
            }
            ws();
            const char c = take();
            if (c == '}') break;
            if (c != ',') throw Fallback{};
            ws();
        }
        out_.end_signal(pos, predicted);
    }

    FileWindow* window_ = nullptr;
    std::string_view s_;
    std::size_t i_ = 0;
    PoolColumnsBuilder out_;
    std::string scratch_;
    bool escaped_ = false;  // the last string was read into scratch_
    std::deque<std::string> escaped_items_;
};

}  // namespace

SignalPool parse_signal_pool_json(std::string_view text) {
    try {
        return FastReader(text).read();
    } catch (const Fallback&) {
    }
    return pool_from_document(runtime::parse_json(text));
}

namespace {

// A file's bytes: mapped when it is a regular file, else read.
class FileText {
public:
    explicit FileText(const std::string& path) {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) fail(path, "Is a directory");
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) fail(path, std::strerror(errno));
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
            if (p != MAP_FAILED) {
                map_ = p;
                size_ = static_cast<std::size_t>(st.st_size);
                ::close(fd);
                return;
            }
        }
        char chunk[1 << 16];
        for (;;) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                ::close(fd);
                fail(path, "read failed");
            }
            if (got == 0) break;
            copy_.append(chunk, static_cast<std::size_t>(got));
        }
        ::close(fd);
    }
    ~FileText() {
        if (map_ != nullptr) ::munmap(map_, size_);
    }
    FileText(const FileText&) = delete;
    FileText& operator=(const FileText&) = delete;

    std::string_view text() const {
        return map_ != nullptr ? std::string_view(static_cast<const char*>(map_), size_) : std::string_view(copy_);
    }

private:
    [[noreturn]] static void fail(const std::string& path, const std::string& why) {
        throw runtime::RuntimeError("cannot read JSON file '" + path + "': " + why);
    }

    void* map_ = nullptr;
    std::size_t size_ = 0;
    std::string copy_;
};

}  // namespace

// The pool of a regular file read through a window, when the fast reader takes it; else the
// reader to go on with: the fast one over the whole text (it stopped at the window's end), or the
// general one.
std::optional<SignalPool> read_through_window(const std::string& path, const detail::ReadWindow& size, bool& fast_whole) {
    fast_whole = false;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return std::nullopt;  // FileText names the error
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        fast_whole = true;
        return std::nullopt;
    }
    FileWindow window(path, fd, static_cast<std::size_t>(st.st_size), size.bytes, size.lookahead);
    FastReader reader(window);
    try {
        return reader.read();
    } catch (const Fallback&) {
    }
    fast_whole = reader.stopped_at_window_end();
    return std::nullopt;
}

SignalPool read_signal_pool_json(const std::string& path) { return detail::read_signal_pool_json(path, {}); }

SignalPool detail::read_signal_pool_json(const std::string& path, const ReadWindow& window) {
    try {
        bool fast_whole = false;
        if (std::optional<SignalPool> pool = read_through_window(path, window, fast_whole)) return std::move(*pool);
        const FileText file(path);
        if (!fast_whole) return pool_from_document(runtime::parse_json(file.text()));
        return parse_signal_pool_json(file.text());
    } catch (const runtime::ValueError& e) {
        throw runtime::ValueError("invalid JSON in '" + path + "': " + e.message());
    } catch (const runtime::TypeError& e) {
        throw runtime::TypeError("invalid signal pool in '" + path + "': " + e.message());
    }
}

}  // namespace brindlecap::functions::filtrations_evaluation
