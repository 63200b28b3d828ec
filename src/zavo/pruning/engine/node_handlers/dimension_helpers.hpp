#pragma once
// Family helpers of the extended rules: reading a call's tensors and integer arguments, the
// labels of a tensor with exactly one entry per dimension, ties of broadcast operands, folding a
// dimension into heads and repeating labels, and the mapping of labels through a reshape.
//
// Heads. A dimension of n channels that a reshape splits into (a, b), later joined back in the
// same order, is read as (heads, head size): every block of b channels becomes one head, the
// head dimension carries the heads and the head-size dimension carries no labels, so a head is
// pruned whole and the head size never changes. Joined back, each head's label stands for its b
// channels again. A join that puts labels after an unlabelled dimension (a channel shuffle, or
// heads folded into a batch larger than 1) would move channels between heads or groups whose
// count is written into the model, so it takes them out of pruning.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

// The traced tensor at position `pos` or under `key`; null when absent or not a tensor.
const ZavoNode* _tensor_argument_or_null(const ZavoOpNode& node, std::size_t pos,
                                         std::string_view key);
// The traced tensor at position `pos` or under `key`; raises as `_as_tensor_argument` does.
const ZavoNode& _required_tensor_argument(const ZavoOpNode& node, std::size_t pos,
                                          std::string_view key);
// An integer argument, `default_value` when absent. A boolean, a number with a fraction or any
// other value raises `TypeError`.
std::optional<std::int64_t> _int_argument(const ZavoOpNode& node, std::size_t pos,
                                          std::string_view key,
                                          std::optional<std::int64_t> default_value);
// Integers given as one sequence at `pos` (or under `key`), or a single integer as a list of
// one; with `varargs`, also as the positional arguments from `pos` on (`x.permute(0, 2, 1)`).
// None when absent.
std::optional<std::vector<std::int64_t>> _int_list_argument(const ZavoOpNode& node, std::size_t pos,
                                                            std::string_view key, bool varargs);

// A dimension counted from the end made an index; none when out of range for `rank`.
std::optional<std::size_t> _dimension_index(std::int64_t dim, std::size_t rank);

// The node's labels with exactly one entry per dimension of its shape. Some handlers record
// more entries than their output has dimensions (the trailing ones none); those are cut. None
// when the node has no shape, no record, or labels past its last dimension.
std::optional<TensorLabels> _shaped_labels(const PruneGraphParserState& pruning_state,
                                           const ZavoNode& node);

// Records `labels` as the node's output labels.
void _record(PruneGraphParserState& pruning_state, const ZavoOpNode& node, TensorLabels labels);

// Ties one dimension of several tensors, given as (size, labels) pairs, position by position,
// as broadcasting pairs them: a size-1 entry is broadcast and takes part in nothing; among the
// others, labels on all are merged, labels on some only are taken out of pruning. Returns the
// dimension's labels: the first labelled entry's list, which the merge rewrote (none when no
// entry of size above 1 carries labels, or after a mark).
struct DimensionEntry {
  std::int64_t size;
  DimensionLabels labels;
};
DimensionLabels _tie_dimension(PruneGraphParserState& pruning_state,
                               std::span<const DimensionEntry> entries);

// A tensor among broadcast operands: its shape and its labels, one entry per dimension.
struct Operand {
  Shape shape;
  TensorLabels labels;
};
// Ties the operands dimension by dimension, aligned from the right; returns the labels of the
// broadcast result, `rank` entries.
TensorLabels _tie_broadcast(PruneGraphParserState& pruning_state, std::span<const Operand> operands,
                            std::size_t rank);

// Takes the labels of `dims` out of pruning and clears those entries.
void _keep_dimensions(PruneGraphParserState& pruning_state, TensorLabels& labels,
                      std::span<const std::size_t> dims);

// Records the labels of the node's first tensor argument with those of `dims` taken out of
// pruning and cleared: a result that depends on positions along them. The default handler when
// the input's labels cannot be read or the output has another number of dimensions.
void _record_keeping_dimensions(PruneGraphParserState& pruning_state, const ZavoOpNode& node,
                                std::span<const std::size_t> dims);

// Ties every position of `labels` (laid out row-major as `sizes`) with each position that shares
// its index along `carrier`, and returns one label per index of `carrier`. The labels must be
// those the state reads now (a recorded list, or a list made after the last merge).
DimensionLabels _fold_into_dimension(PruneGraphParserState& pruning_state,
                                     const DimensionLabels& labels,
                                     std::span<const std::int64_t> sizes, std::size_t carrier);

// A new list holding each label `times` times in a row ([a, a, b, b]).
DimensionLabels _repeat_each(PruneGraphParserState& pruning_state, const DimensionLabels& labels,
                             std::int64_t times);
// A new list holding the whole list `times` times ([a, b, a, b]).
DimensionLabels _repeat_whole(PruneGraphParserState& pruning_state, const DimensionLabels& labels,
                              std::int64_t times);

// The labels of a tensor of `out_shape` made by reshaping one of `in_shape` with `in_labels`:
// dimensions that survive with their size keep their labels, joined dimensions join them (the
// outermost labelled one, each label repeated for the inner ones), a dimension split into
// several folds into heads (see above). Marks what cannot follow. None when the sizes do not
// describe a reshape (different numbers of elements, an empty dimension). `node`, the reshape,
// holds the lists as they are made, so that the later folds' merges reach them.
std::optional<TensorLabels> _reshape_labels(PruneGraphParserState& pruning_state,
                                            const ZavoOpNode& node, const Shape& in_shape,
                                            const TensorLabels& in_labels, const Shape& out_shape);

}  // namespace zavo::pruning::engine::node_handlers
