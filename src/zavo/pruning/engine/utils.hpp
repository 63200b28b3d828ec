#pragma once
// The calls handlers make on the pruning state: make, record and read the label lists of a
// node's output, and read or clear a label's prunability. The state itself, its lists and
// their representation are in label_store.hpp.

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>

#include "zavo/pruning/engine/label_store.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::pruning::engine::utils {

// A new list of the state holding `labels`.
DimensionLabels make_labels(PruneGraphParserState& pruning_state, std::span<const Label> labels);
inline DimensionLabels make_labels(PruneGraphParserState& pruning_state,
                                   std::initializer_list<Label> labels) {
  return make_labels(pruning_state, std::span<const Label>(labels.begin(), labels.size()));
}

// Room for the lists of one tensor's dimensions, none at first: in place for up to
// `kInlineDims` (the rank of almost every tensor), on the heap beyond, so that a handler reads
// and records a node's lists without an allocation.
class TensorLabelsBuffer {
 public:
  static constexpr std::size_t kInlineDims = 6;
  explicit TensorLabelsBuffer(std::size_t dims = 0) { resize(dims); }
  TensorLabelsBuffer(TensorLabelsBuffer&& other) noexcept
      : inline_(other.inline_), spilled_(std::move(other.spilled_)), size_(other.size_) {
    data_ = size_ > kInlineDims ? spilled_.data() : inline_.data();
  }
  TensorLabelsBuffer(const TensorLabelsBuffer&) = delete;
  TensorLabelsBuffer& operator=(const TensorLabelsBuffer&) = delete;
  TensorLabelsBuffer& operator=(TensorLabelsBuffer&&) = delete;

