// Reads, parses and reports graphs in one process and prints the processor time of each phase,
// the file's and the report's size and the memory in use: where the whole command's time goes.
//
//   graph_scale [SHAPE] [POSITIONS...]      generated graphs (default: residual 1e6)
//   graph_scale [--no-overlap] FILE...      graph files, read in chunks as the command does
//
// SHAPE is a series shape of graph_generator.hpp; POSITIONS the label positions to aim for.
// Linear scaling shows as a constant time per position across sizes. Phases: load (text to
// graph), parse, report (the classes and counts), summary (the printed text), json (the -o
// report in memory); for a file, first the load and the parse overlapped as the command runs
// them (wall time: the point is the second core), before the phases one by one. Memory: the heap in
// use after loading (the graph) and after parsing (the graph and the pruning state), from
// mallinfo2, and the process's peak resident size from /proc/self/status.

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "graph_generator.hpp"
#include "process_memory.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/parse/parse.hpp"
#include "zavo/report/report.hpp"
#include "zavo/report/summary.hpp"

namespace {

using zavo::benchmarks::status_mib;

// Heap memory in use, in MiB.
double heap_mib() {
  return zavo::benchmarks::heap_bytes() / (1024.0 * 1024.0);
}

// Seconds of `step` on `clock`: processor time by default (steadier than wall time on a
// shared machine).
template <typename F>
double seconds(F&& step, clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
  auto now = [clock] {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  };
  const double start = now();
  step();
  return now() - start;
}

// The file read while its nodes are parsed, as the command does it: wall and processor seconds
// (both threads), and the process's peak resident memory by then.
void overlapped(const std::string& file) {
  zavo::tensor_trace::Graph graph;
  zavo::graph::ParseResult result;
  double processor = 0;
  const double wall = seconds(
      [&] {
        processor = seconds([&] {
          zavo::graph::GraphFileReading reading(file);
          result = zavo::graph::parse_graph(reading);
          graph = reading.take();
        });
      },
      CLOCK_MONOTONIC);
  std::printf("%9s load and parse overlapped: %.3f s wall, %.3f s processor, %.1f MiB peak\n", "",
              wall, processor, status_mib("VmHWM"));
}

// The label positions of every node's recorded labels.
std::uint64_t positions_of(const zavo::tensor_trace::Graph& graph,
                           const zavo::graph::ParseResult& result) {
  std::uint64_t positions = 0;
  for (const auto& node : graph.nodes()) {
    if (!zavo::pruning::engine::utils::has_recorded_labels(result.state, *node))
      continue;
    for (const auto& labels : zavo::pruning::engine::utils::get_prune_labels(result.state, *node))
      positions += labels ? labels->size() : 0;
  }
  return positions;
}

}  // namespace

int main(int argc, char** argv) {
  std::string shape = "residual";
  bool overlap = true;
  std::vector<std::variant<std::uint64_t, std::string>> inputs;  // sizes or files
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--no-overlap") {
      overlap = false;
      continue;
    }
    char* end = nullptr;
    double value = std::strtod(argv[i], &end);
    if (*end == '\0' && value >= 1)
      inputs.emplace_back(static_cast<std::uint64_t>(value));
    else if (std::filesystem::is_regular_file(argv[i]))
      inputs.emplace_back(std::string(argv[i]));
    else
      shape = argv[i];
  }
  if (inputs.empty())
    inputs.emplace_back(std::uint64_t{1'000'000});

  std::printf("%9s %11s %9s %8s %8s %8s %8s %8s %8s %8s %9s %9s\n", "nodes", "positions",
              "file MiB", "load s", "parse s", "report s", "summary", "json s", "ns/node", "ns/pos",
              "heap load", "heap parse");
  for (const auto& input : inputs) {
    double base = heap_mib();
    zavo::tensor_trace::Graph graph;
    double load = 0;
    std::uintmax_t file_bytes = 0;
    if (const auto* file = std::get_if<std::string>(&input)) {
      if (overlap)
        overlapped(*file);
      file_bytes = std::filesystem::file_size(*file);
      load = seconds([&] { graph = zavo::graph::read_graph_file(*file); });
    } else {
      auto config = zavo::benchmarks::series_config(shape, std::get<std::uint64_t>(input));
      if (!config) {
        std::fprintf(stderr, "unknown shape %s\n", shape.c_str());
        return 2;
      }
      std::string text = zavo::benchmarks::graph_text(*config);
      file_bytes = text.size();
      load = seconds([&] { graph = zavo::graph::read_graph_text(text); });
    }
    double after_load = heap_mib();
    zavo::graph::ParseResult result;
    double parse = seconds([&] { result = zavo::graph::parse_graph(graph); });
    double after_parse = heap_mib();
    std::optional<zavo::graph::Report> report;
    double build = seconds([&] { report.emplace(zavo::graph::build_report(graph, result)); });
    std::size_t summary_bytes = 0;
    double summary = seconds([&] { summary_bytes = zavo::graph::summary_text(*report).size(); });
    std::size_t json_bytes = 0;
    double json = seconds([&] { json_bytes = zavo::graph::report_json(*report).size(); });
    if (result.error) {
      std::fprintf(stderr, "the parse stopped at node %lld: %s\n",
                   static_cast<long long>(result.error->node), result.error->message.c_str());
    }
    const std::uint64_t positions = positions_of(graph, result);
    const double command = load + parse + build + summary;  // `analyze` without -o
    std::printf(
        "%9zu %11llu %9.1f %8.3f %8.3f %8.3f %8.3f %8.3f %8.1f %8.1f %9.1f %9.1f   %lld classes, "
        "%lld prunable; summary %zu B, report %.1f MiB\n",
        graph.size(), static_cast<unsigned long long>(positions),
        static_cast<double>(file_bytes) / (1024.0 * 1024.0), load, parse, build, summary, json,
        command * 1e9 / static_cast<double>(graph.size()),
        command * 1e9 / static_cast<double>(positions), after_load - base, after_parse - base,
        static_cast<long long>(report->summary.channel_classes),
        static_cast<long long>(report->summary.prunable_classes), summary_bytes,
        static_cast<double>(json_bytes) / (1024.0 * 1024.0));
  }
  std::printf("peak resident memory of the process: %.1f MiB\n", status_mib("VmHWM"));
  return 0;
}
