// JUnit XML of an acceptance run: a test suite per operator, a test case per check.

#include <fstream>
#include <set>

#include "brindlecap/functions/filtrations_evaluation/acceptance/references.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/html_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/report.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation {

std::string render_junit_xml(const FiltrationEvaluationResult& result, const std::vector<Counterexample>& counterexamples) {
    using detail::html_escape;  // the same five entities, control characters shown escaped
    const std::set<std::string> info = detail::info_checks(result.config);
    std::size_t tests = 0, failures = 0, skipped = 0;
    std::string suites;
    for (const auto& [name, verdict] : result.operator_results) {
        std::size_t suite_failures = 0, suite_skipped = 0;
        std::string cases;
        for (const auto& [check, outcome] : verdict.checks) {
            cases += "    <testcase classname=\"filtrations." + html_escape(name) + "\" name=\"" + html_escape(check) + "\"";
            if (outcome.status == CheckStatus::pass) {
                cases += "/>\n";
                continue;
            }
            cases += ">\n";
            if (outcome.status == CheckStatus::skip) {
                ++suite_skipped;
                cases += "      <skipped message=\"" + html_escape(outcome.details) + "\"/>\n";
            } else {
                std::string body = outcome.details + "\n";
                for (const Counterexample& c : counterexamples) {
                    if (c.operator_name == name && c.check == check) body += counterexample_text(c);
                }
                if (const runtime::Value* no_oracle = outcome.evidence.find("missing_correctness_oracle");
                    no_oracle != nullptr && no_oracle->truthy()) {
                    body += missing_oracle_hint(name) + "\n";
                }
                if (info.contains(check)) {
                    cases += "      <system-out>" + html_escape("info check (does not count): " + body) + "</system-out>\n";
                } else {
                    ++suite_failures;
                    cases += "      <failure type=\"" + html_escape(check) + "\" message=\"" + html_escape(outcome.details) +
                             "\">" + html_escape(body) + "</failure>\n";
                }
            }
            cases += "    </testcase>\n";
        }
        suites += "  <testsuite name=\"" + html_escape(name) + "\" tests=\"" + std::to_string(verdict.checks.size()) +
                  "\" failures=\"" + std::to_string(suite_failures) + "\" errors=\"0\" skipped=\"" +
                  std::to_string(suite_skipped) + "\">\n" + cases + "  </testsuite>\n";
        tests += verdict.checks.size();
        failures += suite_failures;
        skipped += suite_skipped;
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"filtrations\" tests=\"" +
           std::to_string(tests) + "\" failures=\"" + std::to_string(failures) + "\" errors=\"0\" skipped=\"" +
           std::to_string(skipped) + "\">\n" + suites + "</testsuites>\n";
}

void write_junit_xml(const std::filesystem::path& file, const FiltrationEvaluationResult& result,
                     const std::vector<Counterexample>& counterexamples) {
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << render_junit_xml(result, counterexamples);
    out.close();
    if (!out) throw runtime::RuntimeError("cannot write the JUnit report '" + file.string() + "'");
}

}  // namespace brindlecap::functions::filtrations_evaluation
