#pragma once
// Calling a failing comparison again on other pools, and shrinking its pool to a small one that
// shows the same disagreement.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/harness/run_observer_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/report.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// Where a call that raised stopped: before the operator ran (the framework refused the input),
// inside it, or in the validation of what it returned.
enum class ErrorSource { validation, operator_call, result };

struct Outcome {
    std::optional<IdSet> ids;  // when the call returned
    std::string error_kind;
    std::string error_text;
    ErrorSource source = ErrorSource::validation;
    bool raised() const { return !ids.has_value(); }
    static Outcome selection(IdSet ids) {
        Outcome o;
        o.ids = std::move(ids);
        return o;
    }
    static Outcome error(std::string kind, std::string text, ErrorSource source) {
        Outcome o;
        o.error_kind = std::move(kind);
        o.error_text = std::move(text);
        o.source = source;
        return o;
    }
};

// Both sides of a comparison on one pool. `expected` is unset for the expectations that are no
// selection of their own (no_error; excluded when the operator raised).
struct Replay {
    Outcome selected;
    std::optional<Outcome> expected;
    // unchanged: what the call changed ("parameters", "children", "metadata"; empty: nothing), and how.
    std::string changed;
    std::string change;
};

// One signal of a candidate pool.
struct Entry {
    std::string id;
    Dict metadata;
};
using Entries = std::vector<Entry>;

Entries entries_of(const SignalPool& pool);
SignalPool pool_of(const Entries& entries);

// The comparison on `pool`, through the check's call path (dispatch_op, or the strict checks' for
// a direct one): the children and the expected set are restricted to the pool's identifiers. A
// relation's second call is made on what the relation makes of `pool` and the restricted children.
Replay replay(const Disagreement& d, const SignalPool& pool);

// What makes a replay a disagreement: the operator raised an error that is not allowed (kind and
// source), the reference raised where the operator did not, or one identifier is selected but not
// expected (extra) or expected but not selected (missing).
struct Signature {
    enum class Kind { operator_error, expected_error, extra, missing, changed } kind;
    std::string id;          // extra, missing; changed: what
    std::string error_kind;  // operator_error, expected_error
    ErrorSource source = ErrorSource::validation;
    bool operator==(const Signature&) const = default;
};
// A relation whose first call raised holds (it says nothing then).
std::optional<Signature> signature_of(const Disagreement& d, const Replay& r);

// The pool of a relation's second call: `pool`'s first signal, then the others of `related.order`
// it holds, in that order (renamed), then the extra signals; null when the relation keeps `pool`.
std::shared_ptr<const SignalPool> related_pool(const Related& related, const SignalPool& pool);

struct Difference {
    std::vector<std::string> missing;
    std::vector<std::string> extra;
};
// Both sides sets: expected - selected and selected - expected, sorted; otherwise empty.
Difference difference_of(const Replay& r);

struct Shrunk {
    Entries pool;                         // the smallest pool found
    Replay outcome;                       // on it
    std::optional<Signature> signature;   // of the disagreement kept; nullopt: not reproduced
    Replay original;                      // on the check's pool
    std::size_t evaluations = 0;
    double seconds = 0.0;
    bool stopped_by_time_bound = false;
    bool stopped_by_evaluation_bound = false;
};

// Delta debugging over the signals (the identifier the signature names stays), then over the
// (signal, field) pairs, then simpler values one by one; each step keeps a candidate only when
// its replay has the original signature. No randomness: the same input gives the same pool
// unless a bound stops it.
Shrunk shrink(const Disagreement& d, const ShrinkOptions& options);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
