#pragma once
// Seeded random graphs for property tests: model inputs, parameters and calls of every operation
// family the handlers know (element-wise, broadcasting binary calls with tensor and scalar
// operands, batch norm, dropout in every training form, concatenation along any dimension with
// unlabelled inputs, convolutions of every kind, linear layers, flatten, reductions, size and
// attribute reads; for the extended rules reshapes into heads and back, transposes, expansions,
// indexing, splits, matrix products, softmax, normalisations, embeddings and attention calls)
// and of unknown operations, with shapes that agree as the traced framework would give them.
// Some calls meet labelled tensors where the output cannot hold all their labels: labelled
// size-1 dimensions broadcast against sizes, a weight joined with a layer's output that ties
// its classes together, a concatenation with a tensor argument besides those it joins.
// Small sizes (1 to 4) make labels of different tensors and dimensions meet. The same seed and
// options always give the same graph.

#include <cstdint>

#include "zavo/tensor_trace.hpp"

namespace zavo::testing {

struct RandomGraphOptions {
  // The number of steps; a step adds one call and the parameters it needs.
  int steps = 24;
  // Now and then a call that makes its handler raise (a keyword-only input, a named dimension,
  // a constant where a tensor belongs, sizes that do not match, ...).
  bool bad_calls = false;
  // Every call with two tensor operands gets them the other way round; nothing else changes.
  bool swap_operands = false;
};

tensor_trace::Graph random_graph(std::uint64_t seed, const RandomGraphOptions& options = {});

}  // namespace zavo::testing
