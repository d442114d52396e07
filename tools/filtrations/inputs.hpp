#pragma once
// Reading the command line's input files. Every error names the file and the problem.

#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::cli {

using functions::filtrations_evaluation::FilterNode;
using functions::filtrations_evaluation::SignalPool;

// Bad command-line input (a file that can't be read or has the wrong shape). `context_lines`
// are printed under the message (a caret under a syntax error, for instance).
class InputError : public runtime::Exception {
public:
    explicit InputError(std::string message, std::string context_lines = "")
        : InputError("InputError", std::move(message), std::move(context_lines)) {}
    std::string context_lines;

protected:
    InputError(std::string kind, std::string message, std::string context_lines)
        : Exception(std::move(kind), std::move(message)), context_lines(std::move(context_lines)) {}
};

// Memory ran out reading an input; its kind is that of any exhaustion of memory.
class InputTooLarge : public InputError {
public:
    explicit InputTooLarge(std::string message)
        : InputError("MemoryError", std::move(message), "") {}
};

// Input files are regular files, or standard input for "-"; a FIFO, device or directory is
// refused (InputError).

// A JSON file; InputError naming the file when it can't be read or parsed, InputTooLarge when
// memory runs out.
runtime::Value load_json_file(const std::string& path, const std::string& what);

// Signals {"<id>": {<metadata>}, ...} in file order; `where` names the source in errors.
runtime::Dict signals_from_value(const runtime::Value& doc, const std::string& where);
runtime::Dict load_signals_file(const std::string& path);
// The same file as a pool, read column-wise (its rows made only if something asks for them).
SignalPool load_pool_file(const std::string& path);


// TREE: a JSON file ("-": standard input), inline JSON text starting with '{', or an inline
// expression.
FilterNode load_tree_argument(const std::string& arg);

// "a,b,c" (comma-separated, taken as written: '#' is part of an id; an empty item is refused) or
// "@FILE" (ids separated by commas, spaces or newlines; '#' starts a comment).
std::vector<std::string> load_signal_ids(const std::string& arg);

// A JSON file that must hold one object (a statistics or metadata bag, a products mapping).
runtime::Dict load_object_file(const std::string& path, const std::string& what);

}  // namespace brindlecap::cli
