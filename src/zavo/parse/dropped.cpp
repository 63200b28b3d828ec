#include "zavo/parse/dropped.hpp"

#include <algorithm>
#include <utility>

#include "zavo/platform/zeroed_array.hpp"
#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/node_handlers.hpp"

namespace zavo::graph {
namespace {

using pruning::engine::node_handlers::_tensor_get_node_handler;
using pruning::engine::node_handlers::consumes_labels;
using pruning::engine::node_handlers::get_node_handler;
using pruning::engine::node_handlers::NodeHandler;
using pruning::engine::utils::for_each_recorded_label;
using pruning::engine::utils::has_recorded_labels;
using pruning::engine::utils::holds_labels_of;
using pruning::engine::utils::is_label_prunable;
using pruning::engine::utils::keeps_input_labels;
using pruning::engine::utils::Label;
using tensor_trace::NodeKind;
using tensor_trace::ZavoNode;

}  // namespace

std::vector<DroppedLabels> find_dropped_labels(
    const tensor_trace::Graph& graph, const pruning::engine::utils::PruneGraphParserState& state,
    pruning::engine::node_handlers::RuleSet rules) {
  std::vector<DroppedLabels> dropped;
  // Labels come from a counter: per label, where the current node (its round) last saw it.
  // Eight bytes a label: the round, and one word of the first input that holds it (its place in
  // `inputs`, below 2^30: a call with more distinct inputs is looked at by their number modulo
  // 2^30), whether a parameter is among the inputs that hold it, and whether it is kept (the
  // output holds it, or it ties a parameter to another input).
  constexpr std::uint32_t kParameter = std::uint32_t{1} << 30;
  constexpr std::uint32_t kKept = std::uint32_t{1} << 31;
  constexpr std::uint32_t kInput = kParameter - 1;
  struct Seen {
    std::uint32_t round;
    std::uint32_t word;
  };
  // The table comes zeroed from the system, so that it takes pages only where labels of the
  // calls walked below fall: most calls hold their inputs' labels and are not walked at all.
  std::size_t seen_size = static_cast<std::size_t>(std::max<Label>(state.next_label, 0));
  platform::ZeroedArray<Seen> seen = platform::zeroed_array<Seen>(seen_size);
  auto at = [&seen, &seen_size](Label label) -> Seen& {
    const auto index = static_cast<std::size_t>(label);
    if (index >= seen_size) {
      platform::ZeroedArray<Seen> grown = platform::zeroed_array<Seen>(index + 1);
      std::copy(seen.get(), seen.get() + seen_size, grown.get());
      seen = std::move(grown);
      seen_size = index + 1;
    }
    return seen[index];
  };
  std::uint32_t round = 0;
  std::vector<Label> lost;
  constexpr std::size_t kFewInputs = 16;
  std::vector<const ZavoNode*> inputs;
  for (const auto& owned : graph.nodes()) {
    const tensor_trace::ZavoOpNode* call = owned->as_op_node();
    if (!call || !has_recorded_labels(state, *call))
      continue;
    const NodeHandler handler = get_node_handler(*call, rules);
    if (handler == &_tensor_get_node_handler || consumes_labels(handler))
      continue;
    // A call whose output holds every input's labels (an element-wise call that keeps their
    // lists, a concatenation) or ties the rest to a parameter (a layer) loses nothing: its
    // labels need no walk.
    bool holds_all = keeps_input_labels(state, *call);
    if (!holds_all) {
      holds_all = true;
      call->for_each_input_node([&](const ZavoNode& input) {
        holds_all = holds_all && holds_labels_of(state, *call, input);
      });
    }
    if (holds_all)
      continue;
    // A node passed many times is looked at once: its labels are the same every time. A call
    // of a few inputs (most of them) finds them in a list that every call reuses.
    inputs.clear();
    call->for_each_input_node([&inputs](const ZavoNode& input) {
      if (inputs.size() <= kFewInputs && std::ranges::find(inputs, &input) == inputs.end())
        inputs.push_back(&input);
    });
    if (inputs.size() > kFewInputs)
      inputs = call->distinct_input_nodes();
    ++round;
    for_each_recorded_label(state, *call, [&](Label label) { at(label) = {round, kKept}; });
    // Each input's labels in one walk: a label the output lacks is a candidate, met once; it
    // is kept too when it ties two inputs, one of them a parameter (a weight it was tied to).
    lost.clear();
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      // An input whose labels the output holds loses nothing, and every label it shares with
      // another input is in the output already.
      if (holds_labels_of(state, *call, *inputs[i]))
        continue;
      const std::uint32_t input = static_cast<std::uint32_t>(i) & kInput;
      const std::uint32_t parameter = inputs[i]->kind == NodeKind::Parameter ? kParameter : 0;
      for_each_recorded_label(state, *inputs[i], [&](Label label) {
        Seen& s = at(label);
        if (s.round != round) {
          s = {round, input | parameter};
          lost.push_back(label);
        } else if (!(s.word & kKept) && (s.word & kInput) != input) {
          s.word |= parameter;
          if (s.word & kParameter)
            s.word |= kKept;
        }
      });
    }
    std::erase_if(lost, [&](Label label) {
      return (at(label).word & kKept) || !is_label_prunable(state, label);
    });
    if (lost.empty())
      continue;
    std::sort(lost.begin(), lost.end());
    dropped.push_back({call->id, lost, {}});
  }
  if (dropped.empty())
    return dropped;

  // The parameters whose channels carry a dropped label, per dropping node.
  std::vector<std::pair<Label, std::size_t>> drops;
  for (std::size_t i = 0; i < dropped.size(); ++i) {
    for (Label label : dropped[i].labels)
      drops.emplace_back(label, i);
  }
  std::sort(drops.begin(), drops.end());
  for (const auto& owned : graph.nodes()) {
    if (owned->kind != NodeKind::Parameter)
      continue;
    for_each_recorded_label(state, *owned, [&](Label label) {
      auto it = std::lower_bound(drops.begin(), drops.end(), std::pair{label, std::size_t{0}});
      for (; it != drops.end() && it->first == label; ++it) {
        auto& parameters = dropped[it->second].parameters;
        if (parameters.empty() || parameters.back() != owned->id)
          parameters.push_back(owned->id);
      }
    });
  }
  return dropped;
}

}  // namespace zavo::graph
