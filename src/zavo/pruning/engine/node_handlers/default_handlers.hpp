#pragma once
// The conservative path: the default handler, the non-prunable marking family, and the two
// pass-through handlers.

#include <cstdint>
#include <span>

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

// Records a none entry per output dimension (an empty record without a result shape) and, when
// `mark_inputs_as_non_prunable`, first takes every label of every input out of pruning.
void _default_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node,
                           bool mark_inputs_as_non_prunable);
// The registrable form: inputs are marked.
void _default_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

void _mark_node_inputs_as_non_prunable(PruneGraphParserState& pruning_state,
                                       const ZavoOpNode& node);
// Writes false for every label given (none writes nothing).
void _mark_labels_as_non_prunable(PruneGraphParserState& pruning_state,
                                  const DimensionLabels& labels);
void _mark_labels_as_non_prunable(PruneGraphParserState& pruning_state,
                                  std::span<const Label> labels);
void _mark_node_dim_as_non_prunable(PruneGraphParserState& pruning_state, const ZavoNode& node,
                                    std::int64_t dim);
void _mark_node_dimensions_as_non_prunable(PruneGraphParserState& pruning_state,
                                           const ZavoNode& node,
                                           std::span<const std::int64_t> dims);

struct NodeKeepState {
  PruneGraphParserState& pruning_state;
  const ZavoOpNode& node;
  const ZavoNode& src_node;
};

// Gives `node` exactly the stored label lists of `src_node` (shared, so later merges reach both).
void _node_keep_state(const NodeKeepState& call);

// Attribute and size reads: the output carries no labels and no input label changes.
void _tensor_get_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

}  // namespace zavo::pruning::engine::node_handlers
