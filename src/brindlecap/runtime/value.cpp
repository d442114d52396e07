#include "brindlecap/runtime/value.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <compare>
#include <cstdlib>
#include <functional>
#include <atomic>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/number_text_internal.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::runtime {

namespace {

// Dicts up to this size are scanned linearly; larger ones keep a hash table of positions.
constexpr std::size_t INDEX_THRESHOLD = 8;
constexpr std::size_t NONE_HASH = 0x9e3779b97f4a7c15ULL;
constexpr std::size_t NAN_HASH = 0x7ff8000000000000ULL;

// splitmix64 finalizer: spreads hashes whose information sits in the high bits (doubles).
std::size_t mix(std::size_t h) noexcept {
    std::uint64_t x = h;
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return static_cast<std::size_t>(x);
}

std::size_t hash_int(std::int64_t i) noexcept { return std::hash<std::int64_t>{}(i); }
std::size_t hash_str(std::string_view s) noexcept { return std::hash<std::string_view>{}(s); }

// int64 <=> double without rounding the int (2**53 + 1 != 2.0**53).
std::partial_ordering compare_int_double(std::int64_t i, double d) noexcept {
    if (std::isnan(d)) return std::partial_ordering::unordered;
    if (d >= 0x1p63) return std::partial_ordering::less;
    if (d < -0x1p63) return std::partial_ordering::greater;
    const double f = std::floor(d);
    const auto fi = static_cast<std::int64_t>(f);
    if (i != fi) return i < fi ? std::partial_ordering::less : std::partial_ordering::greater;
    return d > f ? std::partial_ordering::less : std::partial_ordering::equivalent;
}

// bool, int or float (bool counts as int).
bool numeric_like(const Value& v) noexcept { return v.is_bool() || v.is_int() || v.is_float(); }

std::int64_t int_of(const Value& v) { return v.is_bool() ? (v.as_bool() ? 1 : 0) : v.as_int(); }

std::partial_ordering compare_numbers(const Value& a, const Value& b) {
    if (a.is_float()) {
        if (b.is_float()) return a.as_float() <=> b.as_float();
        return 0 <=> compare_int_double(int_of(b), a.as_float());
    }
    if (b.is_float()) return compare_int_double(int_of(a), b.as_float());
    return int_of(a) <=> int_of(b);
}

enum class Op { Lt, Le, Gt, Ge };

bool holds(std::partial_ordering c, Op op) {
    switch (op) {
        case Op::Lt: return c < 0;
        case Op::Le: return c <= 0;
        case Op::Gt: return c > 0;
        case Op::Ge: return c >= 0;
    }
    return false;
}

bool compare(const Value& a, const Value& b, Op op, std::string_view opname) {
    if (numeric_like(a) && numeric_like(b)) return holds(compare_numbers(a, b), op);
    if (a.is_str() && b.is_str()) {
        // char_traits<char> compares as unsigned char, which is code point order for UTF-8.
        return holds(a.as_str().compare(b.as_str()) <=> 0, op);
    }
    if (a.is_list() && b.is_list()) {
        const List& x = a.as_list();
        const List& y = b.as_list();
        const std::size_t n = std::min(x.size(), y.size());
        for (std::size_t i = 0; i < n; ++i) {
            if (!(x[i] == y[i])) return compare(x[i], y[i], op, opname);
        }
        return holds(x.size() <=> y.size(), op);
    }
    if (a.is_object() || b.is_object()) {
        static constexpr std::string_view symbols[] = {"<", "<=", ">", ">="};
        const Object& object = a.is_object() ? a.as_object() : b.as_object();
        if (const std::optional<bool> r = object.order(symbols[static_cast<int>(op)], a, b)) return *r;
    }
    throw TypeError(fmt::format("'{}' not supported between instances of '{}' and '{}'", opname,
                                type_name(a), type_name(b)));
}

[[noreturn]] void wrong_kind(std::string_view expected, const Value& v) {
    throw TypeError(fmt::format("expected {}, got {}", expected, type_name(v)));
}

void require_hashable(const Value& key) {
    if (key.is_list() || key.is_dict()) {
        throw TypeError(fmt::format("unhashable type: '{}'", type_name(key)));
    }
}

// Dict key match: identity first (a NaN key finds itself), then equality.
bool same_key(const Value& stored, const Value& key) { return stored.is(key) || stored == key; }

}  // namespace

