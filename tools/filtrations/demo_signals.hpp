#pragma once
// The demo signal set that `filtrations evaluate` runs on when no signals are given: the
// metadata of the synthetic fixture generator with N_signals 24, seed 2026, T 50, N_alloc 50.

#include <string_view>

namespace brindlecap::cli {

// JSON text {"synth_0000": {...}, ...} embedded at build time from data/demo_signals.json.
std::string_view demo_signals_json();

inline constexpr int DEMO_SIGNAL_COUNT = 24;

}  // namespace brindlecap::cli
