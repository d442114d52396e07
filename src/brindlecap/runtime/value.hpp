#pragma once
// Dynamic values for open data (metadata, parameters, evidence, products, statistics bags).
//
// Semantics follow the dynamic host the library was designed for: strings are immutable and
// shared, lists and dicts are reference types (copying a Value shares them; deep_copy() does
// not), numbers compare across int/float (1 == 1.0), NaN != NaN, and ordering is defined between
// numbers or between strings only.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

class Value {
public:
    enum class Kind { None, Bool, Int, Float, Str, List, Dict, Object };

    Value() noexcept = default;
    Value(None) noexcept {}
    Value(std::nullptr_t) noexcept {}
    Value(bool b) noexcept : v_(b) {}
    Value(int i) noexcept : v_(static_cast<std::int64_t>(i)) {}
    Value(long i) noexcept : v_(static_cast<std::int64_t>(i)) {}
    Value(long long i) noexcept : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned i) noexcept : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned long i) noexcept : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned long long i) noexcept : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) noexcept : v_(d) {}
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
    bool is_none() const noexcept { return kind() == Kind::None; }
    bool is_bool() const noexcept { return kind() == Kind::Bool; }
    bool is_int() const noexcept { return kind() == Kind::Int; }
    bool is_float() const noexcept { return kind() == Kind::Float; }
    // int or float; a bool is not a number here (callers test is_bool first where it matters).
    bool is_number() const noexcept { return is_int() || is_float(); }
    bool is_str() const noexcept { return kind() == Kind::Str; }
    bool is_list() const noexcept { return kind() == Kind::List; }
    bool is_dict() const noexcept { return kind() == Kind::Dict; }
    bool is_object() const noexcept { return kind() == Kind::Object; }
    bool is_nan() const noexcept;

    // Accessors; the wrong kind raises TypeError.
    bool as_bool() const;
    std::int64_t as_int() const;
    double as_float() const;
    const std::string& as_str() const;
    const StrPtr& str_ptr() const;
    List& as_list() const;
    const ListPtr& list_ptr() const;
    Dict& as_dict() const;
    const DictPtr& dict_ptr() const;
    Object& as_object() const;
    const ObjectPtr& object_ptr() const;

    // float(x) of the host: numbers and bools convert; strings parse like the host's float();
    // anything else raises TypeError.
    double to_double() const;
    // Truth value of the host (0, 0.0, "", [], {}, None are false).
    bool truthy() const;

    // Same object for reference kinds (str, list, dict, object); for the rest, equal kind and value.
    bool is(const Value& other) const noexcept;
    // Recursive copy of lists and dicts; strings and objects are shared (immutable / handles).
    Value deep_copy() const;

    friend bool operator==(const Value& a, const Value& b);
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

private:
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

// Insertion-ordered mapping with Value keys (a Python dict).
class Dict {
public:
    using Item = std::pair<Value, Value>;

    Dict() = default;
    Dict(std::initializer_list<Item> items);

    std::size_t size() const noexcept { return items_.size(); }
    bool empty() const noexcept { return items_.empty(); }
    auto begin() const noexcept { return items_.begin(); }
    auto end() const noexcept { return items_.end(); }
    const Item& item(std::size_t i) const { return items_[i]; }

    bool contains(const Value& key) const { return find(key) != nullptr; }
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Pointer to the value under key, or nullptr.
    const Value* find(const Value& key) const;
    const Value* find(std::string_view key) const;
    Value* find(const Value& key);
    Value* find(std::string_view key);
    // Value under key; KeyError when absent.
    const Value& at(const Value& key) const;
    Value get(const Value& key, Value fallback = {}) const;
    Value get(std::string_view key, Value fallback = {}) const;

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
    // Remove key; returns its value when it was present.
    std::optional<Value> pop(const Value& key);
    void clear();

    List keys() const;
    // Shallow copy (a new dict sharing values).
    Dict copy() const { return *this; }
    Dict deep_copy() const;

    friend bool operator==(const Dict& a, const Dict& b);

private:
    std::ptrdiff_t index_of(const Value& key, std::size_t h) const;
    std::ptrdiff_t index_of(std::string_view key, std::size_t h) const;
    void rebuild_index() const;

    std::vector<Item> items_;
    // Built lazily for larger dicts: key hash -> position.
    mutable std::vector<std::pair<std::size_t, std::size_t>> index_;
    mutable bool index_valid_ = false;
};

// A caller's object: a type name and attribute lookup (products, dates, arrays, ...).
class Object {
public:
    virtual ~Object() = default;
    virtual std::string type_name() const = 0;
    virtual std::optional<Value> getattr(std::string_view name) const = 0;
    virtual std::string repr() const;
    // Identity by default, as for the host's plain objects.
    virtual bool equals(const Object& other) const { return this == &other; }
    // Hash consistent with equals() (identity by default); override the two together.
    virtual std::size_t hash() const;
};

// An object whose attributes are a dict (what a host's simple record would be).
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