// ---- Value ------------------------------------------------------------------------------------

void Value::release_nested() noexcept {
    std::vector<Value> pending;
    // Detaches the nested containers of v when v is the last owner of its list or dict; a
    // detached child is left behind as an empty pointer.
    const auto detach = [&pending](Value& v) {
        const auto take = [&pending](Value& child) {
            if ((child.is_list() && std::get<ListPtr>(child.v_)) || (child.is_dict() && std::get<DictPtr>(child.v_)))
                pending.push_back(std::move(child));
        };
        if (v.is_list()) {
            const ListPtr& list = std::get<ListPtr>(v.v_);
            if (list && list.use_count() == 1)
                for (Value& child : *list) take(child);
        } else if (v.is_dict()) {
            const DictPtr& dict = std::get<DictPtr>(v.v_);
            if (dict && dict.use_count() == 1) {
                // Keys are hashable, so never lists or dicts.
                for (Value& value : dict->values_) take(value);
            }
        }
    };
    detach(*this);
    while (!pending.empty()) {
        Value next = std::move(pending.back());
        pending.pop_back();
        detach(next);
    }
}

Value::Value(List l) : v_(std::make_shared<List>(std::move(l))) {}
Value::Value(Dict d) : v_(std::make_shared<Dict>(std::move(d))) {}

Value Value::list(std::initializer_list<Value> items) { return Value(std::make_shared<List>(items)); }
Value Value::list(List items) { return Value(std::make_shared<List>(std::move(items))); }

bool Value::is_nan() const noexcept { return is_float() && std::isnan(std::get<double>(v_)); }

bool Value::as_bool() const {
    if (!is_bool()) wrong_kind("bool", *this);
    return std::get<bool>(v_);
}

std::int64_t Value::as_int() const {
    if (!is_int()) wrong_kind("int", *this);
    return std::get<std::int64_t>(v_);
}

double Value::as_float() const {
    if (!is_float()) wrong_kind("float", *this);
    return std::get<double>(v_);
}

const std::string& Value::as_str() const { return *str_ptr(); }

const StrPtr& Value::str_ptr() const {
    if (!is_str()) wrong_kind("str", *this);
    return std::get<StrPtr>(v_);
}

const List& Value::as_list() const {
    if (!is_list()) wrong_kind("list", *this);
    return *std::get<ListPtr>(v_);
}

List& Value::as_list() { return *list_ptr(); }

const ListPtr& Value::list_ptr() {
    if (!is_list()) wrong_kind("list", *this);
    return std::get<ListPtr>(v_);
}

const Dict& Value::as_dict() const {
    if (!is_dict()) wrong_kind("dict", *this);
    return *std::get<DictPtr>(v_);
}

Dict& Value::as_dict() { return *dict_ptr(); }

const DictPtr& Value::dict_ptr() {
    if (!is_dict()) wrong_kind("dict", *this);
    return std::get<DictPtr>(v_);
}

const Object& Value::as_object() const { return *object_ptr(); }

Object& Value::as_object() { return *object_ptr(); }

const ObjectPtr& Value::object_ptr() const {
    if (!is_object()) wrong_kind("object", *this);
    return std::get<ObjectPtr>(v_);
}

double Value::to_double() const {
    switch (kind()) {
        case Kind::boolean: return as_bool() ? 1.0 : 0.0;
        case Kind::integer: return static_cast<double>(as_int());
        case Kind::floating: return as_float();
        case Kind::str: return parse_python_float(as_str());
        default:
            throw TypeError(fmt::format("float() argument must be a string or a real number, not '{}'",
                                        type_name(*this)));
    }
}

bool Value::truthy() const {
    switch (kind()) {
        case Kind::none: return false;
        case Kind::boolean: return as_bool();
        case Kind::integer: return as_int() != 0;
        case Kind::floating: return as_float() != 0.0;
        case Kind::str: return !as_str().empty();
        case Kind::list: return !as_list().empty();
        case Kind::dict: return !as_dict().empty();
        case Kind::object: return true;
    }
    return false;
}

