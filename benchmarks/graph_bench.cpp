// Google Benchmark of reading and parsing generated graphs of growing size, N being the blocks
// of a residual stage (both operand orders of its additions) or of a depthwise stack; the
// fitted complexity should be O(N).

#include <benchmark/benchmark.h>

#include "graph_generator.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/parse/parse.hpp"

namespace {

void load_and_parse(benchmark::State& state, const zavo::benchmarks::GraphConfig& config) {
  std::string text = zavo::benchmarks::graph_text(config);
  for (auto _ : state) {
    zavo::tensor_trace::Graph graph = zavo::graph::read_graph_text(text);
    zavo::graph::ParseResult result = zavo::graph::parse_graph(graph);
    benchmark::DoNotOptimize(result.error.has_value());
  }
  state.SetComplexityN(state.range(0));
  state.counters["positions"] = static_cast<double>(zavo::benchmarks::label_positions(config));
}

void BM_Residual(benchmark::State& state) {
  load_and_parse(
      state, zavo::benchmarks::ResidualConfig{.blocks = static_cast<std::size_t>(state.range(0))});
}
void BM_ResidualSwapped(benchmark::State& state) {
  load_and_parse(
      state, zavo::benchmarks::ResidualConfig{.blocks = static_cast<std::size_t>(state.range(0)),
                                              .input_first = true});
}
void BM_Depthwise(benchmark::State& state) {
  load_and_parse(state, zavo::benchmarks::DepthwiseConfig{
                            .blocks = static_cast<std::size_t>(state.range(0)), .channels = 64});
}

BENCHMARK(BM_Residual)
    ->RangeMultiplier(2)
    ->Range(64, 1024)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_ResidualSwapped)
    ->RangeMultiplier(2)
    ->Range(64, 1024)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_Depthwise)
    ->RangeMultiplier(2)
    ->Range(64, 1024)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
