// Whole-report goldens: every shipped example, every zoo model and every graph of
// tests/golden/graphs/ is parsed under each rule set, and the exact bytes of its report in both
// versions and of its summary are compared, through checksums, with tests/golden/reports.txt. A
// parse that stops on an error is also run leniently. With ZAVO_UPDATE_GOLDENS=1 the test
// rewrites the manifest from the current code instead of comparing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/parse/parse.hpp"
#include "zavo/report/report.hpp"
#include "zavo/report/summary.hpp"

namespace zavo::graph {
namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = ZAVO_SOURCE_DIR;
const fs::path kManifest = kSourceDir / "tests/golden/reports.txt";

// 64-bit FNV-1a.
std::string checksum(const std::string& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3u;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// One manifest line: the case (graph path and mode) and what its run gave.
struct Outcome {
  std::string exit;    // "exit=0" when every node was handled, "exit=1" when the parse stopped
  std::string report;  // version 1
  std::string summary;
  std::string report_2;
};
using Manifest = std::map<std::string, Outcome>;  // "PATH MODE" -> outcome

// The graph files of the goldens, relative to the source directory, sorted.
std::vector<std::string> golden_graphs() {
  std::vector<std::string> paths;
  for (const char* dir : {"examples", "models", "tests/golden/graphs"}) {
    for (const auto& entry : fs::directory_iterator(kSourceDir / dir)) {
      const fs::path& path = entry.path();
      // summaries.json holds the zoo's expected counts, not a graph.
      if (path.extension() == ".json" && path.filename() != "summaries.json")
        paths.push_back(fs::relative(path, kSourceDir).generic_string());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// The manifest as the current code computes it.
Manifest current_manifest() {
  Manifest manifest;
  // Every parse takes over the tables of the one before: a reused state must report exactly what
  // a fresh one does, whatever graph, rules and outcome came before.
  ParseResult kept;
  for (const std::string& path : golden_graphs()) {
    tensor_trace::Graph graph = read_graph_file(kSourceDir / path);
    // The catalogue's rules keep their names of modes; the extended rules prefix theirs.
    for (RuleSet rules : {RuleSet::Core, RuleSet::Extended}) {
      const std::string prefix = rules == RuleSet::Core ? " " : " extended-";
      for (bool lenient : {false, true}) {
        // The state's self-check runs after every node, except on the large zoo graphs, where it
        // would cost a check per node: those are checked once, at the end.
        const bool zoo = path.starts_with("models/");
        ParseResult result = parse_graph(
            graph, {.rules = rules, .lenient = lenient, .check_invariants = !zoo, .reuse = &kept});
        if (zoo)
          result.state.check_invariants();
        Report report = build_report(graph, result);
        manifest[path + prefix + (lenient ? "lenient" : "strict")] = {
            result.error ? "exit=1" : "exit=0", checksum(report_json(report, ReportVersion::V1)),
            checksum(summary_text(report)), checksum(report_json(report, ReportVersion::V2))};
        kept = std::move(result);
        if (!result.error && !lenient)
          break;  // a lenient run of a complete parse repeats it
      }
    }
  }
  return manifest;
}

Manifest read_manifest() {
  Manifest manifest;
  std::ifstream in(kManifest);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.starts_with("#"))
      continue;
    std::istringstream fields(line);
    std::string path, mode;
    Outcome outcome;
    fields >> path >> mode >> outcome.exit >> outcome.report >> outcome.summary >> outcome.report_2;
    manifest[path + " " + mode] = outcome;
  }
  return manifest;
}

void write_manifest(const Manifest& manifest) {
  std::ofstream out(kManifest, std::ios::binary);
  out << "# Whole-report goldens, checked by tests/zavo/report/golden_test.cpp: graph, mode, exit\n"
         "# status of zavo-prune analyze, FNV-1a 64 of the report JSON of version 1, of the "
         "summary\n"
         "# text and of the report JSON of version 2.\n"
         "# Rewrite from the current code with ZAVO_UPDATE_GOLDENS=1 set for that test, e.g.\n"
         "#   ZAVO_UPDATE_GOLDENS=1 build/tests/zavo_graph_tests "
         "--gtest_filter='Goldens.*'\n";
  for (const auto& [key, outcome] : manifest)
    out << key << " " << outcome.exit << " " << outcome.report << " " << outcome.summary << " "
        << outcome.report_2 << "\n";
}

TEST(Goldens, EveryReportAndSummaryIsByteForByteAsRecorded) {
  const Manifest current = current_manifest();
  const char* update = std::getenv("ZAVO_UPDATE_GOLDENS");
  if (update && std::string(update) == "1") {
    write_manifest(current);
    GTEST_SKIP() << "rewrote " << kManifest << " with " << current.size() << " cases";
  }
  const Manifest recorded = read_manifest();
  ASSERT_FALSE(recorded.empty()) << kManifest << " is missing or empty";
  for (const auto& [key, expected] : recorded) {
    auto it = current.find(key);
    if (it == current.end()) {
      ADD_FAILURE() << key << ": no longer run (file gone, or the strict parse now completes)";
      continue;
    }
    const Outcome& got = it->second;
    EXPECT_EQ(got.exit, expected.exit) << key << ": the parse's outcome differs";
    EXPECT_EQ(got.report, expected.report) << key << ": the report JSON of version 1 differs";
    EXPECT_EQ(got.summary, expected.summary) << key << ": the summary text differs";
    EXPECT_EQ(got.report_2, expected.report_2) << key << ": the report JSON of version 2 differs";
  }
  for (const auto& [key, outcome] : current) {
    EXPECT_TRUE(recorded.contains(key))
        << key << ": not in the manifest (new graph file, or the strict parse now stops)";
  }
}

// The concatenation of an unlabelled input makes fresh labels that parameters declared before
// and after it then join; the surviving label of each merge fixes the order of the groups.
TEST(Goldens, GroupsOfAConcatenationWithFreshLabelsKeepTheirOrder) {
  testing::Json report =
      testing::report_of_file(kSourceDir / "tests/golden/graphs/concat_fresh_labels.json");
  std::string order;
  for (const auto& group : report["groups"]) {
    const auto& first = group["channels"][0];
    order += std::to_string(group["label"].get<int>()) + ":" + first["node"].get<std::string>() +
             "/" + std::to_string(first["dim"].get<int>()) + "/" +
             std::to_string(first["index"].get<int>()) + " ";
  }
  // early_scale is declared first, so its labels survive the merges with the concatenation's
  // fresh labels; fuse.weight is declared after cat2, whose fresh labels (62 to 64) survive.
  EXPECT_EQ(order,
            "0:early_scale/1/0 1:early_scale/1/1 2:early_scale/1/2 3:early_scale/1/3 "
            "4:early_scale/1/4 5:early_scale/1/5 6:early_scale/1/6 11:conv.weight/1/0 "
            "12:conv.weight/1/1 13:conv.weight/1/2 14:conv.weight/2/0 15:conv.weight/2/1 "
            "16:conv.weight/2/2 17:conv.weight/3/0 18:conv.weight/3/1 19:conv.weight/3/2 "
            "62:fuse.weight/1/4 63:fuse.weight/1/5 64:fuse.weight/1/6 65:fuse.weight/0/0 "
            "66:fuse.weight/0/1 67:fuse.weight/0/2 68:fuse.weight/0/3 69:fuse.weight/0/4 ");
}

}  // namespace
}  // namespace zavo::graph
