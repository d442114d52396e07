#pragma once
// The built-in operators, one descriptor each: what an operator is (category, parameters, field
// types, facts about its selection), where its kernel is published, how the checks call it and
// which reference it is judged against. The vocabulary tables, the default store, tree
// validation, the checks' call path and the checks read these rows instead of comparing names.
//
// A new built-in is a row in operator_table.cpp, its kernel under functions/filtrations (in its
// module's operator list) and, for a leaf, its reference in reference_operators.cpp.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/names_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/vocabulary.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// The parameters a built-in reads besides `field`; its check parameter sets follow from it.
enum class ParameterShape {
    threshold,  // value
    range,      // low, high (low <= high, both 0 when absent, in tree validation)
    members,    // values
    share,      // pct
    count,      // n (required in tree validation)
    children,   // none: a combinator of its children's results
};

enum class RankDirection { none, top, bottom };

// How a leaf's selection moves when its one parameter grows (value, n or pct larger, or one more
// entry in values): it never gains signals (decreasing) or never loses any (increasing).
enum class Monotone { none, decreasing, increasing };

// How the checks build a combinator's children and the set they expect from them (the
// correctness case; the NaN check strictly judges only the two-child intersection).
enum class ChildrenCase {
    none,              // a leaf
    two_intersected,   // children a, b; a & b
    two_united,        // a, b; a | b
    one_complemented,  // a; the pool's keys without a
    one_kept,          // a; a
};

// Bit of a field type in BuiltinOperatorFacts::field_types.
constexpr unsigned field_type_bit(FieldType type) noexcept { return 1U << static_cast<unsigned>(type); }

struct BuiltinOperatorFacts;

// The parameter sets the checks give a leaf of one shape, with their `field`.
struct LeafParameterSets {
    Dict call;                      // call_operator without parameters (speed, determinism, ...)
    std::vector<Dict> correctness;  // compared with the reference on the correctness pool
    Dict boundary;                  // the boundary cases' call of the operator under test
    Dict cutoff_tie;                // the determinism check's tie probe (rows that ask for it)
    // The NaN check's probe of `field`, a field of the given type in its pool.
    Dict (*nan_probe)(const char* field, FieldType type);
    // The bias check's trial over pools of n_signals signals.
    Dict (*bias_trial)(std::int64_t n_signals);
};

struct BuiltinOperatorFacts {
    std::string_view name;
    std::string_view module_path;  // its kernel is published there as class_name()
    OperatorCategory category;
    ParameterShape shape;
    unsigned field_types;  // field_type_bit of each field type it accepts (FIELD_TYPE_OPERATORS)
    // A leaf whose selection of a signal depends on that signal's value alone (not on the pool).
    bool pointwise;
    // The built-in selecting exactly the values of the field's type this one leaves out (gt and
    // lte); empty when there is none.
    std::string_view complement;
    RankDirection direction;
    ChildrenCase children_case;
    // The determinism check also compares it with its reference on the correctness pool, which
    // ties four signals at the fifth place from the top.
    bool probe_cutoff_tie;
    // Its independent reference, a field leaf; nullptr for the combinators.
    Operator (*reference)(const BuiltinOperatorFacts& self);
    Monotone monotone = Monotone::none;
    // A combinator obeys the set laws of its children case (an operator declared a combinator
    // without laws does not).
    bool laws = true;

    std::string class_name() const { return "_builtin_" + std::string(name); }
    constexpr bool accepts(FieldType type) const noexcept { return (field_types & field_type_bit(type)) != 0; }
    constexpr bool combines() const noexcept { return shape == ParameterShape::children; }
};

// Every built-in, in the default store's order: gt gte lt lte eq neq between in_ top_pct
// bottom_pct top_n bottom_n and_ or_ not_ filtration.
std::span<const BuiltinOperatorFacts> builtin_operators() noexcept;

// The built-in of that name; nullptr for any other name.
const BuiltinOperatorFacts* find_builtin(std::string_view name) noexcept;

// The parameter sets of a built-in leaf's shape; any other name (a plug-in operator, a
// combinator called as a leaf) gets the threshold comparisons' sets.
const LeafParameterSets& leaf_parameters(std::string_view op_name);
// The sets of a leaf of that shape (the threshold comparisons' for children).
const LeafParameterSets& leaf_parameters(ParameterShape shape);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
