// Google Benchmark of reading and parsing generated residual graphs of growing size; the fitted
// complexity should be O(N).

#include <benchmark/benchmark.h>

#include "graph_generator.hpp"
#include "zavo/graph/graph_file.hpp"
#include "zavo/graph/parse.hpp"

namespace {

void BM_LoadAndParse(benchmark::State& state) {
  std::string text =
      zavo::benchmarks::residual_graph_text(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    zavo::tensor_trace::Graph graph = zavo::graph::read_graph_text(text);
    zavo::graph::ParseResult result = zavo::graph::parse_graph(graph);
    benchmark::DoNotOptimize(result.state.recorded_positions());
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_LoadAndParse)
    ->RangeMultiplier(2)
    ->Range(12'500, 200'000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