bool Value::is(const Value& other) const noexcept {
    if (kind() != other.kind()) return false;
    switch (kind()) {
        case Kind::none: return true;
        case Kind::boolean: return std::get<bool>(v_) == std::get<bool>(other.v_);
        case Kind::integer: return std::get<std::int64_t>(v_) == std::get<std::int64_t>(other.v_);
        case Kind::floating:
            return std::bit_cast<std::uint64_t>(std::get<double>(v_)) ==
                   std::bit_cast<std::uint64_t>(std::get<double>(other.v_));
        case Kind::str: return std::get<StrPtr>(v_) == std::get<StrPtr>(other.v_);
        case Kind::list: return std::get<ListPtr>(v_) == std::get<ListPtr>(other.v_);
        case Kind::dict: return std::get<DictPtr>(v_) == std::get<DictPtr>(other.v_);
        case Kind::object: return std::get<ObjectPtr>(v_) == std::get<ObjectPtr>(other.v_);
    }
    return false;
}

Value Value::deep_copy() const {
    if (!is_list() && !is_dict()) return *this;
    Value out = is_list() ? Value(List(as_list())) : Value(Dict(as_dict()));
    copy_nested(out);
    return out;
}

void Value::copy_nested(Value& root) {
    // Elements are only ever replaced, never added or removed, so the pointers stay valid.
    std::vector<Value*> pending{&root};
    const auto fresh = [&pending](Value& item) {
        if (item.is_list()) {
            item = Value(List(std::as_const(item).as_list()));
        } else if (item.is_dict()) {
            item = Value(Dict(std::as_const(item).as_dict()));
        } else {
            return;
        }
        pending.push_back(&item);
    };
    while (!pending.empty()) {
        Value& v = *pending.back();
        pending.pop_back();
        if (v.is_list()) {
            for (Value& item : v.as_list()) fresh(item);
        } else {
            for (Value& item : v.as_dict().values_) fresh(item);
        }
    }
}

bool operator==(const Value& a, const Value& b) {
    using Kind = Value::Kind;
    switch (a.kind()) {
        case Kind::none: return b.is_none();
        case Kind::boolean:
        case Kind::integer:
        case Kind::floating: return numeric_like(b) && compare_numbers(a, b) == 0;
        case Kind::str: return b.is_str() && (a.str_ptr() == b.str_ptr() || a.as_str() == b.as_str());
        case Kind::list: {
            if (!b.is_list()) return false;
            const List& x = a.as_list();
            const List& y = b.as_list();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!(x[i] == y[i])) return false;
            }
            return true;
        }
        case Kind::dict: return b.is_dict() && a.as_dict() == b.as_dict();
        case Kind::object: return b.is_object() && a.as_object().equals(b.as_object());
    }
    return false;
}

// ---- ordering and hashing ---------------------------------------------------------------------

bool less(const Value& a, const Value& b, std::string_view op) { return compare(a, b, Op::Lt, op); }
bool less_equal(const Value& a, const Value& b) { return compare(a, b, Op::Le, "<="); }
bool greater(const Value& a, const Value& b) { return compare(a, b, Op::Gt, ">"); }
bool greater_equal(const Value& a, const Value& b) { return compare(a, b, Op::Ge, ">="); }

std::size_t hash_value(const Value& v) {
    using Kind = Value::Kind;
    switch (v.kind()) {
        case Kind::none: return NONE_HASH;
        case Kind::boolean: return hash_int(v.as_bool() ? 1 : 0);
        case Kind::integer: return hash_int(v.as_int());
        case Kind::floating: {
            const double d = v.as_float();
            if (std::isnan(d)) return NAN_HASH;
            // Integral floats equal the int of the same value and must hash like it.
            if (d >= -0x1p63 && d < 0x1p63 && d == std::floor(d)) return hash_int(static_cast<std::int64_t>(d));
            return std::hash<std::uint64_t>{}(std::bit_cast<std::uint64_t>(d));
        }
        case Kind::str: return hash_str(v.as_str());
        case Kind::list: {
            std::size_t h = 0x345678;
            for (const Value& item : v.as_list()) h = mix(h ^ hash_value(item)) + 0x9e3779b9;
            return h;
        }
        case Kind::dict: {
            // Order-independent, as dict equality is.
            std::size_t h = 0x27d4eb2f;
            for (const auto& [key, value] : v.as_dict()) h += mix(hash_value(key)) ^ hash_value(value);
            return h;
        }
        case Kind::object: return v.as_object().hash();
    }
    return 0;
}

