#pragma once
#include <chrono>
#include <ctime>

namespace brindlecap::runtime {

// Monotonic clock in seconds.
inline double monotonic() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// CPU time of the calling thread in seconds: time spent waiting for a core is not counted.
inline double thread_cpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace brindlecap::runtime
