// `python -m brindlecap.filtrations`: the filtrations command line, run in process, with the
// caller's Python operators added to the store `evaluate` judges.

#include "command_line.hpp"

#include <ostream>
#include <streambuf>

#include "brindlecap/runtime/log.hpp"
#include "cli.hpp"  // tools/filtrations
#include "convert.hpp"
#include "errors.hpp"
#include "operators.hpp"
#include "records.hpp"
#include "tree_expr.hpp"  // tools/filtrations

namespace brindlecap::python {

using namespace pybind11::literals;

namespace {

// Text written to a Python file object (sys.stdout, sys.stderr), line by line and at flushes.
class PyFileBuf : public std::streambuf {
public:
    explicit PyFileBuf(py::handle file) : file_(share(file)) {}
    void flush_text() {
        if (text_.empty()) return;
        in_python([&] {
            const py::object file = object_of(file_);
            file.attr("write")(py::str(text_));
            file.attr("flush")();
        });
        text_.clear();
    }

protected:
    int_type overflow(int_type c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        text_.push_back(static_cast<char>(c));
        if (c == '\n') flush_text();
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        text_.append(s, static_cast<std::size_t>(n));
        return n;
    }
    int sync() override {
        flush_text();
        return 0;
    }

private:
    PyRef file_;
    std::string text_;
};

bool is_tty(py::handle file) {
    try {
        return file.attr("isatty")().cast<bool>();
    } catch (py::error_already_set&) {
        return false;
    }
}

// The log goes where the command line's own goes (stderr), not to the module's structlog
// logger, for as long as the command runs.
class DefaultLogSink {
public:
    DefaultLogSink() : previous_(runtime::set_log_sink({})) {}
    DefaultLogSink(const DefaultLogSink&) = delete;
    DefaultLogSink& operator=(const DefaultLogSink&) = delete;
    ~DefaultLogSink() { runtime::set_log_sink(std::move(previous_)); }

private:
    runtime::LogSink previous_;
};

int run(const std::vector<std::string>& args, py::handle operators, const std::string& command,
        const std::string& operator_help, py::handle references) {
    // Held here as well, so that the last references to the Python operators go under the GIL.
    std::vector<rs::StoreEntry> entries;
    fe::OperatorReferences oracles;
    Converter c;
    for (const auto& [name, callable] : py::reinterpret_borrow<py::dict>(operators)) {
        const std::string text = c.str(name, "an operator name");
        entries.push_back(rs::StoreEntry{text, "filtration", operator_of(callable, text), "", "", Value()});
    }
    for (const auto& [name, callable] : py::reinterpret_borrow<py::dict>(references)) {
        const std::string text = c.str(name, "an operator name");
        oracles[text] = operator_of(callable, text);
    }
    const py::module_ sys = py::module_::import("sys");
    PyFileBuf out_buf(sys.attr("stdout"));
    PyFileBuf err_buf(sys.attr("stderr"));
    std::ostream out(&out_buf);
    std::ostream err(&err_buf);
    const cli::Terminal terminal{is_tty(sys.attr("stdout")), is_tty(sys.attr("stderr"))};
    int code = 0;
    {
        DefaultLogSink log;
        py::gil_scoped_release nogil;
        code = cli::run(args, out, err, terminal, entries, command, operator_help, oracles);
        out.flush();
        err.flush();
    }
    return code;
}

py::object export_node(const fe::FilterNode& node) {
    Exporter out;
    py::list children;
    for (const fe::FilterNode& child : node.children) children.append(export_node(child));
    return records().filter_node(node.function_name, out.dict(node.params), children);
}

py::object parse_tree(const std::string& text) {
    try {
        return export_node(cli::parse_tree_expression(text));
    } catch (const cli::TreeSyntaxError& e) {
        // Python's SyntaxError, with the line and the column in it (a traceback draws the caret).
        std::size_t line = 1, line_start = 0, column = 0;
        for (std::size_t i = 0, cp = 1; i < text.size() && cp < e.column(); ++i) {
            if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
            ++cp;
            if (text[i] == '\n') ++line, line_start = i + 1, column = cp - 1;
        }
        const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
        const py::object error = py::module_::import("builtins").attr("SyntaxError")(
            std::string("tree expression: ") + e.what(),
            py::make_tuple("<tree>", line, e.column() - column, text.substr(line_start, line_end - line_start)));
        PyErr_SetObject(PyExc_SyntaxError, error.ptr());
        throw py::error_already_set();
    }
}

}  // namespace

void init_cli(py::module_& m, py::module_& fe_module) {
    m.def("run", &run, "args"_a, "operators"_a = py::dict(), "command"_a = "", "operator_help"_a = "",
          "references"_a = py::dict(),
          "Runs one filtrations command line (without the program name); `operators` maps names to Python "
          "operators that evaluate judges as well; `command` is the shell command that repeats the run, for "
          "the HTML report; with `operator_help`, evaluate and resolve list --operator (read by the caller); "
          "`references` maps operator names to their oracles. Returns the exit status.");
    fe_module.def("parse_tree", &parse_tree, "text"_a,
                  "The filter tree of an inline expression, in the shape the diagnostics print.\n\n"
                  "Parameters\n----------\ntext : str\n"
                  "    Calls nest as children; a built-in leaf takes its field and parameters by position\n"
                  "    (``gt(is_sharpe, 0.5)``, ``between(x, 1, 2)``) or by keyword\n"
                  "    (``gt(field=is_sharpe, value=0.5)``). Values: numbers, True/False/None, strings bare\n"
                  "    or quoted, lists in brackets, dicts in braces.\n\n"
                  "Returns\n-------\nFilterNode\n\n"
                  "Raises\n------\nSyntaxError\n    Malformed text, with the line and column of the problem.");
}

}  // namespace brindlecap::python
