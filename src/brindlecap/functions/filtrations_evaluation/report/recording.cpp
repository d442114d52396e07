// The observer behind RunRecorder: keeps what the checks report, by operator.

#include "brindlecap/functions/filtrations_evaluation/report/recorded_run_internal.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using detail::OperatorObservations;

const OperatorObservations* RecordedRun::find(const std::string& op_name) const {
    for (const auto& [name, seen] : operators) {
        if (name == op_name) return &seen;
    }
    return nullptr;
}

OperatorObservations& RecordedRun::of(const std::string& op_name) {
    for (auto& [name, seen] : operators) {
        if (name == op_name) return seen;
    }
    return operators.emplace_back(op_name, OperatorObservations{}).second;
}

// A report that cannot be kept (memory ran out) is dropped: the checks' outcomes must not change.
template <class Add>
void RecordingObserver::add(const std::string& op_name, Add&& add) noexcept {
    try {
        const std::lock_guard lock(mutex_);
        add(run_.of(op_name));
    } catch (...) {
    }
}

void RecordingObserver::disagreement(detail::Disagreement d) noexcept {
    const std::string name = d.op_name;
    add(name, [&](OperatorObservations& seen) { seen.disagreements.push_back(std::move(d)); });
}

void RecordingObserver::bias_trial(const std::string& op_name, std::int64_t trial, std::optional<double> fraction) noexcept {
    add(op_name, [&](OperatorObservations& seen) { seen.bias_trials.push_back(detail::BiasTrial{trial, fraction}); });
}

void RecordingObserver::speed_run(const std::string& op_name, const std::string& which, const std::vector<double>& samples,
                         std::int64_t calls, double elapsed_s, double limit_s) noexcept {
    add(op_name, [&](OperatorObservations& seen) {
        seen.speed_runs.push_back(detail::SpeedRun{which, samples, calls, elapsed_s, limit_s});
    });
}

std::shared_ptr<const RecordedRun> RecordingObserver::snapshot() const {
    const std::lock_guard lock(mutex_);
    return std::make_shared<const RecordedRun>(run_);
}

RunObservations::RunObservations() : data_(std::make_shared<const RecordedRun>()) {}

RunObservations::RunObservations(std::shared_ptr<const RecordedRun> data) : data_(std::move(data)) {
    if (!data_) data_ = std::make_shared<const RecordedRun>();
}

std::size_t RunObservations::disagreement_count() const {
    std::size_t n = 0;
    for (const auto& [name, seen] : data_->operators) n += seen.disagreements.size();
    return n;
}

RunRecorder::RunRecorder() : observer_(std::make_unique<RecordingObserver>()) {
    detail::RunObserver* previous = detail::set_run_observer(observer_.get());
    if (previous != nullptr) {
        detail::set_run_observer(previous);
        throw runtime::RuntimeError("a RunRecorder is already recording");
    }
}

RunRecorder::~RunRecorder() { detail::set_run_observer(nullptr); }

RunObservations RunRecorder::observations() const { return RunObservations(observer_->snapshot()); }

}  // namespace brindlecap::functions::filtrations_evaluation
