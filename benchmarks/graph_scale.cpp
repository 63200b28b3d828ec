// Reads, parses and reports generated residual graphs (or graph files) and prints the times and
// the memory in use:
//
//   graph_scale [NODES | GRAPH.json ...]      (default: 100000)
//
// Linear scaling shows as a constant time per node across sizes. The parse runs without and with
// provenance (processor time, the fastest of five runs each), and the guard that finds dropped
// labels is timed on its own; "prov" is what provenance adds. Memory: the heap in use after loading
// (the graph) and what a parse with provenance holds (the pruning state and the recorder), from
// mallinfo2, and the process's peak resident size from /proc/self/status.

#include <malloc.h>
#include <time.h>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "graph_generator.hpp"
#include "zavo/graph/dropped.hpp"
#include "zavo/graph/graph_file.hpp"
#include "zavo/graph/parse.hpp"
#include "zavo/graph/report.hpp"

namespace {

// A field of /proc/self/status in MiB (`VmRSS`, `VmHWM`), or -1 where there is none.
double status_mib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtod(line.c_str() + field.size() + 1, nullptr) / 1024.0;
  }
  return -1;
}

// Heap memory in use, in MiB.
double heap_mib() {
  struct mallinfo2 info = ::mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

template <typename F>
double seconds(F&& step) {
  auto start = std::chrono::steady_clock::now();
  step();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One graph: its file text and what to call it.
struct Input {
  std::string label;
  std::string text;
};

Input input_for(const std::string& arg) {
  char* end = nullptr;
  const auto nodes = std::strtoull(arg.c_str(), &end, 10);
  if (end != arg.c_str() && *end == '\0')
    return {std::to_string(nodes), zavo::benchmarks::residual_graph_text(nodes)};
  std::ifstream file(arg, std::ios::binary);
  return {arg, std::string(std::istreambuf_iterator<char>(file), {})};
}

// Processor time of `step`, in seconds: other processes on the machine count less than in
// elapsed time.
template <typename F>
double cpu_seconds(F&& step) {
  timespec start{}, end{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
  step();
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
  return static_cast<double>(end.tv_sec - start.tv_sec) +
         static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
}

struct ParseCost {
  double seconds = 1e30;  // the fastest run
  double heap_mib = 0;    // what a parse's result holds
};

// Parses `graph` without and with provenance, `runs` times each, alternating so that a busy
// moment of the machine hits both alike. `result` keeps the last parse with provenance.
std::pair<ParseCost, ParseCost> parse_costs(const zavo::tensor_trace::Graph& graph, int runs,
                                            zavo::graph::ParseResult& result) {
  std::pair<ParseCost, ParseCost> costs;
  for (int i = 0; i < runs; ++i) {
    for (bool provenance : {false, true}) {
      ParseCost& cost = provenance ? costs.second : costs.first;
      result = {};
      double base = heap_mib();
      cost.seconds = std::min(cost.seconds, cpu_seconds([&] {
                                result =
                                    zavo::graph::parse_graph(graph, {.provenance = provenance});
                              }));
      cost.heap_mib = heap_mib() - base;
    }
  }
  return costs;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty())
    args.push_back("100000");

  std::printf("%8s %8s %7s %8s %8s %6s %8s %8s %8s %9s %9s %6s\n", "nodes", "file MiB", "load s",
              "parse s", "+prov s", "prov", "guard s", "report s", "us/node", "heap load",
              "heap parse", "prov");
  for (const std::string& arg : args) {
    const Input input = input_for(arg);
    double base = heap_mib();
    zavo::tensor_trace::Graph graph;
    double load = seconds([&] { graph = zavo::graph::read_graph_text(input.text); });
    double after_load = heap_mib() - base;
    zavo::graph::ParseResult result;
    constexpr int kRuns = 5;
    const auto [plain_cost, provenance_cost] = parse_costs(graph, kRuns, result);
    const double plain = plain_cost.seconds, with_provenance = provenance_cost.seconds;
    const double heap_plain = plain_cost.heap_mib, heap_provenance = provenance_cost.heap_mib;
    double guard = cpu_seconds([&] { zavo::graph::find_dropped_labels(graph, result.state); });
    std::string report;
    std::int64_t classes = 0, prunable = 0;
    double write = seconds([&] {
      zavo::graph::Report built = zavo::graph::build_report(graph, result);
      classes = built.summary.channel_classes;
      prunable = built.summary.prunable_classes;
      report = zavo::graph::report_json(built);
    });
    if (result.error) {
      std::fprintf(stderr, "the parse stopped at node %lld: %s\n",
                   static_cast<long long>(result.error->node), result.error->message.c_str());
      return 1;
    }
    double per_node = (load + with_provenance) * 1e6 / static_cast<double>(graph.size());
    std::printf(
        "%8zu %8.1f %7.3f %8.3f %8.3f %5.1f%% %8.3f %8.3f %8.2f %9.1f %9.1f %5.1f%%   %s: %lld "
        "classes, %lld prunable\n",
        graph.size(), static_cast<double>(input.text.size()) / (1024.0 * 1024.0), load, plain,
        with_provenance, 100.0 * (with_provenance - plain) / plain, guard, write, per_node,
        after_load, heap_provenance, 100.0 * (heap_provenance - heap_plain) / heap_plain,
        input.label.c_str(), static_cast<long long>(classes), static_cast<long long>(prunable));
  }
  std::printf("peak resident memory of the process: %.1f MiB\n", status_mib("VmHWM"));
  return 0;
}
