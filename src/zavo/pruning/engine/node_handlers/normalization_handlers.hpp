#pragma once
// Extended rules: normalisations, embeddings and statistics over channels.
//
// A normalisation's parameters are tied to the channels they scale, and its input's channels
// stay prunable although removing one changes the statistic it normalises by (pruning by
// importance accepts that; a channel set to zero changes it too).

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

// The catalogue's channel-wise operations (batch normalisation) on an input with labels in more
// dimensions than the channels: the parameters are tied to the channels (dimension 1) and the
// other dimensions pass. Inputs the catalogue's handler follows go to it.
void _channelwise_any_dims_node_handler(PruneGraphParserState& pruning_state,
                                        const ZavoOpNode& node);

// layer_norm and rms_norm: each normalised trailing dimension is tied with the same dimension of
// the weight and of the bias.
void _layer_norm_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// group_norm: the weight and bias are tied to the channels (dimension 1); with more than one
// group, and fewer groups than channels, each group of channels is one class, pruned whole. With
// one group the channels are pruned one by one, as for a layer normalisation.
void _group_norm_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// instance_norm: every per-channel parameter (running statistics, weight, bias) is tied to the
// channels.
void _instance_norm_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// embedding: the output's last dimension is the weight's feature dimension (a language-model
// head tied to the same weight follows it); the weight's rows are selected by the input's values
// and keep their labels.
void _embedding_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// The reductions of the catalogue. A labelled dimension reduced with the dimension kept (size 1,
// for broadcasting back, as a normalisation written out does) is a statistic: its labels stay
// prunable and the result carries none there. A labelled dimension reduced away keeps its labels,
// as under the catalogue's handler; the other dimensions pass, several labelled ones included.
void _statistic_reduce_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

}  // namespace zavo::pruning::engine::node_handlers
