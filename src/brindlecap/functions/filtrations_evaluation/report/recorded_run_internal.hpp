#pragma once
// What a RunRecorder keeps, by operator, and the observer that fills it.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/harness/run_observer_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/report.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

struct BiasTrial {
    std::int64_t trial = 0;
    std::optional<double> fraction;  // nullopt: the call raised
};

struct SpeedRun {
    std::string which;             // "small" or "large"
    std::vector<double> samples;   // sampled call durations, s
    std::int64_t calls = 0;
    double elapsed_s = 0.0;
    double limit_s = 0.0;
};

struct OperatorObservations {
    std::vector<Disagreement> disagreements;
    std::vector<BiasTrial> bias_trials;
    std::vector<SpeedRun> speed_runs;
};

}  // namespace brindlecap::functions::filtrations_evaluation::detail

namespace brindlecap::functions::filtrations_evaluation {

struct RecordedRun {
    std::vector<std::pair<std::string, detail::OperatorObservations>> operators;  // first report first
    const detail::OperatorObservations* find(const std::string& op_name) const;
    detail::OperatorObservations& of(const std::string& op_name);
};

class RecordingObserver final : public detail::RunObserver {
public:
    void disagreement(detail::Disagreement d) noexcept override;
    void bias_trial(const std::string& op_name, std::int64_t trial, std::optional<double> fraction) noexcept override;
    void speed_run(const std::string& op_name, const std::string& which, const std::vector<double>& samples,
                   std::int64_t calls, double elapsed_s, double limit_s) noexcept override;
    std::shared_ptr<const RecordedRun> snapshot() const;

private:
    template <class Add>
    void add(const std::string& op_name, Add&& add) noexcept;

    mutable std::mutex mutex_;
    RecordedRun run_;
};

}  // namespace brindlecap::functions::filtrations_evaluation
