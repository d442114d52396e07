// The HTML report: one self-contained page (inline CSS and SVG, no scripts).

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <set>
#include <system_error>
#include <type_traits>
#include <variant>

#include "brindlecap/functions/filtrations_evaluation/checks/catalogue_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/vocabulary.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/references.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/html_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace detail {

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default: {
                const auto u = static_cast<unsigned char>(c);
                if ((u < 0x20 && c != '\n' && c != '\t') || u == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", u);
                    out += buf;
                } else {
                    out += c;
                }
            }
        }
    }
    return out;
}

std::string url_path(std::string_view path) {
    std::string out;
    for (const char c : path) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (keep) {
            out += c;
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
            out += buf;
        }
    }
    return out;
}

std::set<std::string> info_checks(const FiltrationEvaluationConfig& config) {
    std::set<std::string> names;
    for (const auto& [name, entry] : CHECK_REGISTRY()) {
        if (config.info_checks.contains(entry.check_number)) names.insert(name);
    }
    for (const auto& [number, plugin] : build_plugin_check_entries(get_registered_plugins())) {
        if (config.info_checks.contains(number)) names.insert(plugin->name());
    }
    return names;
}

namespace {

namespace fs = std::filesystem;
using evaluation_utils::CheckStatus;

constexpr const char* STYLE = R"(
:root { --pass: #1a7f37; --fail: #cf222e; --skip: #6e7781; --band: #dafbe1; --ink: #1f2328; --muted: #59636e; }
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; color: var(--ink); margin: 0 auto;
       max-width: 1180px; padding: 0 20px 40px; }
h1 { font-size: 22px; margin: 22px 0 4px; } h2 { font-size: 18px; margin: 28px 0 8px; border-bottom: 1px solid #d0d7de; }
h3 { font-size: 16px; margin: 18px 0 6px; } h4 { font-size: 14px; margin: 10px 0 4px; }
.summary { color: var(--muted); margin: 0 0 8px; } .summary strong.rejected { color: var(--fail); }
nav a { margin-right: 14px; }
table { border-collapse: collapse; } th, td { padding: 3px 8px; border: 1px solid #d0d7de; text-align: left;
                                              vertical-align: top; }
table.matrix td { text-align: center; font-weight: 600; } table.matrix th[scope=row] { font-weight: 600; }
table.matrix td a { color: inherit; text-decoration: none; display: block; }
td.pass, .status.pass { color: var(--pass); } td.fail, .status.fail { color: var(--fail); }
td.skip, .status.skip { color: var(--skip); } td.pass { background: #f0fff4; } td.fail { background: #fff0f0; }
td.skip { background: #f6f8fa; } .info { font-style: italic; }
td.yes { color: var(--pass); } td.no { color: var(--fail); background: #fff0f0; }
.badge { font-size: 12px; padding: 1px 8px; border-radius: 10px; margin-left: 8px; vertical-align: middle; }
.badge.yes { background: #dafbe1; color: var(--pass); } .badge.no { background: #ffebe9; color: var(--fail); }
details.check { border: 1px solid #d0d7de; border-radius: 6px; margin: 6px 0; padding: 4px 10px; }
details.check > summary { cursor: pointer; } details.check.fail { border-color: #ff8182; }
.status { display: inline-block; min-width: 3.2em; font-weight: 600; }
.details { white-space: pre-wrap; overflow-wrap: anywhere; }
table.evidence { font-size: 13px; margin: 6px 0; } table.evidence th { font-weight: 500; color: var(--muted); }
table.evidence td { font-family: ui-monospace, SFMono-Regular, Menlo, monospace; overflow-wrap: anywhere;
                    max-width: 760px; }
.charts { display: flex; flex-wrap: wrap; gap: 14px; } figure { margin: 0; }
figcaption { font-size: 12px; color: var(--muted); max-width: 380px; }
svg.chart { background: #fff; } svg .plot { fill: #fbfbfc; stroke: #d0d7de; } svg .band { fill: var(--band); }
svg .expected { stroke: var(--pass); stroke-dasharray: 5 3; stroke-width: 1.5; }
svg .mean { stroke: #0969da; stroke-width: 1.2; } svg .trial { fill: #0969da; } svg .trial.outside { fill: var(--fail); }
svg .trial-error { stroke: var(--fail); stroke-width: 1.5; } svg .tick, svg .axis { stroke: #8c959f; }
svg .grid { stroke: #eaeef2; } svg .label { font-size: 11px; fill: var(--muted); }
svg .bar { fill: #54aeff; } svg .bar.over { fill: var(--fail); } svg .limit { stroke: var(--fail); stroke-width: 2; }
ul.reproducers { margin: 4px 0; padding-left: 20px; } code, pre { font-family: ui-monospace, SFMono-Regular, Menlo, monospace; }
pre { background: #f6f8fa; padding: 8px 10px; overflow-x: auto; white-space: pre-wrap; overflow-wrap: anywhere; }
.warn { color: #9a6700; }
)";

std::string status_text(CheckStatus s) { return std::string(evaluation_utils::to_string(s)); }

// A value of the evidence: a mapping as a nested table, everything else as Python prints it
// (strings as they are); long lists shortened.
std::string value_html(const Value& v, int depth = 0) {
    if (v.is_dict() && depth < 4) {
        std::string out = "<table class=\"evidence\">";
        for (const auto& [key, item] : v.as_dict()) {
            out += "<tr><th>" + html_escape(runtime::str(key)) + "</th><td>" + value_html(item, depth + 1) + "</td></tr>";
        }
        return out + "</table>";
    }
    if (v.is_str()) return html_escape(v.as_str());
    if (v.is_list() && v.as_list().size() > 60) {
        const runtime::List& items = v.as_list();
        std::string out = "[";
        for (std::size_t i = 0; i < 60; ++i) out += (i ? ", " : "") + runtime::repr(items[i]);
        return html_escape(out + ", ...] (" + std::to_string(items.size()) + " items)");
    }
    return html_escape(runtime::repr(v));
}

std::string number_text(double v) { return runtime::repr(v); }

std::optional<double> evidence_number(const Dict& evidence, const char* key) {
    const Value* v = evidence.find(key);
    if (v == nullptr || !v->is_number()) return std::nullopt;
    return v->to_double();
}

// Check names: every check in the order first visited, as the terminal matrix has them.
std::vector<std::string> check_columns(const FiltrationEvaluationResult& result) {
    std::vector<std::string> columns;
    for (const auto& [name, verdict] : result.operator_results) {
        for (const auto& [check, outcome] : verdict.checks) {
            if (std::find(columns.begin(), columns.end(), check) == columns.end()) columns.push_back(check);
        }
    }
    return columns;
}


// The chart a check's observations feed; none for a check the catalogue does not have (a plug-in).
ReportChart chart_of(const std::string& check) {
    const CheckDescriptor* row = catalogue_check(check);
    return row != nullptr ? row->chart : ReportChart::none;
}

std::string check_anchor(std::size_t op, std::size_t check) {
    return "op-" + std::to_string(op) + "-check-" + std::to_string(check);
}

// The link to a reproducer file, relative to the page's directory when both are local paths.
std::string reproducer_href(const ReproducerFolder& f, const fs::path& page_directory, const char* file) {
    std::error_code ec;
    const fs::path target = fs::absolute(f.path / file, ec);
    const fs::path base = fs::absolute(page_directory.empty() ? fs::path(".") : page_directory, ec);
    fs::path relative = fs::relative(target, base, ec);
    if (ec || relative.empty()) relative = target;
    return html_escape(url_path(relative.generic_string()));
}

struct Page {
    const FiltrationEvaluationResult& result;
    const RecordedRun& seen;
    const HtmlReportOptions& options;
    std::vector<std::string> columns;
    std::set<std::string> info;
    std::string out;

    std::vector<const ReproducerFolder*> reproducers_of(const std::string& op, const std::string& check) const {
        std::vector<const ReproducerFolder*> found;
        for (const ReproducerFolder& f : options.reproducers) {
            if (f.operator_name == op && f.check == check) found.push_back(&f);
        }
        return found;
    }

    const Counterexample* counterexample_of(const std::string& op, const std::string& check) const {
        for (const Counterexample& c : options.counterexamples) {
            if (c.operator_name == op && c.check == check) return &c;
        }
        for (const ReproducerFolder& f : options.reproducers) {
            if (f.operator_name == op && f.check == check) return &f.counterexample;
        }
        return nullptr;
    }

    void counterexample(const std::string& op_name, const std::string& check) {
        const Counterexample* c = counterexample_of(op_name, check);
        if (c == nullptr) return;
        std::string call;
        for (const auto& [key, value] : c->params) {
            call += (call.empty() ? "" : ", ") + runtime::str(key) + "=" + runtime::repr(value);
        }
        out += "<div class=\"counterexample\"><h4>Counterexample</h4><p>" + html_escape(c->label) + ": <code>" +
               html_escape(c->operator_name + "(" + call + ")") + "</code>";
        for (std::size_t k = 0; k < c->children.size(); ++k) {
            out += (k ? ", " : " with children ") + html_escape(runtime::repr_list(c->children[k]));
        }
        const std::size_t n = c->pool.size();
        out += " on " + std::to_string(n) + (n == 1 ? " signal" : " signals") +
               (c->reproduced ? " (shrunk from " + std::to_string(c->original_signals) + ")"
                              : " (the check's own: a second call did not show the disagreement)") +
               "</p>" + (c->detail.empty() ? "" : "<p>" + html_escape(c->detail) + "</p>") +
               "<table class=\"evidence\"><tr><th>signal</th><th>metadata</th></tr>";
        for (const auto& [id, metadata] : c->pool) {
            out += "<tr><td>" + html_escape(runtime::str(id)) + "</td><td><code>" + html_escape(runtime::repr(metadata)) +
                   "</code></td></tr>";
        }
        out += "</table><p>expected: <code>" +
               html_escape(c->expected ? runtime::repr_list(*c->expected) : c->expectation) + "</code>; got: <code>" +
               html_escape(c->selected ? runtime::repr_list(*c->selected) : "raises " + c->error) + "</code></p></div>";
    }

    std::size_t column_of(const std::string& check) const {
        return static_cast<std::size_t>(std::find(columns.begin(), columns.end(), check) - columns.begin());
    }

    void header() {
        std::size_t accepted = 0;
        for (const auto& [name, verdict] : result.operator_results) accepted += verdict.accepted ? 1 : 0;
        const std::size_t total = result.operator_results.size();
        out += "<header><h1>" + html_escape(options.title) + "</h1>";
        out += "<p class=\"summary\" id=\"summary\"><strong class=\"" +
               std::string(accepted == total ? "accepted" : "rejected") + "\">" + std::to_string(accepted) + " of " +
               std::to_string(total) + " operators accepted</strong>";
        out += " &middot; " + std::to_string(result.config.N_signals) + " signals";
        if (!options.source.empty()) out += " from " + html_escape(options.source);
        out += " (" + html_escape(result.config.mode.value_or("?")) + " mode) &middot; seed " +
               std::to_string(result.config.seed) + "</p>";
        out += "<nav><a href=\"#verdicts\">Verdicts</a><a href=\"#charts\">Charts</a><a href=\"#operators\">"
               "Operators</a><a href=\"#configuration\">Configuration</a></nav></header>\n";
    }

    void matrix() {
        out += "<section id=\"verdicts\"><h2>Verdict matrix</h2><table class=\"matrix\" id=\"verdict-matrix\">"
               "<thead><tr><th scope=\"col\">operator</th>";
        for (const std::string& c : columns) {
            const bool is_info = info.contains(c);
            out += "<th scope=\"col\"" + std::string(is_info ? " class=\"info\" title=\"info check: runs, does not count\"" : "") +
                   ">" + html_escape(c) + (is_info ? "*" : "") + "</th>";
        }
        out += "<th scope=\"col\">accepted</th></tr></thead><tbody>";
        std::size_t op = 0;
        for (const auto& [name, verdict] : result.operator_results) {
            out += "<tr class=\"" + std::string(verdict.accepted ? "accepted" : "rejected") +
                   "\"><th scope=\"row\"><a href=\"#op-" + std::to_string(op) + "\">" + html_escape(name) + "</a></th>";
            for (std::size_t i = 0; i < columns.size(); ++i) {
                const CheckOutcome* outcome = verdict.check(columns[i]);
                if (outcome == nullptr) {
                    out += "<td>-</td>";
                    continue;
                }
                const std::string status = status_text(outcome->status);
                out += "<td class=\"" + status + (info.contains(columns[i]) ? " info" : "") + "\" title=\"" +
                       html_escape(outcome->details) + "\"><a href=\"#" + check_anchor(op, i) + "\">" +
                       (outcome->status == CheckStatus::fail ? "FAIL" : status) + "</a></td>";
            }
            out += verdict.accepted ? "<td class=\"yes\">yes</td>" : "<td class=\"no\">NO</td>";
            out += "</tr>";
            ++op;
        }
        out += "</tbody></table>";
        if (!info.empty()) out += "<p class=\"summary\">* info check: runs, but does not count for acceptance.</p>";
        out += "</section>\n";
    }

    std::vector<SpeedBar> speed_bars(const char* check) const {
        std::vector<SpeedBar> bars;
        for (const auto& [name, verdict] : result.operator_results) {
            const OperatorObservations* observed = seen.find(name);
            if (observed != nullptr && !observed->speed_runs.empty()) {
                for (const SpeedRun& run : observed->speed_runs) {
                    bars.push_back(SpeedBar{name, run.which, run.elapsed_s, run.limit_s, run.calls});
                }
                continue;
            }
            const CheckOutcome* speed = verdict.check(check);
            if (speed == nullptr) continue;
            for (const char* which : {"small", "large"}) {
                const auto elapsed = evidence_number(speed->evidence, (std::string(which) + "_elapsed_s").c_str());
                const auto limit = evidence_number(speed->evidence, (std::string(which) + "_limit_s").c_str());
                const auto calls = evidence_number(speed->evidence, (std::string(which) + "_T").c_str());
                if (elapsed && limit) {
                    bars.push_back(SpeedBar{name, which, *elapsed, *limit, static_cast<std::int64_t>(calls.value_or(0))});
                }
            }
        }
        return bars;
    }

    // One part per check of the catalogue that feeds a chart, in catalogue order.
    void charts() {
        out += "<section id=\"charts\"><h2>Charts</h2>";
        for (const CheckDescriptor& check : check_catalogue()) {
            switch (check.chart) {
                case ReportChart::bias_trials:
                    bias_charts(check.name);
                    break;
                case ReportChart::speed_timings:
                    speed_chart(check.name);
                    break;
                case ReportChart::none:
                    break;
            }
        }
        out += "</section>\n";
    }

    void bias_charts(const char* check) {
        out += "<h3>Bias: selected fraction per trial</h3>";
        out += "<p class=\"summary\">Each dot is one trial pool; the shaded band is the expected share &plusmn; "
               "the tolerance, the dashed line the expected share, the blue line the mean. Rank operators are "
               "judged on the mean; comparison operators are only reported.</p><div class=\"charts\">";
        bool any = false;
        std::size_t op = 0;
        for (const auto& [name, verdict] : result.operator_results) {
            const OperatorObservations* observed = seen.find(name);
            const CheckOutcome* bias = verdict.check(check);
            std::optional<double> expected;
            std::optional<double> tolerance;
            if (bias != nullptr) {
                expected = evidence_number(bias->evidence, "expected_ratio");
                tolerance = evidence_number(bias->evidence, "tolerance");
            }
            if (observed != nullptr && !observed->bias_trials.empty() && expected && tolerance) {
                double sum = 0.0;
                std::size_t n = 0;
                for (const BiasTrial& t : observed->bias_trials) {
                    if (t.fraction) {
                        sum += *t.fraction;
                        ++n;
                    }
                }
                const bool judged = operator_category(name) == OperatorCategory::rank;
                out += "<figure id=\"bias-" + std::to_string(op) + "\">" +
                       bias_chart_svg(name, observed->bias_trials, *expected, *tolerance, judged) +
                       "<figcaption><a href=\"#op-" + std::to_string(op) + "\">" + html_escape(name) + "</a>: mean " +
                       (n ? runtime::fixed(sum / static_cast<double>(n), 4) : std::string("-")) + " over " +
                       std::to_string(n) + " of " + std::to_string(observed->bias_trials.size()) +
                       " trials; expected share " + number_text(*expected) + " &plusmn; " + number_text(*tolerance) +
                       " (bias " + html_escape(status_text(bias->status)) + ")</figcaption></figure>";
                any = true;
            }
            ++op;
        }
        out += "</div>";
        if (!any) out += "<p>No bias trials in this run.</p>";
    }

    void speed_chart(const char* check) {
        out += "<h3>Speed: elapsed time of each benchmark against its limit</h3>";
        const std::string speed = speed_chart_svg(speed_bars(check));
        out += speed.empty() ? "<p>No speed benchmarks in this run.</p>"
                             : "<figure id=\"speed\">" + speed +
                                   "<figcaption>Logarithmic axis; a red tick marks each limit, a red bar a "
                                   "benchmark over it.</figcaption></figure>";
    }

    void reproducer_list(const std::string& op_name, const std::string& check) {
        const auto found = reproducers_of(op_name, check);
        if (found.empty()) return;
        out += "<h4>Reproducers</h4><ul class=\"reproducers\">";
        for (const ReproducerFolder* f : found) {
            out += "<li><a class=\"reproducer\" href=\"" + reproducer_href(*f, options.page_directory, "README.md") +
                   "\">" + html_escape(f->relative_path) + "</a> (<a href=\"" +
                   reproducer_href(*f, options.page_directory, "pool.json") + "\">pool</a>, <a href=\"" +
                   reproducer_href(*f, options.page_directory, "tree.json") + "\">tree</a>): " + html_escape(f->label) +
                   "; " + std::to_string(f->signals) + " of " + std::to_string(f->original_signals) + " signals";
            if (!f->error.empty()) out += "; raises " + html_escape(f->error);
            if (!f->extra.empty()) out += "; extra " + html_escape(runtime::repr_list(f->extra));
            if (!f->missing.empty()) out += "; missing " + html_escape(runtime::repr_list(f->missing));
            if (!f->reproduced) out += "; <span class=\"warn\">not reproduced when called again</span>";
            if (f->stopped_by_time_bound) out += "; <span class=\"warn\">shrinking stopped at its time bound</span>";
            out += "<pre><code>" + html_escape(f->replay) + "</code></pre></li>";
        }
        out += "</ul>";
    }

    void operators() {
        out += "<section id=\"operators\"><h2>Operators</h2>";
        std::size_t op = 0;
        for (const auto& [name, verdict] : result.operator_results) {
            out += "<article class=\"operator\" id=\"op-" + std::to_string(op) + "\"><h3>" + html_escape(name) +
                   (verdict.accepted ? "<span class=\"badge yes\">accepted</span>"
                                     : "<span class=\"badge no\">rejected</span>") +
                   "</h3>";
            for (const std::string& w : verdict.warnings) out += "<p class=\"warn\">" + html_escape(w) + "</p>";
            for (const auto& [check, outcome] : verdict.checks) {
                const std::string status = status_text(outcome.status);
                out += "<details class=\"check " + status + "\" id=\"" + check_anchor(op, column_of(check)) + "\"" +
                       (outcome.status == CheckStatus::fail ? " open" : "") + "><summary><span class=\"status " +
                       status + "\">" + status + "</span> " + html_escape(check) +
                       (info.contains(check) ? " (info)" : "") + "</summary>";
                out += "<p class=\"details\">" + html_escape(outcome.details) + "</p>";
                if (outcome.status == CheckStatus::fail) counterexample(name, check);
                if (const Value* no_oracle = outcome.evidence.find("missing_correctness_oracle");
                    no_oracle != nullptr && no_oracle->truthy() && outcome.status == CheckStatus::fail) {
                    out += "<p class=\"warn\">" + html_escape(missing_oracle_hint(name)) + "</p>";
                }
                const ReportChart chart = chart_of(check);
                if (chart == ReportChart::bias_trials && seen.find(name) && !seen.find(name)->bias_trials.empty()) {
                    out += "<p><a href=\"#bias-" + std::to_string(op) + "\">Per-trial chart</a></p>";
                }
                if (chart == ReportChart::speed_timings && outcome.status != CheckStatus::skip) {
                    out += "<p><a href=\"#speed\">Timing chart</a></p>";
                }
                if (!outcome.evidence.empty()) out += value_html(Value(outcome.evidence));
                reproducer_list(name, check);
                out += "</details>";
            }
            out += "</article>";
            ++op;
        }
        out += "</section>\n";
    }

    void configuration() {
        const FiltrationEvaluationConfig& c = result.config;
        const auto ints = [](const std::set<std::int64_t>& s) {
            std::string text;
            for (const std::int64_t n : s) text += (text.empty() ? "" : ", ") + std::to_string(n);
            return text.empty() ? std::string("none") : text;
        };
        // The settings, then real mode's inputs when given; not the metadata mappings (N_signals
        // counts them).
        static constexpr std::array ROW_ORDER{ConfigGroup::base,     ConfigGroup::bias,    ConfigGroup::speed,
                                              ConfigGroup::ingested, ConfigGroup::fixture, ConfigGroup::identity,
                                              ConfigGroup::signals};
        std::vector<std::pair<std::string, std::string>> rows;
        for (const ConfigField* field : config_fields(ROW_ORDER)) {
            visit_member(field->member, c, [&](const auto& value) {
                using T = std::remove_cvref_t<decltype(value)>;
                if constexpr (std::is_same_v<T, std::optional<std::string>>) {
                    rows.emplace_back(field->name, value.value_or(""));
                } else if constexpr (std::is_same_v<T, std::set<std::int64_t>>) {
                    rows.emplace_back(field->name, ints(value));
                } else if constexpr (std::is_same_v<T, std::int64_t>) {
                    rows.emplace_back(field->name, std::to_string(value));
                } else if constexpr (std::is_same_v<T, double>) {
                    rows.emplace_back(field->name, number_text(value));
                } else if constexpr (std::is_same_v<T, std::optional<std::int64_t>>) {
                    if (value) rows.emplace_back(field->name, std::to_string(*value));
                } else if constexpr (std::is_same_v<T, std::optional<std::vector<std::string>>>) {
                    if (value) rows.emplace_back(field->name, runtime::repr_list(*value));
                } else if constexpr (std::is_same_v<T, OperatorReferences>) {
                    std::vector<std::string> names;
                    for (const auto& entry : value) names.push_back(entry.first);
                    if (!names.empty()) rows.emplace_back(field->name, runtime::repr_list(names));
                } else if constexpr (std::is_same_v<T, OperatorProperties>) {
                    std::string text;
                    for (const auto& [name, properties] : value) {
                        text += (text.empty() ? "" : "; ") + name + ":";
                        for (std::size_t i = 0; i < properties.size(); ++i) text += (i == 0 ? " " : ", ") + properties[i];
                    }
                    if (!text.empty()) rows.emplace_back(field->name, text);
                } else {
                    static_assert(std::is_same_v<T, std::optional<Dict>>);  // metadata by id: not shown
                }
            });
        }
        std::string operators;
        for (const auto& oc : result.operator_configs) {
            operators += (operators.empty() ? "" : ", ") + oc.name;
            if (oc.test_cases) operators += " (" + std::to_string(oc.test_cases->size()) + " custom cases)";
        }
        rows.emplace_back("operators", operators);

        out += "<section id=\"configuration\"><h2>Configuration</h2>";
        if (!options.command.empty()) {
            out += "<p>Repeat the run with:</p><pre id=\"command\"><code>" + html_escape(options.command) +
                   "</code></pre>";
        }
        out += "<table class=\"evidence\" id=\"config\">";
        for (const auto& [key, value] : rows) {
            out += "<tr><th>" + html_escape(key) + "</th><td>" + html_escape(value) + "</td></tr>";
        }
        out += "</table></section>\n";
    }
};

}  // namespace
}  // namespace detail

std::string render_html_report(const FiltrationEvaluationResult& result, const RunObservations& observations,
                               const HtmlReportOptions& options) {
    detail::Page page{result, observations.data(), options, detail::check_columns(result),
                      detail::info_checks(result.config), {}};
    page.out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
               "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" +
               detail::html_escape(options.title) + "</title><style>" + detail::STYLE + "</style></head><body>\n";
    page.header();
    page.matrix();
    page.charts();
    page.operators();
    page.configuration();
    page.out += "</body></html>\n";
    return std::move(page.out);
}

void write_html_report(const std::filesystem::path& file, const FiltrationEvaluationResult& result,
                       const RunObservations& observations, HtmlReportOptions options) {
    if (options.page_directory.empty()) options.page_directory = file.parent_path();
    const std::string page = render_html_report(result, observations, options);
    std::error_code ec;
    if (!file.parent_path().empty()) std::filesystem::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << page;
    out.close();
    if (!out) throw runtime::RuntimeError("cannot write '" + file.string() + "'");
}

}  // namespace brindlecap::functions::filtrations_evaluation
