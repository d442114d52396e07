#pragma once
// Evaluation utilities shared by the framework's evaluation harnesses: check outcomes, plug-in
// checks, the base evaluation configuration and the signal metadata query.

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::evaluation_utils {

enum class CheckStatus { pass, fail, skip };

// "pass", "fail", "skip".
std::string_view to_string(CheckStatus status) noexcept;
std::optional<CheckStatus> parse_check_status(std::string_view text) noexcept;

struct CheckOutcome {
    CheckStatus status = CheckStatus::pass;
    std::string details;
    runtime::Dict evidence;
};

struct BaseEvaluationConfig {
    virtual ~BaseEvaluationConfig() = default;
    std::optional<std::string> mode;
    std::int64_t seed = 0;
    std::set<std::int64_t> skip_checks;
    std::set<std::int64_t> info_checks;
};

// A check registered by the application, run after the canonical checks on every operator.
class EvaluationCheckPlugin {
public:
    virtual ~EvaluationCheckPlugin() = default;
    virtual std::string name() const = 0;
    // None: runs for every operator; otherwise only for operators of an equal data_type.
    virtual runtime::Value data_type() const { return {}; }
    virtual CheckOutcome validate(const filtrations_evaluation::Operator& op_impl,
                                  filtrations_evaluation::SignalPool& pool,
                                  BaseEvaluationConfig& config) = 0;
};

// ---- Signal metadata query ---------------------------------------------------------------
//
// Reads table signal_era_results(signal_id, market_id, era_number, metadata JSON object) of a
// SQLite database the application configures. Result: signal id -> metadata dict, for the
// requested ids that have a row (a repeated id appears once).

using SignalMetadataQuery = std::function<runtime::Dict(
    const std::vector<std::string>& signal_ids, std::int64_t market_id, std::int64_t era_number)>;

// The database file the default query reads; nullopt: not configured.
void configure_signal_metadata_store(std::optional<std::string> db_path);
std::optional<std::string> configured_signal_metadata_store();

// The default query: RuntimeError "signal metadata store is not configured" when no database is
// configured; clear errors for an unreadable file, a missing table, a non-object metadata row.
runtime::Dict query_signal_metadata(const std::vector<std::string>& signal_ids,
                                    std::int64_t market_id, std::int64_t era_number);

// Replaceable binding used by real-mode ingestion (looked up at each ingestion); an empty
// function restores the default. Returns the previous binding.
SignalMetadataQuery set_signal_metadata_query(SignalMetadataQuery query);
SignalMetadataQuery current_signal_metadata_query();

// Creates the database file and table when missing (idempotent). Both refuse (ValueError) a
// signal_era_results table of another shape.
void create_signal_metadata_db(const std::string& db_path);
// Inserts or replaces one row per signal of `signals` (id -> metadata dict) for a market and era;
// all or nothing. Returns the number of rows written.
std::size_t import_signal_metadata(const std::string& db_path, const runtime::Dict& signals,
                                   std::int64_t market_id, std::int64_t era_number);

}  // namespace brindlecap::functions::evaluation_utils
