#pragma once
// The `filtrations` command line: evaluate, resolve, products, flatten, db init / import.

#include <iosfwd>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"

namespace brindlecap::cli {

// Exit codes: every operator accepted (or the tree selected something); some operator rejected
// (or nothing passed); bad input (unreadable file, malformed JSON, unknown option, invalid tree
// or configuration).
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_REJECTED = 1;
inline constexpr int EXIT_BAD_INPUT = 2;

struct Terminal {
    bool stdout_is_tty = false;  // colour in the readable output
    bool stderr_is_tty = false;  // progress lines
};

// Runs one command line (`args` without the program name). Results go to `out` in one piece
// once complete, so a failed command leaves nothing partial on it; messages go to `err`.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const Terminal& terminal = {});

// run() for an embedding host: `evaluate` judges the host's own operators too, registered in its
// store after the built-ins (an entry with a built-in's name replaces it). An interrupt (the
// host's, raised inside an operator) ends the run instead of becoming an error line.
// `host_command` is the host's command line that repeats the run, for the HTML report (empty:
// "filtrations" and `args`, which judges the built-ins only). With `host_operator_help`, the
// commands that use the store (evaluate, resolve) list an --operator option of the host's, which
// the host reads before the run (the run ignores its values). `host_references` are oracles by
// operator name, as --reference gives them.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const Terminal& terminal,
        const std::vector<functions::registry_and_store::StoreEntry>& host_operators,
        const std::string& host_command = "", const std::string& host_operator_help = "",
        const functions::filtrations_evaluation::OperatorReferences& host_references = {});

}  // namespace brindlecap::cli