// ---- Dict -------------------------------------------------------------------------------------
//
// A key layout holds the keys in insertion order and, beyond INDEX_THRESHOLD keys, an
// open-addressing table (linear probing) of {key hash, position + 1}; a zero position marks an
// empty slot.
//
// Shared layouts form a tree rooted at the empty layout: the layout of the string keys k1..kn is
// the child of the layout of k1..k(n-1) under kn. A child keeps its parent alive and a parent
// reaches its live children through weak references, so dicts that receive the same keys in the
// same order land on the same layout, and a layout goes away with the last dict using it.
// Shared layouts never change after creation (only their table of children, under a mutex).
// An own layout belongs to one dict, or to its copies until one of them changes its keys.

using Slot = std::pair<std::size_t, std::size_t>;

class DictKeys {
    struct StrHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };

public:
    std::vector<Value> keys;
    std::vector<Slot> index;
    bool shared = false;

    // Shared layouts only.
    std::shared_ptr<DictKeys> parent;
    std::atomic<std::size_t> size_hint{0};  // largest key count of the layouts below this one
    std::mutex mutex;
    std::unordered_map<std::string, std::weak_ptr<DictKeys>, StrHash, std::equal_to<>> children;
    std::size_t sweep_at = 16;

    std::ptrdiff_t find(const Value& key) const;
    std::ptrdiff_t find(std::string_view key) const;
    void push(Value key);
    void reindex();
};

namespace {


std::size_t home_slot(std::size_t hash, std::size_t mask) noexcept { return mix(hash) & mask; }

void insert_slot(std::vector<Slot>& table, std::size_t hash, std::size_t position) {
    const std::size_t mask = table.size() - 1;
    std::size_t i = home_slot(hash, mask);
    while (table[i].second != 0) i = (i + 1) & mask;
    table[i] = {hash, position + 1};
}

const std::shared_ptr<DictKeys>& root_layout() {
    // Never destroyed: dicts may be built or dropped during static destruction.
    static const auto* root = new std::shared_ptr<DictKeys>(std::make_shared<DictKeys>());
    return *root;
}

// The shared layout of from's keys followed by key (a string).
std::shared_ptr<DictKeys> transition(const std::shared_ptr<DictKeys>& from, const Value& key) {
    DictKeys& parent = *from;
    const std::string& name = key.as_str();
    const std::lock_guard lock(parent.mutex);
    if (const auto it = parent.children.find(std::string_view(name)); it != parent.children.end()) {
        if (auto child = it->second.lock()) return child;
    }
    auto child = std::make_shared<DictKeys>();
    child->shared = true;
    child->keys.reserve(parent.keys.size() + 1);
    child->keys = parent.keys;
    child->push(key);
    child->parent = from;
    if (parent.children.size() >= parent.sweep_at) {
        std::erase_if(parent.children, [](const auto& entry) { return entry.second.expired(); });
        parent.sweep_at = std::max<std::size_t>(16, 2 * parent.children.size());
    }
    parent.children.insert_or_assign(name, child);
    const std::size_t size = child->keys.size();
    for (DictKeys* layout = child.get(); layout != nullptr; layout = layout->parent.get()) {
        std::size_t hint = layout->size_hint.load(std::memory_order_relaxed);
        while (hint < size &&
               !layout->size_hint.compare_exchange_weak(hint, size, std::memory_order_relaxed)) {
        }
    }
    return child;
}

std::shared_ptr<DictKeys> own_copy(const std::shared_ptr<DictKeys>& from) {
    auto out = std::make_shared<DictKeys>();
    if (from) {
        out->keys = from->keys;
        out->index = from->index;
    }
    return out;
}

}  // namespace

