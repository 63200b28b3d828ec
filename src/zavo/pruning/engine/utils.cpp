#include "zavo/pruning/engine/utils.hpp"

#include <algorithm>
#include <utility>

namespace zavo::pruning::engine::utils {

namespace {

constexpr std::uint32_t kNone = LabelStore::kNone;

}  // namespace

DimensionLabels make_labels(PruneGraphParserState& pruning_state, std::span<const Label> labels) {
  pruning_state.store().check_budget(pruning_state.label_position_budget, labels.size());
  return pruning_state.store().make_list(labels);
}

void add_node_output_info(const AddNodeOutputInfo& call) {
  LabelStore& store = call.pruning_state.store();
  const ZavoNode& node = call.node;
  if (node.id < 0)
    throw LookupError("node " + node.name + " has no id");
  const auto id = static_cast<std::size_t>(node.id);
  if (store.records_.size() <= id)
    store.records_.resize(id + 1);

  // Hold the new lists before releasing the old ones: a list in both stays as it is.
  for (const DimensionLabels& labels : call.labels) {
    if (!labels)
      continue;
    if (labels.owner() != &store)
      throw LookupError("a label list of another pruning state recorded for node " + node.name);
    store.hold(labels.id());
  }
  LabelStore::NodeRecord& record = store.records_[id];
  const bool replaces = record.node != nullptr;
  if (replaces) {
    for (std::uint32_t d = 0; d < record.count; ++d) {
      const std::uint32_t list = store.node_lists_[record.first + d];
      if (list != kNone)
        store.release(list);
    }
  }
  const auto count = static_cast<std::uint32_t>(call.labels.size());
  if (!record.node || record.count < count) {
    record.first =
        LabelStore::checked_count(store.node_lists_.size() + count, "recorded dimensions") - count;
    store.node_lists_.resize(store.node_lists_.size() + count);
  }
  record.node = &node;
  record.count = count;
  record.serial = LabelStore::checked_count(++store.records_made_, "node records");
  if (replaces)
    store.last_replacement_ = record.serial;
  record.holds_inputs = call.holds_input_labels;
  record.keeps_inputs = call.keeps_input_labels;
  for (std::uint32_t d = 0; d < count; ++d) {
    const DimensionLabels& labels = call.labels[d];
    store.node_lists_[record.first + d] = labels ? labels.id() : kNone;
  }
}

DimensionLabels generate_new_channel_labels(const GenerateNewChannelLabels& call) {
  const auto& shape = call.node.result_shape;
  if (!shape) {
    throw LookupError("cannot create labels for node " + call.node.name + ": its shape is unknown");
  }
  if (call.dim < 0 || call.dim >= static_cast<std::int64_t>(shape->size())) {
    throw LookupError("cannot create labels for dimension " + std::to_string(call.dim) +
                      " of node " + call.node.name + " with shape " +
                      tensor_trace::shape_text(*shape));
  }
  auto& state = call.pruning_state;
  LabelStore& store = state.store();
  const std::int64_t size = (*shape)[static_cast<std::size_t>(call.dim)];
  if (size < 0)
    throw LookupError("cannot create labels for a dimension of negative size");
  const Label first = state.next_label;
  store.check_budget(state.label_position_budget, static_cast<std::uint64_t>(size));
  if (size > 0) {
    if (size >= kMaxLabels - first)
      throw LookupError("too many labels for one pruning state");
    store.reserve_label(first + size - 1);
  }
  const auto id = LabelStore::checked_count(store.lists_.size(), "label lists");
  const auto begin = LabelStore::checked_count(store.slots_.size() + static_cast<std::size_t>(size),
                                               "label positions") -
                     static_cast<std::uint32_t>(size);
  store.slots_.resize(store.slots_.size() + static_cast<std::size_t>(size));
  std::uint32_t* slot = store.slots_.data() + begin;
  for (Label label = first; label < first + size; ++label) {
    store.set_flag(static_cast<std::size_t>(label), call.is_prunable ? 1 : 0);
    *slot++ = static_cast<std::uint32_t>(label);
  }
  if (state.observer && size > 0)
    state.observer->labels_created(first, static_cast<std::size_t>(size), call.is_prunable);
  state.next_label = first + size;
  store.lists_.push_back({begin, static_cast<std::uint32_t>(size), 0});
  return store.handle(id);
}

TensorLabels get_prune_labels(const PruneGraphParserState& pruning_state, const ZavoNode& node) {
  const LabelStore& store = pruning_state.store();
  const auto* record = store.record(node);
  if (!record)
    throw LookupError("node " + node.name + " has no recorded labels");
  TensorLabels labels;
  labels.reserve(record->count);
  for (std::uint32_t d = 0; d < record->count; ++d)
    labels.push_back(store.entry(store.node_lists_[record->first + d]));
  return labels;
}

NodeLabels::NodeLabels(const PruneGraphParserState& pruning_state, const ZavoNode& node) {
  const LabelStore& store = pruning_state.store();
  const auto* record = store.record(node);
  if (!record)
    throw LookupError("node " + node.name + " has no recorded labels");
  resize(record->count);
  for (std::uint32_t d = 0; d < record->count; ++d)
    (*this)[d] = store.entry(store.node_lists_[record->first + d]);
}

LabelList get_flatten_labels(const PruneGraphParserState& pruning_state, const ZavoNode& node) {
  LabelList flat;
  for_each_recorded_label(pruning_state, node, [&flat](Label label) { flat.push_back(label); });
  return flat;
}

std::optional<std::int64_t> get_prune_dimension(const PruneGraphParserState& pruning_state,
                                                const ZavoNode& node) {
  const LabelStore& store = pruning_state.store();
  const auto* record = store.record(node);
  if (!record)
    return std::nullopt;
  std::optional<std::int64_t> prune_dim;
  for (std::uint32_t d = 0; d < record->count; ++d) {
    if (store.node_lists_[record->first + d] == kNone)
      continue;
    if (prune_dim)
      throw PruningEngineRuntimeException("Multiple prune dimensions are not supported");
    prune_dim = static_cast<std::int64_t>(d);
  }
  return prune_dim;
}

void mark_non_prunable(PruneGraphParserState& pruning_state, Label label) {
  const std::optional<bool> flag = pruning_state.prunable_flag(label);
  if (flag == false)
    return;
  pruning_state.set_prunable_flag(label, false);
  if (pruning_state.observer)
    pruning_state.observer->label_marked_non_prunable(label);
}

bool has_recorded_labels(const PruneGraphParserState& pruning_state, const ZavoNode& node) {
  return pruning_state.store().record(node) != nullptr;
}

bool holds_input_labels(const PruneGraphParserState& pruning_state, const ZavoNode& holder) {
  const LabelStore& store = pruning_state.store();
  const auto* held = store.record(holder);
  return held && held->holds_inputs && store.last_replacement_ < held->serial;
}

bool keeps_input_labels(const PruneGraphParserState& pruning_state, const ZavoNode& holder) {
  const LabelStore& store = pruning_state.store();
  const auto* held = store.record(holder);
  return held && (held->holds_inputs || held->keeps_inputs) &&
         store.last_replacement_ < held->serial;
}

bool holds_labels_of(const PruneGraphParserState& pruning_state, const ZavoNode& holder,
                     const ZavoNode& node) {
  const LabelStore& store = pruning_state.store();
  const auto* held = store.record(holder);
  const auto* record = store.record(node);
  if (!held || !record)
    return false;
  if (held->holds_inputs && record->serial < held->serial)
    return true;
  const auto holder_lists = std::span(store.node_lists_).subspan(held->first, held->count);
  for (std::uint32_t d = 0; d < record->count; ++d) {
    const std::uint32_t list = store.node_lists_[record->first + d];
    if (list != kNone && std::ranges::find(holder_lists, list) == holder_lists.end())
      return false;
  }
  return true;
}

}  // namespace zavo::pruning::engine::utils
