#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "zavo/graph_file/graph_file.hpp"
#include "zavo/report/report.hpp"
#include "zavo/report/summary.hpp"

namespace zavo::graph::testing {

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::path(::testing::TempDir()) / "zavo-graph-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!::mkdtemp(name.data()))
    throw std::runtime_error("cannot create a temporary directory");
  path_ = name.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path example_path(std::string_view name) {
  return std::filesystem::path(ZAVO_EXAMPLES_DIR) / name;
}

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_text(const std::filesystem::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::vector<std::string> files_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

namespace {
// Every parse of the tests' graphs checks the state after each node.
std::string report_of_graph(const tensor_trace::Graph& graph, ParseOptions options,
                            ReportVersion version = ReportVersion::V1) {
  options.check_invariants = true;
  ParseResult result = parse_graph(graph, options);
  return report_json(build_report(graph, result), version);
}
}  // namespace

std::string report_text(const std::filesystem::path& path, ParseOptions options,
                        ReportVersion version) {
  return report_of_graph(read_graph_file(path), options, version);
}

std::string summary_of_file(const std::filesystem::path& path, ParseOptions options) {
  tensor_trace::Graph graph = read_graph_file(path);
  options.check_invariants = true;
  ParseResult result = parse_graph(graph, options);
  return summary_text(build_report(graph, result));
}

Json report_of_file(const std::filesystem::path& path, ParseOptions options) {
  return Json::parse(report_text(path, options));
}

Json report_of_text(std::string_view text, ParseOptions options) {
  return Json::parse(report_of_graph(read_graph_text(text), options));
}

Classes::Classes(const Json& report) : report_(report) {
  const Json& groups = report_["groups"];
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (const Json& channel : groups[g]["channels"]) {
      Slice slice{channel["node"].get<std::string>(), channel["dim"].get<std::int64_t>(),
                  channel["index"].get<std::int64_t>()};
      group_of_slice_.emplace(slice, g);
    }
  }
}

const Json& Classes::of(const Slice& slice) const {
  auto it = group_of_slice_.find(slice);
  if (it == group_of_slice_.end()) {
    ADD_FAILURE() << "no class holds " << std::get<0>(slice) << " dim " << std::get<1>(slice)
                  << " index " << std::get<2>(slice);
    static const Json missing = {{"prunable", false}};
    return missing;
  }
  return report_["groups"][it->second];
}

}  // namespace zavo::graph::testing
