// zavo-prune end to end: the built binary, its output, its exit status and the report file.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define ZAVO_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZAVO_ADDRESS_SANITIZER 1
#endif
#endif

namespace zavo::graph {
namespace {

using testing::example_path;
using testing::files_in;
using testing::read_text;
using testing::report_text;
using testing::summary_of_file;
using testing::TempDir;
using testing::write_text;

struct CommandRun {
  int status;
  std::string out;
  std::string err;
};

// The paths in these tests hold no single quote.
std::string shell_quoted(const std::string& text) {
  return "'" + text + "'";
}

// Runs zavo-prune with `args`, its output collected in files of `dir`.
CommandRun zavo_prune(const TempDir& dir, const std::vector<std::string>& args) {
  std::string command = shell_quoted(ZAVO_PRUNE_BINARY);
  for (const auto& arg : args)
    command += " " + shell_quoted(arg);
  auto out = dir / "stdout.txt";
  auto err = dir / "stderr.txt";
  command += " >" + shell_quoted(out.string()) + " 2>" + shell_quoted(err.string());
  int status = std::system(command.c_str());
  CommandRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_text(out), read_text(err)};
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return run;
}

const std::string kResidual = example_path("residual_block.json").string();
const std::string kHandlerError = example_path("handler_error.json").string();

const ParseOptions kExtended{.rules = RuleSet::Extended};

TEST(ZavoPrune, AnalyzeWritesTheReportAndASummaryAndDebugLinesOnRequest) {
  TempDir dir;
  auto report = (dir / "report.json").string();
  CommandRun run = zavo_prune(dir, {"analyze", kResidual, "-o", report});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            summary_of_file(kResidual, kExtended) + "\nreport written to " + report + "\n");
  EXPECT_EQ(read_text(report), report_text(kResidual, kExtended, ReportVersion::V2));
  EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"report.json"})
      << "no temporary file is left behind";
  CommandRun first = zavo_prune(dir, {"analyze", kResidual, "-o", report, "--report-version", "1"});
  EXPECT_EQ(first.out, run.out);
  EXPECT_EQ(read_text(report), report_text(kResidual, kExtended));
  // The catalogue's rules on request, and a misspelt rule set refused.
  CommandRun core = zavo_prune(dir, {"analyze", kResidual, "--rules", "core", "-o", report});
  EXPECT_EQ(core.out, summary_of_file(kResidual) + "\nreport written to " + report + "\n");
  EXPECT_EQ(read_text(report), report_text(kResidual, {}, ReportVersion::V2));
  CommandRun core_1 = zavo_prune(
      dir, {"analyze", kResidual, "--rules", "core", "-o", report, "--report-version", "1"});
  EXPECT_EQ(core_1.status, 0);
  EXPECT_EQ(read_text(report), report_text(kResidual));
  CommandRun bad = zavo_prune(dir, {"analyze", kResidual, "--rules", "extendd"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--rules: extendd not in {core,extended}"), std::string::npos) << bad.err;

  CommandRun debug = zavo_prune(dir, {"analyze", kResidual, "--log-level", "debug"});
  EXPECT_EQ(debug.status, 0);
  EXPECT_EQ(debug.err,
            "DEBUG:zavo.pruning.engine.node_handlers:input_1: block.conv2, input_2: stem.relu\n"
            "DEBUG:zavo.pruning.engine.node_handlers:shape_1: (1, 8, 16, 16), shape_2: "
            "(1, 8, 16, 16)\n");
  EXPECT_EQ(debug.out, run.out.substr(0, run.out.rfind("\nreport written")));
}

TEST(ZavoPrune, AHandlerErrorExitsOneAndStillWritesTheReport) {
  TempDir dir;
  auto report = (dir / "report.json").string();
  CommandRun run = zavo_prune(dir, {"analyze", kHandlerError, "-o", report});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            summary_of_file(kHandlerError, kExtended) + "\nreport written to " + report + "\n");
  EXPECT_EQ(read_text(report), report_text(kHandlerError, kExtended, ReportVersion::V2));

  const ParseOptions lenient_options{.rules = RuleSet::Extended, .lenient = true};
  CommandRun lenient = zavo_prune(dir, {"analyze", kHandlerError, "--lenient", "-o", report});
  EXPECT_EQ(lenient.status, 0);
  EXPECT_EQ(lenient.out, summary_of_file(kHandlerError, lenient_options) + "\nreport written to " +
                             report + "\n");
  EXPECT_EQ(read_text(report), report_text(kHandlerError, lenient_options, ReportVersion::V2));
}

