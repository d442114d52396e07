// evaluate --reproducers and --html: the files appear, and the command's own output is the same
// as without them.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/runtime/json.hpp"
#include "cli.hpp"

namespace brindlecap::cli {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int code = -1;
    std::string out, err;
};

Outcome run_cli(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = run(args, out, err);
    return {code, out.str(), err.str()};
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(CliReport, EvaluateWritesTheFilesAndPrintsWhatItPrintedBefore) {
    const fs::path dir = fs::path(::testing::TempDir()) / "cli_report";
    fs::remove_all(dir);
    for (const std::vector<std::string>& plain : {std::vector<std::string>{"evaluate", "--skip", "8"},
                                                  std::vector<std::string>{"evaluate", "--skip", "8", "--json"}}) {
        std::vector<std::string> with_files = plain;
        for (const char* a : {"--reproducers", "", "--html", ""}) with_files.emplace_back(a);
        with_files[with_files.size() - 3] = (dir / "repro").string();
        with_files[with_files.size() - 1] = (dir / "page" / "report.html").string();

        const Outcome before = run_cli(plain);
        const Outcome after = run_cli(with_files);
        EXPECT_EQ(after.code, before.code);
        EXPECT_EQ(after.out, before.out);
        EXPECT_NE(after.err.find("0 reproducers written under " + (dir / "repro").string()), std::string::npos);
        EXPECT_NE(after.err.find("report written to"), std::string::npos);
    }
    const runtime::Value index = runtime::read_json_file((dir / "repro" / "index.json").string());
    EXPECT_TRUE(index.as_dict().at("reproducers").as_list().empty());
    const std::string page = read_text(dir / "page" / "report.html");
    EXPECT_EQ(count(page, "<tr class=\"accepted\">"), 16u);
    EXPECT_NE(page.find("16 of 16 operators accepted"), std::string::npos);
    EXPECT_NE(page.find("filtrations evaluate --skip 8 --json --reproducers"), std::string::npos);  // to repeat it
}

TEST(CliReport, AReportThatCannotBeWrittenIsBadInput) {
    const fs::path dir = fs::path(::testing::TempDir()) / "cli_report_unwritable";
    fs::create_directories(dir);
    const Outcome o = run_cli({"evaluate", "--operators", "gt", "--skip", "8", "--html", dir.string()});
    EXPECT_EQ(o.code, EXIT_BAD_INPUT);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("writing the report '" + dir.string() + "': RuntimeError: cannot write"), std::string::npos)
        << o.err;
}

TEST(CliReport, AReplayCommandNeedsBothFiles) {
    const Outcome o = run_cli({"evaluate", "--replay-command", "my_tool resolve --tree {tree}"});
    EXPECT_EQ(o.code, EXIT_BAD_INPUT);
    EXPECT_NE(o.err.find("must contain {pool} and {tree}"), std::string::npos) << o.err;
}

}  // namespace
}  // namespace brindlecap::cli
