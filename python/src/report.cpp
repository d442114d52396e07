#include "report.hpp"

#include <memory>
#include <optional>

#include <pybind11/stl.h>

#include "brindlecap/functions/filtrations_evaluation/report/report.hpp"
#include "convert.hpp"
#include "records.hpp"

namespace brindlecap::python {

using namespace pybind11::literals;

namespace {

// `with RunRecorder() as recorder: fe._evaluate(...)`; what the checks reported stays readable
// through observations() after the block.
class Recorder {
public:
    Recorder& enter() {
        if (recorder_) throw std::runtime_error("RunRecorder is already recording");
        recorder_.emplace();
        return *this;
    }
    void exit(const py::args&) {
        if (!recorder_) return;
        kept_ = recorder_->observations();
        recorder_.reset();
    }
    fe::RunObservations observations() const { return recorder_ ? recorder_->observations() : kept_; }

private:
    std::optional<fe::RunRecorder> recorder_;
    fe::RunObservations kept_;
};

// A Python FiltrationEvaluationResult read back into C++.
fe::FiltrationEvaluationResult result_of(py::handle result) {
    fe::FiltrationEvaluationResult out;
    for (const auto& [name, verdict] : py::reinterpret_borrow<py::dict>(result.attr("operator_results"))) {
        fe::OperatorCheckResult r;
        r.operator_name = py::str(verdict.attr("operator_name"));
        r.accepted = py::bool_(verdict.attr("accepted"));
        for (const auto& [check, outcome] : py::reinterpret_borrow<py::dict>(verdict.attr("checks"))) {
            r.checks.emplace_back(py::str(check), outcome_of(outcome));
        }
        for (const auto& w : verdict.attr("warnings")) r.warnings.emplace_back(py::str(w));
        out.operator_results.emplace_back(py::str(name), std::move(r));
    }
    out.config = config_of(result.attr("config"));
    if (auto configs = operator_configs_of(result.attr("operator_configs"))) out.operator_configs = std::move(*configs);
    return out;
}

}  // namespace

void init_report(py::module_& m) {
    py::class_<fe::RunObservations>(m, "RunObservations", "What the checks of a recorded run reported.")
        .def_property_readonly("disagreement_count", &fe::RunObservations::disagreement_count);

    py::class_<Recorder>(m, "RunRecorder",
                         "Records, while the with-block runs, the failing comparisons of the checks, the bias "
                         "check's trial fractions and the speed check's timings.")
        .def(py::init<>())
        .def("__enter__", &Recorder::enter, py::return_value_policy::reference_internal)
        .def("__exit__", &Recorder::exit)
        .def("observations", &Recorder::observations);

    py::class_<fe::Counterexample>(m, "Counterexample",
                                   "A failing comparison shrunk to a small pool: the call, its signals, what was "
                                   "expected and what the operator gave.")
        .def_readonly("operator_name", &fe::Counterexample::operator_name)
        .def_readonly("check", &fe::Counterexample::check)
        .def_readonly("label", &fe::Counterexample::label)
        .def_property_readonly("params", [](const fe::Counterexample& c) { return Exporter().dict(c.params); })
        .def_readonly("children", &fe::Counterexample::children)
        .def_property_readonly("pool", [](const fe::Counterexample& c) { return Exporter().dict(c.pool); })
        .def_readonly("original_signals", &fe::Counterexample::original_signals)
        .def_readonly("expectation", &fe::Counterexample::expectation)
        .def_readonly("expected", &fe::Counterexample::expected)
        .def_readonly("selected", &fe::Counterexample::selected)
        .def_readonly("error", &fe::Counterexample::error)
        .def_readonly("missing", &fe::Counterexample::missing)
        .def_readonly("extra", &fe::Counterexample::extra)
        .def_readonly("reproduced", &fe::Counterexample::reproduced)
        .def_readonly("detail", &fe::Counterexample::detail)
        .def("__str__", [](const fe::Counterexample& c) { return fe::counterexample_text(c); })
        .def("__repr__", [](const fe::Counterexample& c) {
            return "Counterexample(" + c.operator_name + ", " + c.check + ", " + c.label + ")";
        });

    m.def(
        "shrink_counterexamples",
        [](const fe::RunObservations& observations) {
            py::gil_scoped_release nogil;
            return fe::shrink_counterexamples(observations);
        },
        "observations"_a,
        "The first failing comparison of every (operator, check) that writes reproducers, its pool shrunk as "
        "write_reproducers shrinks it.");
    m.def("counterexample_text", &fe::counterexample_text, "counterexample"_a, "indent"_a = "",
          "The counterexample as lines of text, each starting with `indent`.");
    m.def("missing_oracle_hint", &fe::missing_oracle_hint, "op_name"_a,
          "What a failed correctness check of an operator without any oracle tells its reader.");
    m.def(
        "write_junit_xml",
        [](const std::string& path, py::handle result, std::vector<fe::Counterexample> counterexamples) {
            fe::FiltrationEvaluationResult run = result_of(result);
            py::gil_scoped_release nogil;
            fe::write_junit_xml(path, run, counterexamples);
        },
        "path"_a, "result"_a, "counterexamples"_a = std::vector<fe::Counterexample>{},
        "JUnit XML of the run: a test suite per operator, a test case per check, a failure per failed check.");

    py::class_<fe::ReproducerFolder>(m, "ReproducerFolder", "One folder written by write_reproducers.")
        .def_readonly("operator_name", &fe::ReproducerFolder::operator_name)
        .def_readonly("check", &fe::ReproducerFolder::check)
        .def_readonly("label", &fe::ReproducerFolder::label)
        .def_property_readonly("path", [](const fe::ReproducerFolder& f) { return f.path.string(); })
        .def_readonly("signals", &fe::ReproducerFolder::signals)
        .def_readonly("original_signals", &fe::ReproducerFolder::original_signals)
        .def_readonly("missing", &fe::ReproducerFolder::missing)
        .def_readonly("extra", &fe::ReproducerFolder::extra)
        .def_readonly("error", &fe::ReproducerFolder::error)
        .def_readonly("replay", &fe::ReproducerFolder::replay)
        .def_readonly("counterexample", &fe::ReproducerFolder::counterexample)
        .def("__repr__", [](const fe::ReproducerFolder& f) { return "ReproducerFolder('" + f.path.string() + "')"; });

    m.def(
        "write_reproducers",
        [](const fe::RunObservations& observations, const std::string& directory, const std::string& replay_command) {
            py::gil_scoped_release nogil;
            return fe::write_reproducers(observations, directory, replay_command);
        },
        "observations"_a, "directory"_a, "replay_command"_a = "filtrations resolve --pool {pool} --tree {tree}",
        "A folder per failing comparison, its pool shrunk to one that still shows the disagreement. The "
        "directory must be new, empty or written by an earlier call (FileExistsError otherwise); the earlier "
        "call's folders are replaced, nothing else.");
    m.def(
        "write_html_report",
        [](const std::string& path, py::handle result, const fe::RunObservations& observations,
           std::vector<fe::ReproducerFolder> reproducers, std::string source, std::string command) {
            fe::FiltrationEvaluationResult run = result_of(result);
            fe::HtmlReportOptions options;
            options.source = std::move(source);
            options.command = std::move(command);
            options.reproducers = std::move(reproducers);
            py::gil_scoped_release nogil;
            fe::write_html_report(path, run, observations, std::move(options));
        },
        "path"_a, "result"_a, "observations"_a, "reproducers"_a = std::vector<fe::ReproducerFolder>{},
        "source"_a = "", "command"_a = "", "One self-contained HTML page of the run.");
}

}  // namespace brindlecap::python
