#pragma once
// Extended rules: operations that read or write parts of a tensor along its dimensions:
// indexing and slicing, writing into a slice, splitting into parts (the q, k and v of a fused
// projection) and reading the parts back, concatenation along a dimension counted from the end,
// and the operations whose result depends on positions along some dimensions (rolls, padding,
// pooling, interpolation, triangular masks).
//
// The rule they share: a dimension read whole passes its labels on; a dimension read in part,
// at an index, or at positions that move keeps its labels out of pruning, since removing a
// channel there would change which channels are read.

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

// x[index]: integers, slices, None, Ellipsis and one tensor or list index.
void _getitem_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// x[index] = value: the written tensor keeps its labels, tied with the value's where the index
// reads whole dimensions.
void _setitem_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// chunk, split, tensor_split, unbind: the call's result is a tuple, recorded as the labels that
// every part carries. Parts of one size along a labelled dimension are tied position by
// position (a class removes as many channels from each, as chunks computed from the size need);
// parts of other sizes keep that dimension's labels.
void _split_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// One element of a tuple (`_operator.getitem`): a part of a split, or the output of an attention
// call, carries the labels the tuple recorded; anything else goes to the default handler.
void _tuple_item_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// torch.cat whatever the sign of its dimension; the catalogue's handler then joins the inputs.
void _cat_any_dim_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// Results that depend on positions along some dimensions keep those dimensions' labels and pass
// the others: roll (its dimensions), pad (the padded ones), pooling (the pooled ones),
// interpolate (all but batch and channels), triu and tril (the last two).
void _roll_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
void _pad_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
void _pool_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
void _interpolate_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
void _triangle_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// torch.where(condition, input, other): the tensors among the three are tied as broadcasting
// pairs them.
void _where_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

}  // namespace zavo::pruning::engine::node_handlers
