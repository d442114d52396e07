#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cli.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    brindlecap::cli::Terminal terminal;
    const char* term = std::getenv("TERM");
    const bool dumb = term != nullptr && std::string(term) == "dumb";
    const bool no_color = std::getenv("NO_COLOR") != nullptr && *std::getenv("NO_COLOR") != '\0';
    terminal.stdout_is_tty = isatty(STDOUT_FILENO) == 1 && !dumb && !no_color;
    terminal.stderr_is_tty = isatty(STDERR_FILENO) == 1;
    return brindlecap::cli::run(args, std::cout, std::cerr, terminal);
}
