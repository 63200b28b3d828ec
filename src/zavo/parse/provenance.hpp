#pragma once
// Provenance of refusals: while a graph is parsed, which event first took each label out of
// pruning, and at which node each merge tied two classes. The recorder only listens (it is the
// state's label observer); what the handlers decide is unchanged.
//
// Memory: four bytes per label (its cause), eight per merge, and eight per event and per node
// that merges; the marks and creations of one phase at one node share an event.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "zavo/pruning/engine/utils.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::graph {

using pruning::engine::utils::Label;
using pruning::engine::utils::LabelObserver;
using pruning::engine::utils::PruneGraphParserState;

// Who is acting on the state while an event happens.
enum class LabelPhase : std::uint8_t {
  Parameter,  // a parameter's fresh labels
  Handler,    // the node's own handler
  NoHandler,  // the default handler, because the operation has no handler of its own
  Recovery,   // the default handler, after the node's handler failed in a lenient parse
  Output,     // the model's outputs, taken out after the parse
  Dropped,    // labels the node drops, taken out after the parse on request
};

// One event that took labels out of pruning: marks, or labels created non-prunable, made while
// one node was handled by one phase. Where a mark's label sat is read from the node afterwards.
struct LabelEvent {
  std::uint32_t node;
  LabelPhase phase;
  bool created;
  bool operator==(const LabelEvent&) const = default;
};

// `folded` was folded into `base` while `node` was handled.
struct LabelMerge {
  std::uint32_t base;
  std::uint32_t folded;
  std::uint32_t node;
};

// Why one label is not prunable: the event and the merges that carried it to the label.
struct LabelCause {
  std::size_t event;  // index into `events()`
  Label label;        // the label the event hit
  // Indices into `merges()`, in the order they happened: the first folds `label` into a class,
  // the last folds into the label asked about.
  std::vector<std::size_t> via;
};

class ProvenanceRecorder final : public LabelObserver {
 public:
  ProvenanceRecorder() = default;

  // Room for the causes of `labels` labels and as many merges.
  void reserve(std::size_t labels) {
    cause_.reserve(labels);
    merges_.reserve(labels);
  }

  // Back to a fresh recorder's state, keeping the tables' room (see
  // `PruneGraphParserState::reset`).
  void reset();
  // The bytes the tables hold room for, used or not.
  std::size_t capacity_bytes() const;

  // Events from now on happen at `node`, by `phase`.
  void enter(const tensor_trace::ZavoNode& node, LabelPhase phase);

  void labels_created(Label first, std::size_t count, bool prunable) override;
  void label_marked_non_prunable(Label label) override;
  void labels_merged(Label base, Label folded) override;

  // False when a label or a count outgrew the recorder's 31-bit fields; causes are then
  // missing, never wrong.
  bool complete() const { return complete_; }

  // The cause of a label that is not prunable; none for a prunable label or when not recorded.
  std::optional<LabelCause> cause(Label label) const;
  const std::vector<LabelEvent>& events() const { return events_; }
  // Every merge, in the order they happened.
  std::size_t merge_count() const { return merges_.size(); }
  LabelMerge merge(std::size_t index) const;
  // The run of labels that one node created together and that holds `label`: the node (a
  // parameter, or a call that made fresh labels) and the run's first label.
  struct Creation {
    std::uint32_t node;
    Label first;
  };
  std::optional<Creation> creation(Label label) const;
  // The first label that `node` created; none when it created none.
  std::optional<Label> first_label(std::int64_t node) const;

 private:
  static constexpr std::uint32_t kInherited = 1u << 31;

  bool fits(Label label);
  // `labels_merged` for a merge that needs a check or room first: the first merge at a node, a
  // label past the table, a full table, a recorder that already gave up.
  [[gnu::noinline]] void merged_first_at_node(Label base, Label folded);
  // The folded label's refusal, if any, passed on to the survivor by merge `merge`.
  void inherit(std::size_t base, std::size_t folded, std::size_t merge) {
    // The survivor stays prunable only when both were; it inherits the folded label's refusal.
    // The folded label's cause is read first: mostly it has none, and the survivor's, an older
    // label's spread over the table, is then not loaded at all.
    if (cause_[folded] == 0)
      return;
    std::uint32_t& base_cause = cause_[base];
    if (base_cause == 0)
      base_cause = kInherited | static_cast<std::uint32_t>(merge);
  }
  std::uint32_t& cause_slot(Label label);
  std::uint32_t event_for(bool created);

  const tensor_trace::ZavoNode* node_ = nullptr;
  LabelPhase phase_ = LabelPhase::Parameter;
  bool complete_ = true;

  // Per label: 0 while prunable; an event index + 1; or kInherited | the merge that carried it.
  std::vector<std::uint32_t> cause_;
  std::vector<LabelEvent> events_;
  // (base, folded) per merge; the node comes from the run of merges it belongs to: (first merge,
  // node), one entry per node that merged.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> merges_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> merge_nodes_;
  // (first label, creating node); each run of labels lasts until the next entry's first label.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> creations_;
};

}  // namespace zavo::graph
