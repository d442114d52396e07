// Parallel-safety check: a baseline call on the caller's thread and two concurrent calls on a pool
// of two worker threads, each on its own freshly seeded pool; the shared body compares them.

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/check_support_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/id_set_object_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

constexpr std::size_t WORKERS = 2;

// A fixed number of worker threads taking tasks in submission order. A task's error is kept in its
// future and raised again when the result is collected; closing (or destruction) waits for every
// submitted task.
class FixedThreadPool {
public:
    explicit FixedThreadPool(std::size_t workers) {
        try {
            for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
        } catch (...) {
            close();
            throw;
        }
    }
    FixedThreadPool(const FixedThreadPool&) = delete;
    FixedThreadPool& operator=(const FixedThreadPool&) = delete;
    ~FixedThreadPool() { close(); }

    // Runs fn(item) for every item; the futures are in item order.
    template <class Fn, class Item>
    auto map(Fn fn, const std::vector<Item>& items) {
        using Result = std::invoke_result_t<Fn&, const Item&>;
        std::vector<std::future<Result>> futures;
        futures.reserve(items.size());
        for (const Item& item : items) {
            auto task = std::make_shared<std::packaged_task<Result()>>([fn, item] { return fn(item); });
            futures.push_back(task->get_future());
            {
                const std::lock_guard lock(mutex_);
                queue_.emplace_back([task] { (*task)(); });
            }
            ready_.notify_one();
        }
        return futures;
    }

    void close() {
        {
            const std::lock_guard lock(mutex_);
            closing_ = true;
        }
        ready_.notify_all();
        for (std::thread& t : threads_) {
            if (t.joinable()) t.join();
        }
    }

private:
    void work() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return closing_ || !queue_.empty(); });
                if (queue_.empty()) return;  // closing and drained
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            task();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> queue_;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace

CheckOutcome run_check_5_parallel_safety(const std::string& op_name, const Operator& op_impl,
                                         FiltrationEvaluationConfig& config, numeric::Generator& /*rng*/) {
    try {
        const FiltrationEvaluationConfig& shared_config = config;
        // Every run builds its own pool from config.seed, so no two runs share mutable input.
        auto run_with_fresh_seeded_input = [&op_name, &op_impl, &shared_config] {
            const auto [local_pool, category] = build_seeded_operator_fixture(op_name, shared_config, Weights::skipped);
            return call_operator(op_name, op_impl, *local_pool, category);
        };

        runtime::List thread_results;
        thread_results.push_back(id_set_value(run_with_fresh_seeded_input()));

        std::vector<IdSet> worker_results;
        {
            FixedThreadPool pool(WORKERS);
            auto futures = pool.map([&](int /*slot*/) { return run_with_fresh_seeded_input(); },
                                    std::vector<int>{0, 1});
            // get() raises a worker's error; the pool's destructor still waits for the other one.
            for (auto& f : futures) worker_results.push_back(f.get());
            pool.close();
        }
        for (IdSet& r : worker_results) thread_results.push_back(id_set_value(std::move(r)));

        const Dict context{
            {"thread_results", Value::list(std::move(thread_results))},
            {"family", "filtration"},
            {"check_name", "parallel_safety"},
            {"operator_name", op_name},
            {"observation_context",
             Dict{{"baseline_count", 1}, {"worker_count", static_cast<std::int64_t>(worker_results.size())}}},
        };
        const evaluation_pipeline::SharedCheckResult shared = run_shared_filtration_check("parallel_safety", context);

        const bool passed = *shared.status == "pass";
        Dict evidence{
            {"parallel_safety", passed},
            {"fresh_instance_or_fresh_run", true},
        };
        for (const auto& [key, value] : shared.evidence) evidence.set(key, value);

        return CheckOutcome{passed ? CheckStatus::pass : CheckStatus::fail,
                            passed ? "Parallel independent calls matched the seeded baseline."
                                             : "Parallel independent calls diverged from the seeded baseline.",
                            std::move(evidence)};
    } catch (const std::exception& e) {
        runtime::rethrow_if_fatal(e);
        const std::string text = runtime::error_text(e);
        return CheckOutcome{CheckStatus::fail, "Parallel safety check failed: " + text,
                            Dict{{"parallel_safety", false},
                                 {"results_match", false},
                                 {"error", text},
                                 {"exception_type", runtime::error_kind(e)}}};
    }
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
