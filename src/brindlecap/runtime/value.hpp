#pragma once
// Dynamic values for open data (metadata, parameters, evidence, products, statistics bags).
//
// Semantics follow Python, Python the library is loaded into: strings are immutable and
// shared, lists and dicts are reference types (copying a Value shares them; deep_copy() does
// not), numbers compare across int/float (1 == 1.0), NaN != NaN, and ordering is defined between
// numbers or between strings only.

#include <cstddef>
#include <atomic>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace brindlecap::runtime {

class Value;
class Dict;
class Object;

using List = std::vector<Value>;
using ListPtr = std::shared_ptr<List>;
using DictPtr = std::shared_ptr<Dict>;
using ObjectPtr = std::shared_ptr<Object>;
using StrPtr = std::shared_ptr<const std::string>;

struct None {
    friend bool operator==(None, None) { return true; }
};

// What the places that take open data (Dict::set, dict literals) accept: anything that converts
// to a Value implicitly, and a bool given as a bool (a pointer is not taken for a bool there).
template <class T>
concept ValueLike = std::is_same_v<std::remove_cvref_t<T>, bool> || std::is_convertible_v<T, Value>;

class Value {
public:
    enum class Kind { none, boolean, integer, floating, str, list, dict, object };

    Value() noexcept = default;
    Value(const Value&) = default;
    Value(Value&&) noexcept = default;
    Value& operator=(const Value&) = default;
    Value& operator=(Value&&) noexcept = default;
    // Frees nested lists and dicts without recursing, so any nesting depth is safe to drop.
    ~Value() {
        if (is_list() || is_dict()) release_nested();
    }
    Value(None) noexcept {}
    Value(std::nullptr_t) noexcept {}
    explicit Value(bool b) noexcept : v_(b) {}
    // Integers of any width; a bool is not taken for an integer.
    template <std::integral T>
        requires(!std::is_same_v<T, bool>)
    Value(T i) noexcept : v_(static_cast<std::int64_t>(i)) {}
    template <std::floating_point T>
    Value(T d) noexcept : v_(static_cast<double>(d)) {}
    Value(const char* s) : v_(std::make_shared<const std::string>(s)) {}
    Value(std::string s) : v_(std::make_shared<const std::string>(std::move(s))) {}
    Value(std::string_view s) : v_(std::make_shared<const std::string>(s)) {}
    Value(StrPtr s) noexcept : v_(std::move(s)) {}
    Value(List l);
    Value(ListPtr l) noexcept : v_(std::move(l)) {}
    Value(Dict d);
    Value(DictPtr d) noexcept : v_(std::move(d)) {}
    Value(ObjectPtr o) noexcept : v_(std::move(o)) {}

    // A new list holding the given values.
    static Value list(std::initializer_list<Value> items);
    static Value list(List items);

    Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
    bool is_none() const noexcept { return kind() == Kind::none; }
    bool is_bool() const noexcept { return kind() == Kind::boolean; }
    bool is_int() const noexcept { return kind() == Kind::integer; }
    bool is_float() const noexcept { return kind() == Kind::floating; }
    // int or float; a bool is not a number here (callers test is_bool first where it matters).
    bool is_number() const noexcept { return is_int() || is_float(); }
    bool is_str() const noexcept { return kind() == Kind::str; }
    bool is_list() const noexcept { return kind() == Kind::list; }
    bool is_dict() const noexcept { return kind() == Kind::dict; }
    bool is_object() const noexcept { return kind() == Kind::object; }
    bool is_nan() const noexcept;

    // Gives every list and dict reachable from root (itself a fresh container) a fresh copy of
    // its own, level by level, without recursion.
    static void copy_nested(Value& root);

    // Accessors; the wrong kind raises TypeError. A const Value gives read-only access to the
    // list, dict or object it holds.
    [[nodiscard]] bool as_bool() const;
    [[nodiscard]] std::int64_t as_int() const;
    [[nodiscard]] double as_float() const;
    [[nodiscard]] const std::string& as_str() const;
    [[nodiscard]] const StrPtr& str_ptr() const;
    [[nodiscard]] const List& as_list() const;
    [[nodiscard]] List& as_list();
    [[nodiscard]] const ListPtr& list_ptr();
    [[nodiscard]] const Dict& as_dict() const;
    [[nodiscard]] Dict& as_dict();
    [[nodiscard]] const DictPtr& dict_ptr();
    [[nodiscard]] const Object& as_object() const;
    [[nodiscard]] Object& as_object();
    [[nodiscard]] const ObjectPtr& object_ptr() const;

    // float(x) of Python: numbers and bools convert; strings parse like Python's float();
    // anything else raises TypeError.
    [[nodiscard]] double to_double() const;
    // Truth value of Python (0, 0.0, "", [], {}, None are false).
    [[nodiscard]] bool truthy() const;

    // Same object for reference kinds (str, list, dict, object); for the rest, equal kind and value.
    [[nodiscard]] bool is(const Value& other) const noexcept;
    // Recursive copy of lists and dicts; strings and objects are shared (immutable / handles).
    [[nodiscard]] Value deep_copy() const;

