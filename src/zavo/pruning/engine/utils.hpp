#pragma once
// The label bookkeeping of one parse, and the utilities handlers use to read and record labels.
//
// A `DimensionLabels` is a shared, mutable list: the state stores the very lists it is given, and
// a merge rewrites them in place, so every holder of a list sees the merged labels. A null
// `DimensionLabels` stands for a dimension without labels (none), which is distinct from an empty
// list.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "zavo/platform/errors.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::pruning::engine::utils {

using tensor_trace::Shape;
using tensor_trace::ZavoNode;
using zavo::PruningEngineRuntimeException;

using Label = std::int64_t;
using LabelList = std::vector<Label>;
using DimensionLabels = std::shared_ptr<LabelList>;
using TensorLabels = std::vector<DimensionLabels>;

// A new shared label list holding `labels`.
DimensionLabels make_labels(LabelList labels);
// The text form `[None, [0, 1], None]`, for messages and tests.
std::string labels_text(const DimensionLabels& labels);
std::string labels_text(const TensorLabels& labels);

// (dimension, index) inside one node's output.
struct Position {
  std::int64_t dim;
  std::int64_t idx;
  bool operator==(const Position&) const = default;
};

// The positions of one label in one node. Each position of a node holds exactly one label, so
// the positions of different labels never overlap and a plain list serves as a set.
using PositionSet = std::vector<Position>;
using NodeSet = std::unordered_set<const ZavoNode*>;

// Hears the label events of a parse as they happen (provenance, checks). The state calls it
// synchronously; every method does nothing unless overridden.
class LabelObserver {
 public:
  virtual ~LabelObserver() = default;
  // A fresh label, registered with `prunable`.
  virtual void label_created(Label /*label*/, bool /*prunable*/) {}
  // A mark wrote false onto a label that was prunable or had no entry.
  virtual void label_marked_non_prunable(Label /*label*/) {}
  // `folded` is about to be folded into `base`; both still have their own flags.
  virtual void labels_merged(Label /*base*/, Label /*folded*/) {}
};

struct PruneGraphParserState {
  // node -> its output labels: the stored lists, rewritten position by position by merges.
  std::unordered_map<const ZavoNode*, TensorLabels> channel_labels_by_nodes;
  // node -> label -> the positions of that label in the node's output.
  std::unordered_map<const ZavoNode*, std::unordered_map<Label, PositionSet>>
      channel_label_positions_in_nodes;
  // label -> the nodes whose output carries it.
  std::unordered_map<Label, NodeSet> nodes_by_channel_labels;
  // label -> false when its channels must not be pruned.
  std::unordered_map<Label, bool> is_prunable;
  // The next fresh label; labels are numbered 0, 1, 2, ... in creation order.
  Label next_label = 0;
  // Told of every label event; null when nobody listens.
  LabelObserver* observer = nullptr;
};

// True when `label` has an entry in `is_prunable` and it is true.
bool is_label_prunable(const PruneGraphParserState& pruning_state, Label label);
// Writes false for `label` (creating the entry when there is none).
void mark_non_prunable(PruneGraphParserState& pruning_state, Label label);
// True when the node's output labels were recorded.
bool has_recorded_labels(const PruneGraphParserState& pruning_state, const ZavoNode& node);

struct AddNodeOutputInfo {
  PruneGraphParserState& pruning_state;
  const ZavoNode& node;
  TensorLabels labels;
};

// Records `labels` (the lists themselves, not copies) as the node's output labels and indexes
// every position of every label. Recording a node again replaces its earlier record.
void add_node_output_info(const AddNodeOutputInfo& call);

struct GenerateNewChannelLabels {
  PruneGraphParserState& pruning_state;
  const ZavoNode& node;
  std::int64_t dim;
  bool is_prunable;
};

// A new list of fresh labels, one per index of dimension `dim` of the node's output, each
// registered in `is_prunable` with the given flag. Raises `LookupError` when the node has no
// shape or no such dimension.
DimensionLabels generate_new_channel_labels(const GenerateNewChannelLabels& call);

// A new list holding the node's stored label lists (rearranging it changes nothing stored).
// Raises `LookupError` for a node without recorded labels.
TensorLabels get_prune_labels(const PruneGraphParserState& pruning_state, const ZavoNode& node);

// The stored list of dimension `dim` (negative counts from the end), or none when that entry is
// none, out of range, or the node has no recorded labels.
DimensionLabels get_prune_labels_by_dim(const PruneGraphParserState& pruning_state,
                                        const ZavoNode& node, std::int64_t dim);

// Every label of the node's output, in dimension order then index order; empty for a node
// without labels.
LabelList get_flatten_labels(const PruneGraphParserState& pruning_state, const ZavoNode& node);

// The index of the one dimension that carries labels; none when no dimension does (or the node
// has no labels). Raises `PruningEngineRuntimeException` when two or more do.
std::optional<std::int64_t> get_prune_dimension(const PruneGraphParserState& pruning_state,
                                                const ZavoNode& node);

// The node's output sizes, or none.
inline const std::optional<Shape>& get_shape(const ZavoNode& node) {
  return node.result_shape;
}

}  // namespace zavo::pruning::engine::utils