TEST(ZavoPrune, ExplainTellsWhyChannelsAreKept) {
  TempDir dir;
  CommandRun run = zavo_prune(dir, {"explain", kResidual, "fc.weight"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "fc.weight dim 0: 10 channels kept: they are a model output (node fc)\n"
            "fc.weight dim 1: 8 channels prunable\n");
  CommandRun stopped = zavo_prune(dir, {"explain", kHandlerError, "conv.weight", "--dim", "0"});
  EXPECT_EQ(stopped.status, 1);
  EXPECT_EQ(stopped.out,
            "conv.weight dim 0: 4 channels prunable\n"
            "the parse stopped at node 4 (relu) on an error; `analyze` shows it\n");
  for (const auto& [args, err] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{kResidual, "fc"}, kResidual + ": no parameter named fc"},
           {{kResidual, "fc.weight", "--dim", "2"}, "fc.weight (10, 8) has no dimension 2"},
           {{kResidual, "fc.weight", "--dim", "1", "--index", "8"},
            "dimension 1 of fc.weight (10, 8) has no index 8"},
       }) {
    std::vector<std::string> all{"explain"};
    all.insert(all.end(), args.begin(), args.end());
    CommandRun failed = zavo_prune(dir, all);
    EXPECT_EQ(failed.status, 2);
    EXPECT_EQ(failed.err, "zavo-prune: " + err + "\n");
  }
}

TEST(ZavoPrune, FailuresExitTwoAndWriteNothing) {
  TempDir dir;
  auto graph = (dir / "graph.json").string();
  write_text(graph, R"({"format": "zavo.graph", "version": 1, "model": "m", "nodes": [
    {"id": 0, "kind": "call", "name": "c", "op": "torch.relu", "args": [{"node": 40}],
     "kwargs": {}, "shape": null}], "outputs": []})");
  auto binary = (dir / "binary.json").string();
  write_text(binary, "{\"model\": \"\xFF\"}");
  auto existing = (dir / "existing.json").string();
  write_text(existing, "previous report");
  auto missing = (dir / "missing.json").string();
  auto no_dir = (dir / "no-such-directory").string();
  // The graph under other names: a copy must never be replaced by the report.
  auto copy = (dir / "copy.json").string();
  write_text(copy, read_text(kResidual));
  std::filesystem::create_symlink("copy.json", dir / "link.json");
  std::filesystem::create_hard_link(copy, dir / "hard.json");
  auto sub = (dir / "sub").string();
  std::filesystem::create_directory(sub);
  // Four fresh labels for x, then eight positions for the joined list: past a budget of six.
  auto doubling = (dir / "doubling.json").string();
  write_text(doubling, R"({"format": "zavo.graph", "version": 1, "model": "m", "nodes": [
    {"id": 0, "kind": "input", "name": "x", "shape": [1, 4]},
    {"id": 1, "kind": "call", "name": "c", "op": "torch.cat", "args": [[{"node": 0}, {"node": 0}], 1],
     "kwargs": {}, "shape": [1, 8]}], "outputs": [1]})");
  auto budget = [](const std::string& file, const std::string& node, int positions) {
    return file + ": node " + node + ": the parse would need more than " +
           std::to_string(positions) +
           " label positions, its budget (--max-label-positions sets the budget)";
  };
  const std::string prefix = "zavo-prune: ";
  auto same_file = [&](const std::string& output) {
    return "cannot write the report to " + output + ": it is the graph file " + copy +
           " itself; name another file";
  };
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  for (const Case& c : {
           Case{{graph, "-o", existing}, graph + ": nodes[0].args[0]: unknown node 40"},
           Case{{graph, "-o", missing}, graph + ": nodes[0].args[0]: unknown node 40"},
           Case{{missing}, missing + ": cannot read: No such file or directory"},
           Case{{dir.path().string()}, dir.path().string() + ": cannot read: it is a directory"},
           Case{{binary}, binary + ": line 1, column 12: not UTF-8 (byte 0xFF)"},
           Case{{copy, "-o", copy}, same_file(copy)},
           Case{{copy, "-o", sub + "/../copy.json"}, same_file(sub + "/../copy.json")},
           Case{{copy, "-o", (dir / "link.json").string()},
                same_file((dir / "link.json").string())},
           Case{{copy, "-o", (dir / "hard.json").string()},
                same_file((dir / "hard.json").string())},
           Case{{kResidual, "-o", sub},
                "cannot write " + sub + ": it is a directory; name a file in it, such as " + sub +
                    "/report.json"},
           Case{{kResidual, "-o", sub + "/"},
                "cannot write " + sub + "/: it is a directory; name a file in it, such as " + sub +
                    "/report.json"},
           Case{{kResidual, "-o", no_dir + "/"},
                "cannot write " + no_dir + "/: the directory " + no_dir + " does not exist"},
           Case{{kResidual, "-o", no_dir + "/r.json"},
                "cannot write " + no_dir + "/r.json: the directory " + no_dir + " does not exist"},
           Case{{kResidual, "-o", copy + "/r.json"},
                "cannot write " + copy + "/r.json: " + copy + " is not a directory"},
           Case{{kResidual, "-o", ""}, "cannot write to an empty path: name a file"},
           Case{{kResidual, "--max-label-positions", "20", "-o", missing},
                budget(kResidual, "block.conv1.weight", 20)},
           Case{{doubling, "--lenient", "--max-label-positions", "6", "-o", missing},
                budget(doubling, "c", 6)},
       }) {
    std::vector<std::string> args{"analyze"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(::testing::PrintToString(args));
    CommandRun run = zavo_prune(dir, args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, prefix + c.err + "\n");
  }
  EXPECT_EQ(read_text(existing), "previous report");
  EXPECT_EQ(read_text(copy), read_text(kResidual));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.json"));
  EXPECT_EQ(files_in(dir.path()),
            (std::vector<std::string>{"binary.json", "copy.json", "doubling.json", "existing.json",
                                      "graph.json", "hard.json", "link.json", "sub"}));
  EXPECT_EQ(files_in(sub), std::vector<std::string>{});
}