    friend bool operator==(const Value& a, const Value& b);
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

private:
    // Moves the containers held by a list or dict that only this value owns out to a worklist
    // and frees them one level at a time.
    void release_nested() noexcept;


    std::variant<None, bool, std::int64_t, double, StrPtr, ListPtr, DictPtr, ObjectPtr> v_;
};

// Python ordering: numbers (bool counts as int) with numbers, strings with strings, lists
// lexicographically; anything else raises TypeError
// "'<' not supported between instances of 'str' and 'float'". `op` names the operator.
bool less(const Value& a, const Value& b, std::string_view op = "<");
bool less_equal(const Value& a, const Value& b);
bool greater(const Value& a, const Value& b);
bool greater_equal(const Value& a, const Value& b);

// Hash consistent with ==: 1, 1.0 and True hash alike.
std::size_t hash_value(const Value& v);
struct ValueHash {
    std::size_t operator()(const Value& v) const { return hash_value(v); }
};

class DictKeys;  // a dict's key layout (value.cpp)

// Insertion-ordered mapping with Value keys (a Python dict).
//
// Keys are kept apart from values, in a key layout: dicts that received the same string keys in
// the same order (up to SHARED_KEY_LIMIT of them) share one immutable layout, so a pool of
// metadata dicts stores one value array per dict and its keys once. A dict whose keys leave
// that scheme (other key kinds, removals, more keys) gets a layout of its own, copied on write.
// Only memory and speed depend on this; order, equality and lookups are a Python dict's.
class Dict {
public:
    using Item = std::pair<Value, Value>;
    // An entry as iteration and item() show it: references into the dict.
    struct ItemRef {
        const Value& first;
        const Value& second;
        operator Item() const { return {first, second}; }
    };
    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Item;
        using difference_type = std::ptrdiff_t;
        using reference = ItemRef;
        struct pointer {
            ItemRef ref;
            const ItemRef* operator->() const noexcept { return &ref; }
        };

        Iterator() = default;
        Iterator(const Dict* dict, std::size_t pos) : dict_(dict), pos_(pos) {}
        ItemRef operator*() const { return dict_->item(pos_); }
        pointer operator->() const { return pointer{dict_->item(pos_)}; }
        Iterator& operator++() {
            ++pos_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator old = *this;
            ++pos_;
            return old;
        }
        friend bool operator==(const Iterator& a, const Iterator& b) { return a.pos_ == b.pos_; }

