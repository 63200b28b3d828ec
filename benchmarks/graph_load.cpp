// Reads one graph file and prints what loading it costs; run one process per file so that the
// peak resident size belongs to that load alone:
//
//   graph_load FILE    load time (wall and CPU), heap in use after loading, bytes per node,
//                      peak RSS
//
// The heap figures come from mallinfo2, the peak from VmHWM in /proc/self/status.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "process_memory.hpp"
#include "zavo/graph_file/graph_file.hpp"

using zavo::benchmarks::heap_bytes;
using zavo::benchmarks::status_mib;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: graph_load FILE  (generate_graph writes one)\n");
    return 2;
  }
  double rss_before = status_mib("VmRSS");
  double base = heap_bytes();
  auto start = std::chrono::steady_clock::now();
  std::clock_t cpu_start = std::clock();
  zavo::tensor_trace::Graph graph = zavo::graph::read_graph_file(argv[1]);
  double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  double load = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double heap = heap_bytes() - base;
  std::printf(
      "%zu nodes: load %.3f s (%.3f s of CPU, %.2f us/node), heap after load %.1f MiB (%.0f "
      "B/node), "
      "peak RSS %.1f MiB (%.1f MiB at start)\n",
      graph.size(), load, cpu, cpu * 1e6 / static_cast<double>(graph.size()),
      heap / (1024.0 * 1024.0), heap / static_cast<double>(graph.size()), status_mib("VmHWM"),
      rss_before);
  return 0;
}
