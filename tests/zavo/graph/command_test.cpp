// zavo-prune end to end: the built binary, its output, its exit status and the report file.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "zavo/graph/graph_file.hpp"
#include "zavo/graph/report.hpp"

namespace zavo::graph {
namespace {

using testing::example_path;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

struct CommandRun {
  int status;
  std::string out;
  std::string err;
};

std::string shell_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
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

std::vector<std::string> files_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string library_report(const std::filesystem::path& graph_file, bool lenient = false) {
  tensor_trace::Graph graph = read_graph_file(graph_file);
  ParseResult result = parse_graph(graph, {.lenient = lenient});
  return report_json(build_report(graph, result));
}

TEST(ZavoPrune, AnalyzeWritesTheReportAndASummary) {
  TempDir dir;
  auto report = dir / "report.json";
  CommandRun run = zavo_prune(
      dir, {"analyze", example_path("residual_block.json").string(), "-o", report.string()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.rfind("model: residual_block\nnodes: 21 (1 input, 9 parameters, 11 calls)\n"
                          "parse: complete\nchannel classes: 47 (16 prunable)\n",
                          0),
            0u)
      << run.out;
  EXPECT_NE(run.out.find("\nblock.conv1.weight      (8, 8, 3, 3)  8/8  8/8  0/3  0/3\n"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(run.out.ends_with("\nreport written to " + report.string() + "\n"));
  EXPECT_EQ(read_text(report), library_report(example_path("residual_block.json")));
  EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"report.json"})
      << "no temporary file is left behind";
}

TEST(ZavoPrune, TwoRunsWriteTheSameBytes) {
  TempDir dir;
  for (const char* name : {"first.json", "second.json"}) {
    CommandRun run = zavo_prune(
        dir, {"analyze", example_path("concat_block.json").string(), "-o", (dir / name).string()});
    EXPECT_EQ(run.status, 0) << run.err;
  }
  EXPECT_EQ(read_text(dir / "first.json"), read_text(dir / "second.json"));
}

TEST(ZavoPrune, AHandlerErrorExitsOneAndStillWritesTheReport) {
  TempDir dir;
  auto report = dir / "report.json";
  CommandRun run = zavo_prune(
      dir, {"analyze", example_path("handler_error.json").string(), "-o", report.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("\nerror:\n  node 4 \"relu\" (torch.nn.functional.relu), "
                         "not_implemented:\n    Unimplemented elementwise function call\n"
                         "    Some of the following functions ("),
            std::string::npos)
      << run.out;
  EXPECT_EQ(read_text(report), library_report(example_path("handler_error.json")));

  CommandRun lenient = zavo_prune(dir, {"analyze", example_path("handler_error.json").string(),
                                        "--lenient", "-o", report.string()});
  EXPECT_EQ(lenient.status, 0);
  EXPECT_NE(lenient.out.find("parse: complete, 1 error handed to the default handler (below)\n"),
            std::string::npos)
      << lenient.out;
  EXPECT_EQ(read_text(report), library_report(example_path("handler_error.json"), true));
}

TEST(ZavoPrune, ARejectedFileExitsTwoAndWritesNothing) {
  TempDir dir;
  auto graph = dir / "graph.json";
  write_text(graph, R"({"format": "zavo.graph", "version": 1, "model": "m", "nodes": [
    {"id": 0, "kind": "call", "name": "c", "op": "torch.relu", "args": [{"node": 40}],
     "kwargs": {}, "shape": null}], "outputs": []})");
  auto existing = dir / "existing.json";
  write_text(existing, "previous report");
  auto fresh = dir / "fresh.json";

  for (const auto& output : {existing, fresh}) {
    CommandRun run = zavo_prune(dir, {"analyze", graph.string(), "-o", output.string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "zavo-prune: " + graph.string() + ": nodes[0].args[0]: unknown node 40\n");
  }
  EXPECT_EQ(read_text(existing), "previous report");
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_EQ(files_in(dir.path()), (std::vector<std::string>{"existing.json", "graph.json"}));
}

TEST(ZavoPrune, UnreadableAndMalformedFilesExitTwo) {
  TempDir dir;
  auto binary = dir / "binary.json";
  write_text(binary, std::string("{\"model\": \"\xFF\"}"));
  struct Case {
    std::filesystem::path file;
    std::string message;
  };
  for (const Case& c : {Case{dir / "missing.json", "cannot read: No such file or directory"},
                        Case{dir.path(), "cannot read: it is a directory"},
                        Case{binary, "line 1, column 12: not UTF-8 (byte 0xFF)"}}) {
    CommandRun run = zavo_prune(dir, {"analyze", c.file.string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "zavo-prune: " + c.file.string() + ": " + c.message + "\n");
  }
}

TEST(ZavoPrune, UsageErrorsExitTwo) {
  TempDir dir;
  std::string graph = example_path("residual_block.json").string();
  for (const auto& args :
       std::vector<std::vector<std::string>>{{},
                                             {"analyze"},
                                             {"prune", graph},
                                             {"analyze", graph, "--unknown"},
                                             {"analyze", graph, "--log-level", "verbose"},
                                             {"analyze", graph, "-o"}}) {
    CommandRun run = zavo_prune(dir, args);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(run.err, "") << ::testing::PrintToString(args);
  }
  CommandRun help = zavo_prune(dir, {"analyze", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--lenient"), std::string::npos);
}

TEST(ZavoPrune, AReportThatCannotBeWrittenExitsTwo) {
  TempDir dir;
  auto output = dir / "no-such-directory" / "report.json";
  CommandRun run = zavo_prune(
      dir, {"analyze", example_path("residual_block.json").string(), "-o", output.string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "zavo-prune: cannot create a file in " + output.parent_path().string() +
                         ": No such file or directory\n");
  EXPECT_EQ(run.out, "");
}

TEST(ZavoPrune, DebugLogLevelShowsTheHandlersLines) {
  TempDir dir;
  std::string graph = example_path("residual_block.json").string();
  CommandRun debug = zavo_prune(dir, {"analyze", graph, "--log-level", "debug"});
  EXPECT_EQ(debug.status, 0);
  EXPECT_EQ(debug.err,
            "DEBUG:zavo.pruning.engine.node_handlers:input_1: block.conv2, input_2: stem.relu\n"
            "DEBUG:zavo.pruning.engine.node_handlers:shape_1: (1, 8, 16, 16), shape_2: "
            "(1, 8, 16, 16)\n");
  CommandRun quiet = zavo_prune(dir, {"analyze", graph, "--log-level", "info"});
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.out, debug.out);
}

}  // namespace
}  // namespace zavo::graph
