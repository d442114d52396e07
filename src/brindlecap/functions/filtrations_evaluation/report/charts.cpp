// Inline SVG charts of the HTML report.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "brindlecap/functions/filtrations_evaluation/report/html_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

// A coordinate: one decimal is enough on screen.
std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string fraction_text(double v, int decimals) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// 1 µs, 250 ms, 3.2 s.
std::string duration_text(double s) {
    char buf[32];
    if (s < 1e-3) {
        std::snprintf(buf, sizeof buf, "%.3g \xC2\xB5s", s * 1e6);
    } else if (s < 1.0) {
        std::snprintf(buf, sizeof buf, "%.3g ms", s * 1e3);
    } else {
        std::snprintf(buf, sizeof buf, "%.3g s", s);
    }
    return buf;
}

std::string text(double x, double y, const std::string& body, const char* cls, const char* anchor = "start") {
    return "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" class=\"" + cls + "\" text-anchor=\"" + anchor + "\">" +
           body + "</text>";
}

std::string line(double x1, double y1, double x2, double y2, const char* cls) {
    return "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y2) +
           "\" class=\"" + cls + "\"/>";
}

}  // namespace

std::string bias_chart_svg(const std::string& op_name, const std::vector<BiasTrial>& trials, double expected,
                           double tolerance, bool judged) {
    if (trials.empty()) return "";
    constexpr double W = 380, H = 190, LEFT = 46, RIGHT = 12, TOP = 14, BOTTOM = 30;
    const double plot_w = W - LEFT - RIGHT;
    const double plot_h = H - TOP - BOTTOM;

    double lo = expected - tolerance;
    double hi = expected + tolerance;
    double sum = 0.0;
    std::size_t counted = 0;
    for (const BiasTrial& t : trials) {
        if (!t.fraction) continue;
        lo = std::min(lo, *t.fraction);
        hi = std::max(hi, *t.fraction);
        sum += *t.fraction;
        ++counted;
    }
    const double pad = std::max((hi - lo) * 0.15, 0.01);
    lo = std::max(0.0, lo - pad);
    hi = std::min(1.0, hi + pad);
    if (hi - lo < 1e-9) hi = lo + 0.01;
    const auto y_of = [&](double v) { return TOP + (hi - std::clamp(v, lo, hi)) / (hi - lo) * plot_h; };
    const auto x_of = [&](std::size_t i) {
        return LEFT + (static_cast<double>(i) + 0.5) * plot_w / static_cast<double>(trials.size());
    };

    const std::string name = html_escape(op_name);
    std::string svg = "<svg class=\"chart bias-chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + num(W) +
                      " " + num(H) + "\" width=\"" + num(W) + "\" height=\"" + num(H) + "\" role=\"img\">";
    svg += "<title>" + name + ": selected fraction per bias trial</title>";
    svg += "<rect class=\"plot\" x=\"" + num(LEFT) + "\" y=\"" + num(TOP) + "\" width=\"" + num(plot_w) + "\" height=\"" +
           num(plot_h) + "\"/>";
    const double band_top = y_of(expected + tolerance);
    const double band_bottom = y_of(expected - tolerance);
    svg += "<rect class=\"band\" x=\"" + num(LEFT) + "\" y=\"" + num(band_top) + "\" width=\"" + num(plot_w) +
           "\" height=\"" + num(band_bottom - band_top) + "\"><title>expected share " + fraction_text(expected, 3) +
           " \xC2\xB1 " + fraction_text(tolerance, 3) + "</title></rect>";

    for (int k = 0; k <= 4; ++k) {
        const double v = lo + (hi - lo) * k / 4.0;
        svg += line(LEFT - 4, y_of(v), LEFT, y_of(v), "tick");
        svg += text(LEFT - 6, y_of(v) + 3.5, fraction_text(v, hi - lo < 0.1 ? 3 : 2), "label", "end");
    }
    svg += line(LEFT, y_of(expected), LEFT + plot_w, y_of(expected), "expected");
    if (counted > 0) {
        const double mean = sum / static_cast<double>(counted);
        svg += "<line x1=\"" + num(LEFT) + "\" y1=\"" + num(y_of(mean)) + "\" x2=\"" + num(LEFT + plot_w) + "\" y2=\"" +
               num(y_of(mean)) + "\" class=\"mean\"><title>mean " + fraction_text(mean, 4) + "</title></line>";
    }
    for (std::size_t i = 0; i < trials.size(); ++i) {
        const BiasTrial& t = trials[i];
        const std::string trial = "trial " + std::to_string(t.trial + 1);
        if (t.fraction) {
            const bool inside = !judged || std::abs(*t.fraction - expected) <= tolerance;
            svg += "<circle class=\"trial" + std::string(inside ? "" : " outside") + "\" cx=\"" + num(x_of(i)) +
                   "\" cy=\"" + num(y_of(*t.fraction)) + "\" r=\"2.2\"><title>" + trial + ": " +
                   fraction_text(*t.fraction, 4) + "</title></circle>";
        } else {
            const double x = x_of(i);
            const double y = TOP + plot_h - 4;
            svg += "<path class=\"trial-error\" d=\"M" + num(x - 3) + " " + num(y - 3) + "L" + num(x + 3) + " " +
                   num(y + 3) + "M" + num(x - 3) + " " + num(y + 3) + "L" + num(x + 3) + " " + num(y - 3) +
                   "\"><title>" + trial + ": no selection (the call raised)</title></path>";
        }
    }
    svg += text(LEFT, H - 10, "trial 1", "label");
    svg += text(LEFT + plot_w, H - 10, "trial " + std::to_string(trials.size()), "label", "end");
    svg += text(LEFT + plot_w / 2, H - 10, "selected fraction per trial", "label", "middle");
    svg += "</svg>";
    return svg;
}

