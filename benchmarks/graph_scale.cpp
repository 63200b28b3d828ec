// Reads, parses and reports generated graphs in one process, once per requested size, and
// prints the processor time of each phase, the report's size and the memory in use: where the
// whole command's time goes.
//
//   graph_scale [SHAPE] [POSITIONS...]      (default: residual 1e6)
//
// SHAPE is a series shape of graph_generator.hpp; POSITIONS the label positions to aim for.
// Linear scaling shows as a constant time per position across sizes. Memory: the heap in use
// after loading (the graph) and after parsing (the graph and the pruning state), from
// mallinfo2, and the process's peak resident size from /proc/self/status.

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "graph_generator.hpp"
#include "process_memory.hpp"
#include "zavo/graph/graph_file.hpp"
#include "zavo/graph/parse.hpp"
#include "zavo/graph/report.hpp"

namespace {

using zavo::benchmarks::status_mib;

// Heap memory in use, in MiB.
double heap_mib() {
  return zavo::benchmarks::heap_bytes() / (1024.0 * 1024.0);
}

// Processor seconds of `step` (steadier than wall time on a shared machine).
template <typename F>
double seconds(F&& step) {
  auto now = [] {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  };
  const double start = now();
  step();
  return now() - start;
}

}  // namespace

int main(int argc, char** argv) {
  std::string shape = "residual";
  std::vector<std::uint64_t> sizes;
  for (int i = 1; i < argc; ++i) {
    char* end = nullptr;
    double value = std::strtod(argv[i], &end);
    if (*end == '\0' && value >= 1)
      sizes.push_back(static_cast<std::uint64_t>(value));
    else
      shape = argv[i];
  }
  if (sizes.empty())
    sizes.push_back(1'000'000);

  std::printf("%9s %11s %9s %8s %8s %8s %10s %9s %9s %9s\n", "nodes", "positions", "file MiB",
              "load s", "parse s", "report s", "report MiB", "ns/pos", "heap load", "heap parse");
  for (std::uint64_t requested : sizes) {
    auto config = zavo::benchmarks::series_config(shape, requested);
    if (!config) {
      std::fprintf(stderr, "unknown shape %s\n", shape.c_str());
      return 2;
    }
    std::uint64_t positions = zavo::benchmarks::label_positions(*config);
    std::string text = zavo::benchmarks::graph_text(*config);
    double base = heap_mib();
    zavo::tensor_trace::Graph graph;
    double load = seconds([&] { graph = zavo::graph::read_graph_text(text); });
    double after_load = heap_mib();
    zavo::graph::ParseResult result;
    double parse = seconds([&] { result = zavo::graph::parse_graph(graph); });
    double after_parse = heap_mib();
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
    double per_position = (load + parse + write) * 1e9 / static_cast<double>(positions);
    std::printf(
        "%9zu %11llu %9.1f %8.3f %8.3f %8.3f %10.1f %9.1f %9.1f %9.1f   %lld classes, %lld "
        "prunable\n",
        graph.size(), static_cast<unsigned long long>(positions),
        static_cast<double>(text.size()) / (1024.0 * 1024.0), load, parse, write,
        static_cast<double>(report.size()) / (1024.0 * 1024.0), per_position, after_load - base,
        after_parse - base, static_cast<long long>(classes), static_cast<long long>(prunable));
  }
  std::printf("peak resident memory of the process: %.1f MiB\n", status_mib("VmHWM"));
  return 0;
}
