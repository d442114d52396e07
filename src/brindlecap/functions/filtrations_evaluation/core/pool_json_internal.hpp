#pragma once
// The pool JSON file reader's window, for tests that make it small.

#include <cstddef>
#include <string>

#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// A regular file is read in pieces of `bytes` into one buffer; between two signals the reader
// asks for more when fewer than `lookahead` bytes are left. A signal that does not fit is read
// again from the whole text.
struct ReadWindow {
    std::size_t bytes = std::size_t{512} << 10;  // read into cache, parsed from it
    std::size_t lookahead = std::size_t{64} << 10;
};

// read_signal_pool_json with this window.
SignalPool read_signal_pool_json(const std::string& path, const ReadWindow& window);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