  // `dims` entries, all none.
  void resize(std::size_t dims) {
    if (dims > kInlineDims) {
      spilled_.assign(dims, nullptr);
      data_ = spilled_.data();
    } else {
      std::fill_n(inline_.data(), dims, nullptr);
      data_ = inline_.data();
    }
    size_ = dims;
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  DimensionLabels& operator[](std::size_t dim) { return data_[dim]; }
  const DimensionLabels& operator[](std::size_t dim) const { return data_[dim]; }
  // A contiguous range: a span of its entries converts from it.
  DimensionLabels* data() { return data_; }
  const DimensionLabels* data() const { return data_; }
  DimensionLabels* begin() { return data_; }
  DimensionLabels* end() { return data_ + size_; }
  const DimensionLabels* begin() const { return data_; }
  const DimensionLabels* end() const { return data_ + size_; }

 private:
  std::array<DimensionLabels, kInlineDims> inline_{};
  TensorLabels spilled_;
  DimensionLabels* data_ = inline_.data();
  std::size_t size_ = 0;
};

struct AddNodeOutputInfo {
  PruneGraphParserState& pruning_state;
  const ZavoNode& node;
  // The lists of the output's dimensions; read during the call only.
  std::span<const DimensionLabels> labels;
  // True when the handler guarantees that `labels` carry every label of every input of the
  // call, as the inputs are recorded now, unless the label can no longer be pruned: the
  // dropped-label guard then passes over those inputs. The self-check verifies it.
  bool holds_input_labels = false;
  // True when the handler guarantees that every label of every input, as the inputs are
  // recorded now, is in `labels`, or is carried by two of the call's inputs, one of them a
  // parameter (a layer's input channels tied to its weight's), unless the label can no longer
  // be pruned: the call loses none, and the dropped-label guard passes over it. Implied by
  // `holds_input_labels`. The self-check verifies it.
  bool keeps_input_labels = false;
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

// The same lists in a buffer of the caller's, without an allocation for the ranks it holds in
// place. Raises as `get_prune_labels` does.
class NodeLabels : public TensorLabelsBuffer {
 public:
  NodeLabels(const PruneGraphParserState& pruning_state, const ZavoNode& node);
};

// The stored list of dimension `dim` (negative counts from the end), or none when that entry is
// none, out of range, or the node has no recorded labels.
inline DimensionLabels get_prune_labels_by_dim(const PruneGraphParserState& pruning_state,
                                               const ZavoNode& node, std::int64_t dim) {
  const LabelStore& store = pruning_state.store();
  const auto* record = store.record(node);
  if (!record)
    return nullptr;
  const auto n = static_cast<std::int64_t>(record->count);
  if (dim < 0)
    dim += n;
  if (dim < 0 || dim >= n)
    return nullptr;
  return store.entry(store.node_lists_[record->first + static_cast<std::uint32_t>(dim)]);
}

// Every label of the node's output, in dimension order then index order; empty for a node
// without labels.
LabelList get_flatten_labels(const PruneGraphParserState& pruning_state, const ZavoNode& node);

// The index of the one dimension that carries labels; none when no dimension does (or the node
// has no labels). Raises `PruningEngineRuntimeException` when two or more do.
std::optional<std::int64_t> get_prune_dimension(const PruneGraphParserState& pruning_state,
                                                const ZavoNode& node);

// True when `label` has an entry in `is_prunable` and it is true.
inline bool is_label_prunable(const PruneGraphParserState& pruning_state, Label label) {
  return label >= 0 && pruning_state.store().flag(static_cast<std::size_t>(label)) == 1;
}
// Writes false for `label` (creating the entry when there is none).
void mark_non_prunable(PruneGraphParserState& pruning_state, Label label);
// True when the node's output labels were recorded.
bool has_recorded_labels(const PruneGraphParserState& pruning_state, const ZavoNode& node);
// True when both nodes have recorded labels and `holder` carries every label of `node` that can
// still be pruned, by construction: every list `node` records is one that `holder` records too
// (the very lists, shared), or `holder` was recorded as holding its inputs' labels after `node`
// took its present record. Later folds keep it so: both read through the same classes.
bool holds_labels_of(const PruneGraphParserState& pruning_state, const ZavoNode& holder,
                     const ZavoNode& node);
// True when `holder` was recorded as holding its inputs' labels and no node was recorded again
// since: it then holds the labels of every input, without a look at the inputs.
bool holds_input_labels(const PruneGraphParserState& pruning_state, const ZavoNode& holder);
// True when `holder` was recorded as holding or keeping its inputs' labels and no node was
// recorded again since: it loses none of its inputs' labels, without a look at the inputs.
bool keeps_input_labels(const PruneGraphParserState& pruning_state, const ZavoNode& holder);
// The node's stored lists of the first `out.size()` dimensions written to `out` (none past its
// record, or for a node without recorded labels), without making a list; the result is the
// number of dimensions the record has entries for (0 without a record).
inline std::size_t get_prune_labels(const PruneGraphParserState& pruning_state,
                                    const ZavoNode& node, std::span<DimensionLabels> out) {
  const LabelStore& store = pruning_state.store();
  const auto* record = store.record(node);
  const std::uint32_t count = record ? record->count : 0;
  for (std::size_t d = 0; d < out.size(); ++d)
    out[d] = d < count ? store.entry(store.node_lists_[record->first + d]) : nullptr;
  return count;
}

// The node's output sizes, or none.
inline const tensor_trace::ResultShape& get_shape(const ZavoNode& node) {
  return node.result_shape;
}

// Calls `visit(label)` for every label of the node's output, in dimension order then index
// order (what `get_flatten_labels` gives, without making the list); nothing for a node without
// labels.
template <typename Visit>
void for_each_recorded_label(const PruneGraphParserState& pruning_state, const ZavoNode& node,
                             Visit&& visit) {
  const LabelStore& store = pruning_state.store();
  const auto* record = store.record(node);
  if (!record)
    return;
  for (std::uint32_t d = 0; d < record->count; ++d) {
    const std::uint32_t list = store.node_lists_[record->first + d];
    if (list != LabelStore::kNone)
      store.for_each(list, visit);
  }
}

}  // namespace zavo::pruning::engine::utils