std::ptrdiff_t DictKeys::find(const Value& key) const {
    if (!index.empty()) {
        const std::size_t h = hash_value(key);
        const std::size_t mask = index.size() - 1;
        for (std::size_t i = home_slot(h, mask); index[i].second != 0; i = (i + 1) & mask) {
            if (index[i].first != h) continue;
            const std::size_t pos = index[i].second - 1;
            if (same_key(keys[pos], key)) return static_cast<std::ptrdiff_t>(pos);
        }
        return -1;
    }
    for (std::size_t pos = 0; pos < keys.size(); ++pos) {
        if (same_key(keys[pos], key)) return static_cast<std::ptrdiff_t>(pos);
    }
    return -1;
}

std::ptrdiff_t DictKeys::find(std::string_view key) const {
    const auto matches = [&](const Value& stored) { return stored.is_str() && stored.as_str() == key; };
    if (!index.empty()) {
        const std::size_t h = hash_str(key);
        const std::size_t mask = index.size() - 1;
        for (std::size_t i = home_slot(h, mask); index[i].second != 0; i = (i + 1) & mask) {
            if (index[i].first != h) continue;
            const std::size_t pos = index[i].second - 1;
            if (matches(keys[pos])) return static_cast<std::ptrdiff_t>(pos);
        }
        return -1;
    }
    for (std::size_t pos = 0; pos < keys.size(); ++pos) {
        if (matches(keys[pos])) return static_cast<std::ptrdiff_t>(pos);
    }
    return -1;
}

void DictKeys::push(Value key) {
    keys.push_back(std::move(key));
    if (keys.size() <= INDEX_THRESHOLD) return;
    if (index.empty() || keys.size() * 2 > index.size()) {
        reindex();
    } else {
        insert_slot(index, hash_value(keys.back()), keys.size() - 1);
    }
}

void DictKeys::reindex() {
    index.clear();
    if (keys.size() <= INDEX_THRESHOLD) return;
    index.assign(std::bit_ceil(std::max<std::size_t>(32, keys.size() * 2)), Slot{0, 0});
    for (std::size_t i = 0; i < keys.size(); ++i) insert_slot(index, hash_value(keys[i]), i);
}


Dict::Dict(std::initializer_list<Entry> entries) {
    for (const Entry& entry : entries) set(entry.key, entry.value);
}

const Value& Dict::key(std::size_t i) const { return keys_->keys[i]; }

std::ptrdiff_t Dict::position(const Value& key) const {
    require_hashable(key);
    return keys_ ? keys_->find(key) : -1;
}

std::ptrdiff_t Dict::position(std::string_view key) const { return keys_ ? keys_->find(key) : -1; }

const Value* Dict::find(const Value& key) const {
    const std::ptrdiff_t pos = position(key);
    return pos < 0 ? nullptr : &values_[static_cast<std::size_t>(pos)];
}

const Value* Dict::find(std::string_view key) const {
    const std::ptrdiff_t pos = position(key);
    return pos < 0 ? nullptr : &values_[static_cast<std::size_t>(pos)];
}

// A mutable lookup hands out a way to change the value: it counts as a change when it finds one.
Value* Dict::find(const Value& key) {
    Value* found = const_cast<Value*>(std::as_const(*this).find(key));
    if (found != nullptr) changed();
    return found;
}

Value* Dict::find(std::string_view key) {
    Value* found = const_cast<Value*>(std::as_const(*this).find(key));
    if (found != nullptr) changed();
    return found;
}

Value* Dict::found_or_raise(Value* found, const Value& key) {
    if (found == nullptr) throw KeyError(key);
    return found;
}

Value* Dict::found_or_raise(Value* found, std::string_view key) {
    if (found == nullptr) throw KeyError(Value(key));
    return found;
}

namespace {
std::atomic<std::uint64_t> watched_change_count{0};
}  // namespace

std::uint64_t Dict::watched_changes() noexcept { return watched_change_count.load(std::memory_order_acquire); }

void Dict::record_change() noexcept {
    const std::uint64_t number = watched_change_count.fetch_add(1, std::memory_order_acq_rel) + 1;
    watch_.store((number << 1) | 1, std::memory_order_relaxed);
}