// The default budget follows what the process may really use: under an address-space limit a
// parameter too wide for it is refused before its labels are made, not after running out of
// memory.
TEST(ZavoPrune, TheDefaultBudgetFollowsTheAddressSpaceLimit) {
#ifdef ZAVO_ADDRESS_SANITIZER
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
  TempDir dir;
  auto graph = (dir / "wide.json").string();
  write_text(graph, R"({"format": "zavo.graph", "version": 1, "model": "m", "nodes": [
    {"id": 0, "kind": "parameter", "name": "p", "shape": [67108864]}], "outputs": [0]})");
  // 4,000,000 KiB: half of it holds 42,666,666 positions at 48 bytes each.
  const std::string command = "ulimit -v 4000000 && exec " + shell_quoted(ZAVO_PRUNE_BINARY) +
                              " analyze " + shell_quoted(graph) + " 2>" +
                              shell_quoted((dir / "err.txt").string());
  const int status = std::system(command.c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 2);
  EXPECT_EQ(read_text(dir / "err.txt"),
            "zavo-prune: " + graph +
                ": node p: the parse would need more than 42666666 label positions, its budget "
                "(--max-label-positions sets the budget)\n");
}

TEST(ZavoPrune, UsageErrorsExitTwo) {
  TempDir dir;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {"analyze"},
           {"prune", kResidual},
           {"analyze", kResidual, "--unknown"},
           {"analyze", kResidual, "--log-level", "verbose"},
           {"analyze", kResidual, "-o"},
           {"analyze", kResidual, "--report-version", "1"},
           {"analyze", kResidual, "-o", "r.json", "--report-version", "3"},
           {"explain", kResidual},
           {"explain", kResidual, "fc.weight", "--index", "1"}}) {
    CommandRun run = zavo_prune(dir, args);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(run.err, "") << ::testing::PrintToString(args);
  }
  CommandRun help = zavo_prune(dir, {"analyze", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--lenient"), std::string::npos);
  // The native verbs; the package's tests hold the lines of its verbs against this help.
  CommandRun all = zavo_prune(dir, {"--help"});
  EXPECT_EQ(all.status, 0);
  for (const char* verb : {"analyze", "view", "explain"})
    EXPECT_NE(all.out.find(std::string("\n  ") + verb + " "), std::string::npos) << verb;
}

}  // namespace
}  // namespace zavo::graph
