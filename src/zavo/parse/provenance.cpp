#include "zavo/parse/provenance.hpp"

#include <algorithm>
#include <limits>

namespace zavo::graph {
namespace {

using tensor_trace::ZavoNode;

constexpr auto kLimit = static_cast<Label>(std::numeric_limits<std::int32_t>::max());

}  // namespace

void ProvenanceRecorder::enter(const ZavoNode& node, LabelPhase phase) {
  if (node.id < 0 || node.id >= kLimit)
    complete_ = false;
  node_ = &node;
  phase_ = phase;
}

bool ProvenanceRecorder::fits(Label label) {
  if (label >= 0 && label < kLimit && complete_ && node_)
    return true;
  complete_ = false;
  return false;
}

std::uint32_t& ProvenanceRecorder::cause_slot(Label label) {
  const auto index = static_cast<std::size_t>(label);
  if (index >= cause_.size())
    cause_.resize(index + 1, 0);
  return cause_[index];
}

void ProvenanceRecorder::labels_created(Label first, std::size_t count, bool prunable) {
  const Label last = first + static_cast<Label>(count) - 1;
  if (!fits(first) || !fits(last))
    return;
  const auto node = static_cast<std::uint32_t>(node_->id);
  // A run continues while one node creates consecutive labels.
  if (creations_.empty() || creations_.back().second != node ||
      static_cast<std::size_t>(first) != cause_.size()) {
    creations_.emplace_back(static_cast<std::uint32_t>(first), node);
  }
  cause_slot(last);
  const std::uint32_t cause = prunable ? 0 : event_for(/*created=*/true) + 1;
  std::fill(cause_.begin() + first, cause_.begin() + last + 1, cause);
}

void ProvenanceRecorder::label_marked_non_prunable(Label label) {
  if (!fits(label))
    return;
  std::uint32_t& slot = cause_slot(label);
  if (slot == 0)
    slot = event_for(/*created=*/false) + 1;
}

void ProvenanceRecorder::labels_merged(Label base, Label folded) {
  // Once per tie of two classes. The common case, a merge at the node of the merge before it
  // with both labels' causes in the table and room for the merge, takes no call and no
  // regrowth; every other case goes the long way.
  const auto base_index = static_cast<std::uint64_t>(base);
  const auto folded_index = static_cast<std::uint64_t>(folded);
  const std::size_t merge = merges_.size();
  if (!complete_ || !node_ || base_index >= cause_.size() || folded_index >= cause_.size() ||
      merge == merges_.capacity() || merge >= kInherited || merge_nodes_.empty() ||
      static_cast<std::int64_t>(merge_nodes_.back().second) != node_->id) {
    merged_first_at_node(base, folded);
    return;
  }
  merges_.emplace_back(static_cast<std::uint32_t>(base), static_cast<std::uint32_t>(folded));
  inherit(base_index, folded_index, merge);
}

void ProvenanceRecorder::merged_first_at_node(Label base, Label folded) {
  if (!complete_ || !node_ || base < 0 || base >= kLimit || folded < 0 || folded >= kLimit ||
      merges_.size() >= kInherited) {
    complete_ = false;
    return;
  }
  const auto node = static_cast<std::uint32_t>(node_->id);
  if (merge_nodes_.empty() || merge_nodes_.back().second != node)
    merge_nodes_.emplace_back(static_cast<std::uint32_t>(merges_.size()), node);
  merges_.emplace_back(static_cast<std::uint32_t>(base), static_cast<std::uint32_t>(folded));
  const auto needed = static_cast<std::size_t>(std::max(base, folded)) + 1;
  if (cause_.size() < needed)
    cause_.resize(needed, 0);
  inherit(static_cast<std::size_t>(base), static_cast<std::size_t>(folded), merges_.size() - 1);
}

std::uint32_t ProvenanceRecorder::event_for(bool created) {
  const LabelEvent event{static_cast<std::uint32_t>(node_->id), phase_, created};
  if (events_.empty() || !(events_.back() == event)) {
    if (events_.size() + 1 >= kInherited) {
      complete_ = false;
      return 0;
    }
    events_.push_back(event);
  }
  return static_cast<std::uint32_t>(events_.size() - 1);
}

std::optional<LabelCause> ProvenanceRecorder::cause(Label label) const {
  if (!complete_ || label < 0 || static_cast<std::size_t>(label) >= cause_.size())
    return std::nullopt;
  LabelCause out{0, label, {}};
  std::uint32_t slot = cause_[static_cast<std::size_t>(label)];
  if (slot == 0)
    return std::nullopt;
  // Each step goes to a label folded earlier, so the walk ends.
  while (slot & kInherited) {
    const std::size_t merge = slot & ~kInherited;
    out.via.push_back(merge);
    out.label = merges_[merge].second;
    slot = cause_[merges_[merge].second];
  }
  out.event = slot - 1;
  std::reverse(out.via.begin(), out.via.end());
  return out;
}

LabelMerge ProvenanceRecorder::merge(std::size_t index) const {
  auto run =
      std::upper_bound(merge_nodes_.begin(), merge_nodes_.end(), index,
                       [](std::size_t value, const auto& entry) { return value < entry.first; });
  return {merges_.at(index).first, merges_[index].second, std::prev(run)->second};
}

std::optional<ProvenanceRecorder::Creation> ProvenanceRecorder::creation(Label label) const {
  if (label < 0 || static_cast<std::size_t>(label) >= cause_.size())
    return std::nullopt;
  auto it =
      std::upper_bound(creations_.begin(), creations_.end(), static_cast<std::uint32_t>(label),
                       [](std::uint32_t value, const auto& run) { return value < run.first; });
  if (it == creations_.begin())
    return std::nullopt;
  --it;
  return Creation{it->second, it->first};
}

std::optional<Label> ProvenanceRecorder::first_label(std::int64_t node) const {
  for (const auto& [first, creator] : creations_) {
    if (creator == node)
      return first;
  }
  return std::nullopt;
}

void ProvenanceRecorder::reset() {
  node_ = nullptr;
  phase_ = LabelPhase::Parameter;
  complete_ = true;
  cause_.clear();
  events_.clear();
  merges_.clear();
  merge_nodes_.clear();
  creations_.clear();
}

std::size_t ProvenanceRecorder::capacity_bytes() const {
  auto bytes = [](const auto& table) { return table.capacity() * sizeof(table[0]); };
  return bytes(cause_) + bytes(events_) + bytes(merges_) + bytes(merge_nodes_) + bytes(creations_);
}

}  // namespace zavo::graph
