#pragma once
// Declared properties of a new operator: what the strict checks may assume of an operator that
// has no oracle (config.properties, `--property NAME=PROP[,PROP...]`). They choose its inputs
// and the relations it is held to; with an oracle as well, its shape chooses the oracle's cases.
//
// How it is called, at most one (default numeric, or combinator when laws are declared):
//   numeric      a field leaf with `field` and `value`, over a numeric field
//   string       a field leaf with `field` and `value`, over a string (categorical) field
//   list         a field leaf with `field` and `values` (a list of strings), over a list field
//   range        a field leaf with `field`, `low` and `high`, over a numeric field
//   rank_n       a field leaf with `field` and `n` (a rank: position among the values)
//   rank_pct     a field leaf with `field` and `pct`
//   combinator   a combinator of its children's sets
// What it keeps:
//   pointwise               a signal's selection depends on its own value alone: the selection
//                           of a subset of the pool is the subset of the selection (field leaves
//                           but the ranks)
//   monotone=decreasing     a larger value (n, pct, one more entry in values) never selects more
//   monotone=increasing     ... never selects fewer (numeric, list, rank_n, rank_pct)
//   complement=OTHER        with the same parameters, it and OTHER (a built-in, or an operator
//                           with an oracle in config.references) select every holder of a value
//                           of the field's type exactly once (pointwise field leaves)
//   laws=and|or|not         the set laws of intersection (identity, idempotence, associativity,
//                           commutativity, De Morgan), of union, or of the complement in the pool
//                           (involution) over any number of children
// Pool order and identifier renaming never change a selection, whatever is declared.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// The declared properties of every operator in the configuration, checked: ValueError naming the
// operator and the item at fault ("properties['my_gt'][1]: unknown property 'pointwize' ..."),
// for an unknown name, a bad value, two shapes, a property its shape cannot have, a complement
// that is not a built-in or an operator with an oracle, or a built-in's name (its properties are
// known).
void validate_properties(const FiltrationEvaluationConfig& config);

// NAME=PROP[,PROP...] as the tool's option gives it -> (NAME, [PROP, ...]); ValueError naming the
// text when it has no name or no property.
std::pair<std::string, std::vector<std::string>> property_option(std::string_view spec);

}  // namespace brindlecap::functions::filtrations_evaluation
