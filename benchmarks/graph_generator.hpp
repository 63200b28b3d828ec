#pragma once
// Generated graph files for measuring how the whole analysis scales, written the way the
// exporter (zavo-prune export) writes a traced model (same operation names, argument layout and
// naming), in four families:
//
//   residual   a deep residual stage: stem convolution, then blocks conv -> batch_norm -> relu
//              -> conv -> add, the addition written add(block_out, x) or, swapped, add(x,
//              block_out); the residual path is one channel class that every block joins
//   ladder     a concatenation ladder (DenseNet-like): block i concatenates the stem and every
//              earlier block's output along dim 1 (torch.cat) and convolves them -> batch_norm
//              -> relu; label positions grow with the square of the blocks
//   depthwise  a wide depthwise stack: conv2d with groups = channels, pointwise conv,
//              batch_norm, relu
//   decoder    a decoder-only transformer in the LLaMA layout (benchmarks/decoder_reference.py
//              is the PyTorch model it imitates): embedding, per layer RMS norm, attention with
//              rotary embedding, grouped-query heads and causal mask, RMS norm and a SiLU-gated
//              MLP, each with a residual add; final norm and vocabulary head
//
// and two hostile ones: `repeats` (one wide parameter passed many times to an operation without
// a handler) and `wide` (one parameter of one very large dimension, the model's output).
//
// A label position is one entry of one label list that the parse records for a node (one
// channel of one dimension of one node); `label_positions` gives the exact count for a
// configuration, which is what the report's `nodes` lists add up to.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zavo::benchmarks {

struct ResidualConfig {
  std::size_t blocks = 1;
  std::size_t channels = 64;
  bool input_first = false;  // add(x, block_out) instead of add(block_out, x)
  bool plain = false;        // a block is conv -> add, without batch norm and relu
};

struct LadderConfig {
  std::size_t blocks = 1;
  std::size_t stem = 8;    // channels of the stem convolution
  std::size_t growth = 2;  // channels each block adds
};

struct DepthwiseConfig {
  std::size_t blocks = 1;
  std::size_t channels = 1024;
};

struct DecoderConfig {
  std::size_t layers = 1;
  std::size_t width = 4096;
  std::size_t heads = 32;
  std::size_t kv_heads = 32;  // fewer than `heads`: grouped-query attention
  std::size_t mlp = 11008;
  std::size_t vocab = 32000;
  std::size_t seq = 16;  // tokens of the traced input (batch 1)
  bool sdpa = false;     // F.scaled_dot_product_attention instead of matmul/softmax/matmul
};

struct RepeatConfig {
  std::size_t channels = 65536;
  std::size_t repeats = 200000;
};

struct WideConfig {
  std::size_t size = std::size_t{1} << 26;
};

using GraphConfig = std::variant<ResidualConfig, LadderConfig, DepthwiseConfig, DecoderConfig,
                                 RepeatConfig, WideConfig>;

// The configurations that a model of that size really has.
DecoderConfig llama_7b();
DecoderConfig llama_70b();

// Writes the graph file to `out`; `model` is the file's model name.
void write_graph(const GraphConfig& config, std::FILE* out, std::string_view model = "generated");
// The same text in memory.
std::string graph_text(const GraphConfig& config, std::string_view model = "generated");

// The label positions the parse records for this graph (see above).
std::uint64_t label_positions(const GraphConfig& config);
// A short description: family and size, e.g. "residual 64ch x 120 blocks".
std::string describe(const GraphConfig& config);

// The shapes a scale series runs through, each scalable from 10^4 to 10^8 label positions:
// residual, residual-swapped, ladder, depthwise, decoder (the 7B layout; below one full layer
// its widths are divided by a power of two).
const std::vector<std::string_view>& series_shapes();
// The configuration of `shape` whose label positions come closest to `positions`; none for an
// unknown shape.
std::optional<GraphConfig> series_config(std::string_view shape, std::uint64_t positions);

// Named configurations of fixed size: llama-7b, llama-70b (32 and 80 layers), ladder-4000,
// residual-8x100k (100,000 plain residual blocks of 8 channels), repeats-200k (a 65,536-channel
// parameter passed 200,000 times to an operation without a handler), wide-parameter (a
// parameter of shape [2^26]).
const std::vector<std::string_view>& named_configs();
std::optional<GraphConfig> named_config(std::string_view name);

// How a named configuration is run, where it needs more than the command: the address-space
// limit of the process (bytes; 0: none) and the exit status it is expected to end with.
struct RunLimits {
  std::uint64_t address_space = 0;
  int expected_exit = 0;
};
RunLimits named_run_limits(std::string_view name);

}  // namespace zavo::benchmarks
