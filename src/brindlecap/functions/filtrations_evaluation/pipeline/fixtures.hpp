#pragma once
// Fixture pools of the acceptance checks and the single path through which checks call operators.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/records.hpp"
#include "brindlecap/numeric/generator.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using PoolPtr = std::shared_ptr<SignalPool>;

// Every fixture pool is registered here; it records weak references only, so it never keeps a
// pool alive. Appends are thread-safe; the driver clears it.
class PoolKeeper {
public:
    void append(const PoolPtr& pool);
    void clear();
    std::size_t size() const;   // pools appended since the last clear
    std::size_t alive() const;  // of those, still alive
private:
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<SignalPool>> pools_;  // expired entries are pruned as it grows
    std::size_t appended_ = 0;
};
PoolKeeper& pool_keeper();

// default_rng(seed); a negative seed raises ValueError as numpy does.
numeric::Generator make_rng(std::int64_t seed);

// n as an array dimension; a negative n raises ValueError as numpy does.
std::size_t dimension(std::int64_t n);

// One signal per metadata entry, in order: standard_normal(T, N_alloc) weights from rng, no pnl,
// a deep copy of the metadata. Not registered with the pool keeper.
PoolPtr metadata_pool(const Dict& signal_metadata, std::int64_t T, std::int64_t N_alloc,
                      numeric::Generator& rng);

// Deep equality where a NaN equals a NaN (what a metadata value left in place compares as).
bool equal_allowing_nan(const Value& a, const Value& b);
bool equal_allowing_nan(const Dict& a, const Dict& b);

// "comparison", "rank", "boolean", "wrapper" or "unknown".
std::string get_operator_category(const std::string& op_name);

// Adapter onto prepare_and_dispatch: combinator form when children_results is given.
IdSet dispatch_op(const std::string& op_name, const Operator& op_impl, const SignalPool& pool,
                  const Dict& params, const std::optional<std::vector<IdSet>>& children_results = std::nullopt);

// With params: boolean/wrapper take children from params["children_results"] (a list of sets,
// removed from the caller's dict) or [{}]. Without: the default call parameters of the category.
IdSet call_operator(const std::string& op_name, const Operator& op_impl, const SignalPool& pool,
                    const std::string& category, Dict* params = nullptr);

// Metadata branch over signal_metadata / mock_signals, else the seeded synthetic branch.
PoolPtr generate_synthetic_signals(const FiltrationEvaluationConfig& config,
                                   numeric::Generator* rng = nullptr);

// Whether a pool builder fills the weights matrices. Pools that only operators see (operators
// receive identifiers and metadata values, never arrays) skip them: the generator advances
// exactly as if they had been drawn, and the signals carry no weights.
enum class Weights { drawn, skipped };

// The synthetic branch: `count` signals named prefix + index (four digits at least), drawn from g
// in the fixture order (family count, weights, the scalar metadata draws). Not registered with
// the pool keeper.
PoolPtr synthetic_pool(std::size_t count, std::string_view id_prefix, std::int64_t T, std::int64_t N_alloc,
                       numeric::Generator& g, Weights weights);

// generate_synthetic_signals for a pool only operators see, from a generator the caller hands
// over and never draws from again: same identifiers and metadata, no weights. The metadata
// branch then draws nothing at all.
PoolPtr generate_unweighted_signals(const FiltrationEvaluationConfig& config, numeric::Generator rng);
PoolPtr build_correctness_test_pool(const FiltrationEvaluationConfig& config, numeric::Generator& rng);
std::pair<PoolPtr, std::string> build_seeded_operator_fixture(const std::string& op_name,
                                                              const FiltrationEvaluationConfig& config);
bool test_id_order_independence(const std::string& op_name, const Operator& op_impl,
                                const std::string& category, const FiltrationEvaluationConfig& config);

struct SignalSnapshot {
    numeric::MatrixPtr weights;
    numeric::MatrixPtr pnl;
    Dict metadata;  // deep copy
};
using PoolSnapshot = std::vector<std::pair<std::string, SignalSnapshot>>;
PoolSnapshot snapshot_signal_pool(const SignalPool& pool);
bool pool_matches_snapshot(const SignalPool& pool, const PoolSnapshot& snapshot);

// Independent reference operator for the twelve leaf built-ins; nullopt for anything else.
std::optional<Operator> get_reference_operator(const std::string& op_name);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
