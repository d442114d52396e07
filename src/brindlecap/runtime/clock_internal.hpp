#pragma once
#include <chrono>

namespace brindlecap::runtime {

// Monotonic clock in seconds.
inline double monotonic() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace brindlecap::runtime
