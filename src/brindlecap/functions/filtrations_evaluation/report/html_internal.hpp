#pragma once
// Pieces of the HTML report: escaping, link paths and the two charts.

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/report/recorded_run_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// Text for HTML content and attribute values: & < > " ' as entities, control characters shown
// as \u00XX (they are not allowed in HTML text).
std::string html_escape(std::string_view text);

// The names of the checks (canonical and plug-in) a run's configuration marks as info.
std::set<std::string> info_checks(const FiltrationEvaluationConfig& config);

// A relative path as a URL path: every byte outside A-Z a-z 0-9 - . _ ~ / percent-encoded.
std::string url_path(std::string_view path);

// Per-trial selected fractions against the expected share and its tolerance band; when `judged`
// (the check holds the mean to the band) trials outside it are marked. Empty without trials.
std::string bias_chart_svg(const std::string& op_name, const std::vector<BiasTrial>& trials, double expected,
                           double tolerance, bool judged);

struct SpeedBar {
    std::string op_name;
    std::string which;  // "small" or "large"
    double elapsed_s = 0.0;
    double limit_s = 0.0;
    std::int64_t calls = 0;
};
// Each benchmark's elapsed time against its limit, on a logarithmic axis. Empty without bars.
std::string speed_chart_svg(const std::vector<SpeedBar>& bars);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