Dict& Dict::operator=(const Dict& other) {
    if (this != &other) {
        changed();
        keys_ = other.keys_;
        values_ = other.values_;
    }
    return *this;
}

Dict& Dict::operator=(Dict&& other) noexcept {
    if (this != &other) {
        changed();
        other.changed();
        keys_ = std::move(other.keys_);
        values_ = std::move(other.values_);
        other.keys_.reset();
        other.values_.clear();
    }
    return *this;
}

const Value& Dict::at(const Value& key) const {
    const Value* found = find(key);
    if (found == nullptr) throw KeyError(key);
    return *found;
}

const Value& Dict::at(std::string_view key) const {
    const Value* found = find(key);
    if (found == nullptr) throw KeyError(Value(key));
    return *found;
}

Value Dict::get(const Value& key, Value fallback) const {
    const Value* found = find(key);
    return found != nullptr ? *found : std::move(fallback);
}

Value Dict::get(std::string_view key, Value fallback) const {
    const Value* found = find(key);
    return found != nullptr ? *found : std::move(fallback);
}

void Dict::append_key(Value key) {
    if (!keys_ || keys_->shared) {
        if (key.is_str() && size() < SHARED_KEY_LIMIT) {
            auto next = transition(keys_ ? keys_ : root_layout(), key);
            const std::size_t hint = next->size_hint.load(std::memory_order_relaxed);
            if (values_.capacity() < hint) values_.reserve(hint);
            keys_ = std::move(next);
            return;
        }
        keys_ = own_copy(keys_);
    } else if (keys_.use_count() > 1) {
        keys_ = own_copy(keys_);
    }
    keys_->push(std::move(key));
}

void Dict::set(Value key, Value value) {
    require_hashable(key);
    changed();
    if (keys_) {
        const std::ptrdiff_t pos = keys_->find(key);
        if (pos >= 0) {
            values_[static_cast<std::size_t>(pos)] = std::move(value);
            return;
        }
    }
    // Room first, so that the key is never added without its value.
    if (values_.size() == values_.capacity()) values_.reserve(std::max<std::size_t>(4, 2 * values_.size()));
    append_key(std::move(key));
    values_.push_back(std::move(value));
}

std::optional<Value> Dict::pop(const Value& key) {
    const std::ptrdiff_t found = position(key);
    if (found < 0) return std::nullopt;
    changed();
    const auto pos = static_cast<std::size_t>(found);
    Value value = std::move(values_[pos]);
    values_.erase(values_.begin() + found);
    if (values_.empty()) {
        keys_.reset();
    } else if (keys_->shared && pos == values_.size()) {
        keys_ = keys_->parent;  // dropping the last key returns to the previous shared layout
    } else {
        if (keys_->shared || keys_.use_count() > 1) keys_ = own_copy(keys_);
        keys_->keys.erase(keys_->keys.begin() + found);
        keys_->reindex();
    }
    return value;
}

void Dict::clear() {
    changed();
    keys_.reset();
    values_.clear();
}

List Dict::keys() const { return keys_ ? keys_->keys : List{}; }

Dict Dict::deep_copy() const {
    Value out{Dict(*this)};  // keys are immutable or handles; the layout is shared
    Value::copy_nested(out);
    return std::move(out.as_dict());
}

bool operator==(const Dict& a, const Dict& b) {
    if (a.size() != b.size()) return false;
    if (a.keys_ == b.keys_) {
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (!(a.values_[i] == b.values_[i])) return false;
        }
        return true;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Value* other = b.find(a.key(i));
        if (other == nullptr || !(a.values_[i] == *other)) return false;
    }
    return true;
}

// ---- objects ----------------------------------------------------------------------------------

std::string Object::repr() const { return "<" + type_name() + " object>"; }

std::optional<bool> Object::order(std::string_view, const Value&, const Value&) const { return std::nullopt; }

std::size_t Object::hash() const { return std::hash<const void*>{}(this); }

std::optional<Value> AttrObject::getattr(std::string_view name) const {
    const Value* found = attrs_.find(name);
    if (found == nullptr) return std::nullopt;
    return *found;
}

}  // namespace brindlecap::runtime
