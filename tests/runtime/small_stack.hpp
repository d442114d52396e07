#pragma once
// Runs a callable on a thread with a small stack: code that recursed once per level of a deep
// structure would overflow it (a crash, which fails the test), code with an explicit stack
// does not. Exceptions are handed back to the caller.

#include <pthread.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <stdexcept>

namespace test {

inline void on_small_stack(const std::function<void()>& body, std::size_t stack_bytes = 512 * 1024) {
    struct Job {
        const std::function<void()>& body;
        std::exception_ptr error;
        static void* run(void* arg) {
            auto* job = static_cast<Job*>(arg);
            try {
                job->body();
            } catch (...) {
                job->error = std::current_exception();
            }
            return nullptr;
        }
    } job{body, nullptr};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_bytes);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, &Job::run, &job);
    pthread_attr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("pthread_create failed");
    pthread_join(thread, nullptr);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace test
