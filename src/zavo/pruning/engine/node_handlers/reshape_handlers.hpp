#pragma once
// Extended rules: operations that rearrange the dimensions of one tensor without mixing its
// elements: reshapes (into heads and back), transposes and permutations, expansions and
// repetitions, and stacking.

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

// view, reshape, flatten, unflatten, squeeze, unsqueeze, view_as, reshape_as: the labels follow
// the sizes of the input and of the output (`_reshape_labels`).
void _reshape_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// transpose, swapaxes, swapdims: two dimensions exchange their labels.
void _transpose_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// permute: the labels follow the dimensions.
void _permute_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// movedim, moveaxis.
void _movedim_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// t and the attribute `.T`: the dimensions in reverse order.
void _reverse_dims_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// The attribute `.mT`: the last two dimensions exchanged.
void _matrix_transpose_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// expand, expand_as, broadcast_to: a dimension of size 1 made larger carries no labels, the
// others keep theirs.
void _expand_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// repeat, tile: a dimension repeated r times carries its labels r times over ([a, b, a, b]).
void _repeat_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// repeat_interleave: each label repeated in place ([a, a, b, b]), as a key-value head is for the
// query heads that read it.
void _repeat_interleave_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// stack: the inputs are tied in every dimension; the new dimension carries no labels.
void _stack_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

}  // namespace zavo::pruning::engine::node_handlers
