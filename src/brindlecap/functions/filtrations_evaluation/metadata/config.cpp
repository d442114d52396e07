#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"

#include <algorithm>
#include <array>

namespace brindlecap::functions::filtrations_evaluation {

namespace {

using Config = FiltrationEvaluationConfig;
using Group = ConfigGroup;
using Bound = ConfigBound;

constexpr std::array<ConfigField, 22> FIELDS{{
    {.name = "mode", .member = &Config::mode, .group = Group::base},
    {.name = "seed", .member = &Config::seed, .group = Group::base, .option = "--seed",
     .help = "Seed of every random generator"},
    {.name = "skip_checks", .member = &Config::skip_checks, .group = Group::base, .option = "--skip",
     .help = "Check numbers not to run, comma-separated, e.g. 6,8"},
    {.name = "info_checks", .member = &Config::info_checks, .group = Group::base, .option = "--info",
     .help = "Check numbers that run but do not count, e.g. 7"},
    {.name = "N_trials", .member = &Config::N_trials, .group = Group::bias, .option = "--n-trials",
     .help = "Trials of the bias check (>= 10)", .bound = {Bound::at_least, 10}},
    {.name = "bias_tolerance", .member = &Config::bias_tolerance, .group = Group::bias,
     .option = "--bias-tolerance", .help = "Tolerance of the bias check, in (0, 1)", .bound = {Bound::open_unit}},
    {.name = "speed_small_T", .member = &Config::speed_small_T, .group = Group::speed, .option = "--speed-small-t",
     .help = "Time steps of the small speed pool", .bound = {Bound::at_least, 1}},
    {.name = "speed_small_N", .member = &Config::speed_small_N, .group = Group::speed, .option = "--speed-small-n",
     .help = "Signals of the small speed pool", .bound = {Bound::at_least, 1}},
    {.name = "speed_small_limit_s", .member = &Config::speed_small_limit_s, .group = Group::speed,
     .option = "--speed-small-limit-s", .help = "Time limit of the small speed pool, s", .bound = {Bound::positive}},
    {.name = "speed_large_T", .member = &Config::speed_large_T, .group = Group::speed, .option = "--speed-large-t",
     .help = "Time steps of the large speed pool", .bound = {Bound::at_least, 1}},
    {.name = "speed_large_N", .member = &Config::speed_large_N, .group = Group::speed, .option = "--speed-large-n",
     .help = "Signals of the large speed pool", .bound = {Bound::at_least, 1}},
    {.name = "speed_large_limit_s", .member = &Config::speed_large_limit_s, .group = Group::speed,
     .option = "--speed-large-limit-s", .help = "Time limit of the large speed pool, s", .bound = {Bound::positive}},
    {.name = "mock_signals", .member = &Config::mock_signals, .group = Group::signals},
    {.name = "signal_ids", .member = &Config::signal_ids, .group = Group::signals},
    {.name = "market_id", .member = &Config::market_id, .group = Group::identity},
    {.name = "era_number", .member = &Config::era_number, .group = Group::identity},
    {.name = "signal_metadata", .member = &Config::signal_metadata, .group = Group::ingested},
    {.name = "N_signals", .member = &Config::N_signals, .group = Group::ingested, .bound = {Bound::at_least, 10}},
    {.name = "T", .member = &Config::T, .group = Group::fixture, .option = "--t",
     .help = "Time steps of every fixture weights matrix", .bound = {Bound::at_least, 1}},
    {.name = "N_alloc", .member = &Config::N_alloc, .group = Group::fixture, .option = "--n-alloc",
     .help = "Allocation columns of every fixture weights matrix", .bound = {Bound::at_least, 1}},
    {.name = "references", .member = &Config::references, .group = Group::oracles},
    {.name = "properties", .member = &Config::properties, .group = Group::oracles, .option = "--property",
     .help = "NAME=PROP[,PROP...]: declared properties of operator NAME, for the strict checks without an oracle "
             "(numeric, string, list, range, rank_n, rank_pct, combinator, pointwise, "
             "monotone=increasing|decreasing, complement=OTHER, laws=and|or|not); may be repeated"},
}};

}  // namespace

std::optional<EvaluationMode> evaluation_mode(const evaluation_utils::BaseEvaluationConfig& config) noexcept {
    if (!config.mode) return std::nullopt;
    if (*config.mode == "mock") return EvaluationMode::mock;
    if (*config.mode == "real") return EvaluationMode::real;
    return std::nullopt;
}

std::span<const ConfigField> config_fields() { return FIELDS; }

std::vector<const ConfigField*> config_fields(std::span<const ConfigGroup> first) {
    std::vector<const ConfigField*> out;
    for (const ConfigGroup group : first) {
        for (const ConfigField& field : FIELDS) {
            if (field.group == group) out.push_back(&field);
        }
    }
    for (const ConfigField& field : FIELDS) {
        if (std::find(first.begin(), first.end(), field.group) == first.end()) out.push_back(&field);
    }
    return out;
}

}  // namespace brindlecap::functions::filtrations_evaluation
