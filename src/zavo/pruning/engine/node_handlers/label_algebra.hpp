#pragma once
// The label algebra: folding labels into one throughout the pruning state, finding which labels
// must be folded together when label groups are tied position by position, and padding or moving
// the labels of a whole tensor.

#include <cstddef>
#include <initializer_list>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

// Folds every later label of `labels` into `labels[0]` throughout the state: positions, both
// indexes and the prunability flag (the survivor stays prunable only when every label was).
// Returns `labels[0]`. Cost is proportional to the folded labels' occurrences.
Label _merge_labels(PruneGraphParserState& pruning_state, std::span<const Label> labels);

// Rows of a label matrix, borrowed from their owners.
using LabelRows = std::vector<const LabelList*>;
// A set of labels that must become one label, in ascending order.
using MergeGroup = std::vector<Label>;
using ColumnIndicesByLabel = std::unordered_map<Label, std::vector<std::size_t>>;

// label -> the ascending column indices in which it occurs, in any row. Raises `LookupError`
// for a label of a row that `unique_labels` lacks.
ColumnIndicesByLabel _get_column_indices_by_label(const LabelRows& label_groups,
                                                  std::span<const Label> unique_labels);

struct MergeGroups {
  std::vector<MergeGroup> merge_groups;  // in order of each group's smallest column
  std::unordered_map<Label, std::size_t> group_index_by_label;
};

// The connected components of the columns of a rectangular label matrix, two columns being
// connected when they hold an equal label.
MergeGroups _breadth_first_find_merge_groups(const LabelRows& label_groups);
MergeGroups _breadth_first_find_merge_groups(const std::vector<LabelList>& label_groups);

// Ties the groups position by position and returns the merged group: none when no group is
// present, the one present group itself, or a new list of survivors. A none group makes the
// result non-prunable; groups of different lengths raise `PruningEngineRuntimeException`.
DimensionLabels _merge_label_groups(PruneGraphParserState& pruning_state,
                                    std::span<const DimensionLabels> label_groups);
inline DimensionLabels _merge_label_groups(PruneGraphParserState& pruning_state,
                                           std::initializer_list<DimensionLabels> label_groups) {
  return _merge_label_groups(pruning_state, std::span(label_groups.begin(), label_groups.size()));
}
// The same ties, for a caller that has no use for the merged group: no list is made (it counts
// toward the label budget as if it were, so that the budget is reached at the same point).
void _tie_label_groups(PruneGraphParserState& pruning_state,
                       std::span<const DimensionLabels> label_groups);
inline void _tie_label_groups(PruneGraphParserState& pruning_state,
                              std::initializer_list<DimensionLabels> label_groups) {
  _tie_label_groups(pruning_state, std::span(label_groups.begin(), label_groups.size()));
}

// Pads `shape` and `labels` at the front (sizes 1, none labels) to at least `n` dimensions.
// Returns the inputs unchanged when they already have `n` or more.
std::pair<Shape, TensorLabels> _broadcast_to(const Shape& shape, const TensorLabels& labels,
                                             std::size_t n);

// Moves the labels of `src_dim` to `dst_dim`, which must carry none; in place, returns `labels`.
TensorLabels& _swap_prune_dims(TensorLabels& labels, std::int64_t src_dim, std::int64_t dst_dim);

}  // namespace zavo::pruning::engine::node_handlers
