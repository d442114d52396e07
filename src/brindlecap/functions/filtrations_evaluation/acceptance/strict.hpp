#pragma once
// The strict profile: six checks beyond the canonical eight, off until registered. Registered,
// they run as plug-ins after the canonical checks and any plug-ins registered before them (so
// with none, they are checks 9 to 14), count towards the verdict like any plug-in, and report
// failing cases for reproducers (all but strict_threads and strict_growth, which time calls):
//   strict_oracle      differential testing against the operator's oracle on seeded
//                      adversarial pools of 1 to 10,000 signals
//   strict_relations   pool order, renaming, subsets and supersets of pointwise leaves,
//                      complements; a combinator's laws over 1 to 12 children
//   strict_immutable   parameters, children's sets and the pool's metadata unchanged by a call
//   strict_threads     8 threads x 6 calls against the sequential results
//   strict_growth      time on doubling pools; a fitted exponent above 1.5 fails
//   strict_validation  where the built-in raises FilterValidationError, the operator must too

#include <string>
#include <vector>

namespace brindlecap::functions::filtrations_evaluation {

// Registers the strict checks that are not registered yet, after the registered plug-ins.
void register_strict_checks();
// Removes the strict checks from the plug-in registry; other plug-ins keep their order.
void unregister_strict_checks();
// The strict checks' names, in registration order.
std::vector<std::string> strict_check_names();

// Registers the strict checks for its lifetime (unless they already were).
class StrictProfile {
public:
    StrictProfile();
    ~StrictProfile();
    StrictProfile(const StrictProfile&) = delete;
    StrictProfile& operator=(const StrictProfile&) = delete;

private:
    bool registered_here_;
};

}  // namespace brindlecap::functions::filtrations_evaluation
