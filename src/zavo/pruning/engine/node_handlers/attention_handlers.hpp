#pragma once
// Extended rules: attention. Matrix products tie their batch dimensions (the heads of queries,
// keys and values) and their contracted dimensions; softmax keeps the dimension it normalises
// over; `multi_head_attention_forward` (one call for `nn.MultiheadAttention`) and
// `scaled_dot_product_attention` get the same heads as attention written out.

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

// matmul, @, mm, bmm: (..., n, k) @ (..., k, m) -> (..., n, m). The batch dimensions are tied
// as broadcasting pairs them, k is tied across the operands (its labels leave the result), n
// and m pass on.
void _matmul_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// einsum: dimensions of one letter are tied; a letter of the result passes its labels on, a
// letter of several operands only is contracted, a letter of one operand only is summed over
// and keeps its labels.
void _einsum_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// softmax and log_softmax: the dimension normalised over keeps its labels, the others pass.
void _softmax_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// scaled_dot_product_attention(q, k, v): batch and head dimensions tied across the three (key and
// value heads repeated for the query heads that read them when there are fewer), q and k tied
// in their last dimension, k and v in their sequence; the result has q's batch, heads and
// sequence and v's last dimension.
void _scaled_dot_product_attention_node_handler(PruneGraphParserState& pruning_state,
                                                const ZavoOpNode& node);

// multi_head_attention_forward: the packed projection's rows (or the three separate ones) fold
// into heads, each head's rows of q, k and v and its columns of the output projection one
// class; the input's features tie to the projections' columns, the output's features are the
// output projection's rows. The call's result is a tuple, recorded as the labels of its first
// element (the attention's output).
void _multi_head_attention_node_handler(PruneGraphParserState& pruning_state,
                                        const ZavoOpNode& node);

}  // namespace zavo::pruning::engine::node_handlers
