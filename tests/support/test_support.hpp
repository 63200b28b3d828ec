#pragma once
// Shared helpers of the graph tests: temporary directories, files, and the report of a graph
// file read back as JSON.

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "zavo/parse/parse.hpp"
#include "zavo/report/report.hpp"

namespace zavo::graph::testing {

using Json = nlohmann::ordered_json;

// A directory of its own under the test's temporary directory, removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::filesystem::path example_path(std::string_view name);
std::string read_text(const std::filesystem::path& path);
void write_text(const std::filesystem::path& path, std::string_view text);
// The names in `dir`, sorted.
std::vector<std::string> files_in(const std::filesystem::path& dir);

// The report text of the graph file at `path`, as the command writes it; by default with
// `--report-version 1` (every class with every slice, which is what the tests look into).
std::string report_text(const std::filesystem::path& path, ParseOptions options = {},
                        ReportVersion version = ReportVersion::V1);

// The summary of the graph file at `path`, as the command prints it.
std::string summary_of_file(const std::filesystem::path& path, ParseOptions options = {});

// The report of the graph file at `path`, version 1, read back as JSON.
Json report_of_file(const std::filesystem::path& path, ParseOptions options = {});
// The same for the graph given as text.
Json report_of_text(std::string_view text, ParseOptions options = {});

// One parameter slice: (parameter name, dimension, index).
using Slice = std::tuple<std::string, std::int64_t, std::int64_t>;

// The channel classes of a report, looked up by any of their slices.
class Classes {
 public:
  explicit Classes(const Json& report);
  // The group that holds `slice`; fails the test when none does.
  const Json& of(const Slice& slice) const;
  bool prunable(const Slice& slice) const { return of(slice)["prunable"].get<bool>(); }

 private:
  const Json& report_;
  std::map<Slice, std::size_t> group_of_slice_;
};

}  // namespace zavo::graph::testing