    private:
        const Dict* dict_ = nullptr;
        std::size_t pos_ = 0;
    };

    // Dicts with more string keys than this own their key layout.
    static constexpr std::size_t SHARED_KEY_LIMIT = 64;

    Dict() = default;
    // A copy starts unwatched; moving from a dict and assigning to one count as changes of it.
    Dict(const Dict& other) : keys_(other.keys_), values_(other.values_) {}
    Dict(Dict&& other) noexcept : keys_(std::move(other.keys_)), values_(std::move(other.values_)) {
        other.changed();
    }
    Dict& operator=(const Dict& other);
    Dict& operator=(Dict&& other) noexcept;
    // One entry of a dict literal: Dict{{"field", "is_sharpe"}, {"is_active", true}}.
    struct Entry {
        template <ValueLike K, ValueLike V>
        Entry(K&& k, V&& v) : key(std::forward<K>(k)), value(std::forward<V>(v)) {}
        Value key;
        Value value;
    };
    Dict(std::initializer_list<Entry> entries);

    std::size_t size() const noexcept { return values_.size(); }
    bool empty() const noexcept { return values_.empty(); }
    Iterator begin() const noexcept { return {this, 0}; }
    Iterator end() const noexcept { return {this, size()}; }
    ItemRef item(std::size_t i) const { return {key(i), values_[i]}; }
    const Value& key(std::size_t i) const;
    const Value& value(std::size_t i) const { return values_[i]; }

    bool contains(const Value& key) const { return find(key) != nullptr; }
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Pointer to the value under key, or nullptr.
    [[nodiscard]] const Value* find(const Value& key) const;
    [[nodiscard]] const Value* find(std::string_view key) const;
    Value* find(const Value& key);
    Value* find(std::string_view key);
    // Position of key in insertion order, or -1.
    std::ptrdiff_t position(const Value& key) const;
    std::ptrdiff_t position(std::string_view key) const;
    // Value under key; KeyError when absent.
    [[nodiscard]] const Value& at(const Value& key) const;
    [[nodiscard]] const Value& at(std::string_view key) const;
    [[nodiscard]] const Value& at(const char* key) const { return at(std::string_view(key)); }
    [[nodiscard]] const Value& at(const std::string& key) const { return at(std::string_view(key)); }
    [[nodiscard]] Value& at(const Value& key) { return *found_or_raise(find(key), key); }
    [[nodiscard]] Value& at(std::string_view key) { return *found_or_raise(find(key), key); }
    [[nodiscard]] Value& at(const char* key) { return at(std::string_view(key)); }
    [[nodiscard]] Value& at(const std::string& key) { return at(std::string_view(key)); }
    [[nodiscard]] Value get(const Value& key, Value fallback = {}) const;
    [[nodiscard]] Value get(std::string_view key, Value fallback = {}) const;

    // String keys without building a Value (a literal or std::string would be ambiguous).
    bool contains(const char* key) const { return contains(std::string_view(key)); }
    bool contains(const std::string& key) const { return contains(std::string_view(key)); }
    const Value* find(const char* key) const { return find(std::string_view(key)); }
    const Value* find(const std::string& key) const { return find(std::string_view(key)); }
    Value* find(const char* key) { return find(std::string_view(key)); }
    Value* find(const std::string& key) { return find(std::string_view(key)); }
    Value get(const char* key, Value fallback = {}) const { return get(std::string_view(key), std::move(fallback)); }
    Value get(const std::string& key, Value fallback = {}) const {
        return get(std::string_view(key), std::move(fallback));
    }

    // Insert or replace; a replaced key keeps its position.
    void set(Value key, Value value);
    template <ValueLike V>
        requires std::is_same_v<std::remove_cvref_t<V>, bool>
    void set(Value key, V value) {
        set(std::move(key), Value(static_cast<bool>(value)));
    }
    // Remove key; returns its value when it was present.
    std::optional<Value> pop(const Value& key);
    void clear();

    List keys() const;
    // Shallow copy (a new dict sharing values).
    Dict copy() const { return *this; }
    [[nodiscard]] Dict deep_copy() const;

    // Change tracking for caches built over many dicts (a signal pool's columns). Once watched,
    // a dict takes a new process-wide change number each time it may change: set, pop, clear,
    // find or at through a mutable dict (when they find the key), assignment to it, a move from
    // it. Values changed in place through another Value sharing them (a list held in the dict
    // and elsewhere) are not seen. Unwatched dicts only test a flag.
    void watch() const noexcept {
        if ((watch_.load(std::memory_order_relaxed) & 1) == 0) watch_.store(1, std::memory_order_relaxed);
    }
    // The change number of the latest change since the dict was first watched; 0 for none.
    std::uint64_t last_change() const noexcept { return watch_.load(std::memory_order_relaxed) >> 1; }
    // The latest change number handed out (to any watched dict); starts at 0.
    static std::uint64_t watched_changes() noexcept;

    // Identity of the key layout: dicts with the same non-null layout hold the same keys at the
    // same positions (an empty dict has none). Lets a reader of many dicts remember a position.
    const void* layout() const noexcept { return keys_.get(); }

    friend bool operator==(const Dict& a, const Dict& b);

private:
    friend class Value;
    void append_key(Value key);
    // The value found by a mutable lookup, or KeyError(key).
    static Value* found_or_raise(Value* found, const Value& key);
    static Value* found_or_raise(Value* found, std::string_view key);
    void changed() noexcept {
        if ((watch_.load(std::memory_order_relaxed) & 1) != 0) record_change();
    }
    void record_change() noexcept;

    std::shared_ptr<DictKeys> keys_;  // null while empty
    std::vector<Value> values_;
    // Bit 0: watched; above it the change number of the latest change.
    mutable std::atomic<std::uint64_t> watch_{0};
};

// A caller's object: a type name and attribute lookup (products, dates, arrays, ...).
class Object {
public:
    virtual ~Object() = default;
    virtual std::string type_name() const = 0;
    virtual std::optional<Value> getattr(std::string_view name) const = 0;
    virtual std::string repr() const;
    // str(): repr() unless the object has a text form of its own (a date's 2024-01-31).
    virtual std::string str() const { return repr(); }
    // Whether a op b holds, op one of "<", "<=", ">", ">=", where this object is a or b, as its
    // own language orders them (dates, decimals); nullopt when it does not order (TypeError).
    virtual std::optional<bool> order(std::string_view op, const Value& a, const Value& b) const;
    // Identity by default, as for Python's plain objects.
    virtual bool equals(const Object& other) const { return this == &other; }
    // Hash consistent with equals() (identity by default); override the two together.
    virtual std::size_t hash() const;
    // The items of a collection held as one value (a tuple, a set), which membership tests look
    // into; nullopt for anything else.
    virtual std::optional<List> elements() const { return std::nullopt; }
};

// An object whose attributes are a dict (what a Python simple record would be).
class AttrObject : public Object {
public:
    AttrObject(std::string type_name, Dict attrs)
        : type_name_(std::move(type_name)), attrs_(std::move(attrs)) {}
    std::string type_name() const override { return type_name_; }
    std::optional<Value> getattr(std::string_view name) const override;
    Dict& attrs() { return attrs_; }
    const Dict& attrs() const { return attrs_; }

private:
    std::string type_name_;
    Dict attrs_;
};

}  // namespace brindlecap::runtime