std::string speed_chart_svg(const std::vector<SpeedBar>& bars) {
    if (bars.empty()) return "";
    constexpr double LABEL = 150, RIGHT = 120, TOP = 10, ROW = 18, AXIS = 28, PLOT = 420;
    const double width = LABEL + PLOT + RIGHT;
    const double height = TOP + ROW * static_cast<double>(bars.size()) + AXIS;

    double smallest = 1e300;
    double largest = 0.0;
    for (const SpeedBar& b : bars) {
        if (b.elapsed_s > 0) smallest = std::min(smallest, b.elapsed_s);
        if (b.limit_s > 0) smallest = std::min(smallest, b.limit_s);
        largest = std::max({largest, b.elapsed_s, b.limit_s});
    }
    if (smallest > largest) smallest = largest = 1.0;
    const double lo_exp = std::floor(std::log10(std::max(smallest, 1e-7)));
    double hi_exp = std::ceil(std::log10(std::max(largest, 1e-7)));
    if (hi_exp <= lo_exp) hi_exp = lo_exp + 1;
    const auto x_of = [&](double s) {
        const double e = std::clamp(std::log10(std::max(s, 1e-12)), lo_exp, hi_exp);
        return LABEL + (e - lo_exp) / (hi_exp - lo_exp) * PLOT;
    };

    std::string svg = "<svg class=\"chart speed-chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                      num(width) + " " + num(height) + "\" width=\"" + num(width) + "\" height=\"" + num(height) +
                      "\" role=\"img\"><title>Speed benchmarks: elapsed time against the limit</title>";
    const double axis_y = TOP + ROW * static_cast<double>(bars.size());
    for (double e = lo_exp; e <= hi_exp + 1e-9; e += 1.0) {
        const double x = x_of(std::pow(10.0, e));
        svg += line(x, TOP, x, axis_y, "grid");
        svg += text(x, axis_y + 14, duration_text(std::pow(10.0, e)), "label", "middle");
    }
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const SpeedBar& b = bars[i];
        const double y = TOP + ROW * static_cast<double>(i);
        const bool within = b.elapsed_s <= b.limit_s;
        const std::string who = html_escape(b.op_name) + " (" + html_escape(b.which) + ")";
        svg += text(LABEL - 6, y + 12.5, who, "label", "end");
        const double x_end = x_of(b.elapsed_s);
        svg += "<rect class=\"bar" + std::string(within ? "" : " over") + "\" x=\"" + num(LABEL) + "\" y=\"" +
               num(y + 3) + "\" width=\"" + num(std::max(x_end - LABEL, 1.0)) + "\" height=\"" + num(ROW - 6) +
               "\"><title>" + who + ": " + duration_text(b.elapsed_s) + " for " + std::to_string(b.calls) +
               " calls, limit " + duration_text(b.limit_s) + "</title></rect>";
        const double x_limit = x_of(b.limit_s);
        svg += "<line x1=\"" + num(x_limit) + "\" y1=\"" + num(y + 1) + "\" x2=\"" + num(x_limit) + "\" y2=\"" +
               num(y + ROW - 1) + "\" class=\"limit\"><title>limit " + duration_text(b.limit_s) + "</title></line>";
        svg += text(LABEL + PLOT + 6, y + 12.5, duration_text(b.elapsed_s) + " / " + duration_text(b.limit_s), "label");
    }
    svg += line(LABEL, axis_y, LABEL + PLOT, axis_y, "axis");
    svg += "</svg>";
    return svg;
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
