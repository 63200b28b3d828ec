#include "zavo/report/explain.hpp"

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "zavo/pruning/engine/node_handlers/attention_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/indexing_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/node_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/normalization_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/reshape_handlers.hpp"
#include "zavo/report/json_writer.hpp"
#include "zavo/tensor_trace/op_categorization.hpp"
#include "zavo/utils/argument_utils.hpp"

namespace zavo::graph {
namespace {

using pruning::engine::node_handlers::_default_node_handler;
using pruning::engine::node_handlers::get_node_handler;
using pruning::engine::node_handlers::NodeHandler;
using pruning::engine::utils::DimensionLabels;
using pruning::engine::utils::get_prune_dimension;
using pruning::engine::utils::get_prune_labels_by_dim;
using pruning::engine::utils::has_recorded_labels;
using pruning::engine::utils::is_label_prunable;
using tensor_trace::Value;
using tensor_trace::ZavoNode;
using tensor_trace::ZavoOpNode;
using utils::argument_utils::get_argument;

std::string plural(std::size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

const std::string& operation_of(const ZavoNode& node) {
  static const std::string none;
  const ZavoOpNode* call = node.as_op_node();
  return call ? call->operation->qualified_name() : none;
}

// The traced tensor passed as argument `pos` / `key`, or null.
const ZavoNode* tensor_argument(const ZavoOpNode& call, std::size_t pos, std::string_view key) {
  Value value =
      get_argument({.arg_pos = pos, .arg_key = key, .args = call.args, .kwargs = call.kwargs});
  return value.is_node() ? &value.as_node() : nullptr;
}

// A node as the tensor it stands for, saying why a call's output may carry no labels.
std::string node_text(const ZavoNode& node, pruning::engine::node_handlers::RuleSet rules) {
  switch (node.kind) {
    case tensor_trace::NodeKind::Input:
      return "the model input " + node.name;
    case tensor_trace::NodeKind::Parameter:
      return "parameter " + node.name;
    case tensor_trace::NodeKind::Constant:
      return "the constant " + node.name;
    case tensor_trace::NodeKind::Call:
      break;
  }
  const ZavoOpNode& call = *node.as_op_node();
  if (get_node_handler(call, rules) == static_cast<NodeHandler>(_default_node_handler)) {
    return "node " + node.name + ", an operation without a handler (" +
           call.operation->qualified_name() + ")";
  }
  return "node " + node.name + " (" + call.operation->qualified_name() + ")";
}

bool shape_known(const ZavoNode* node) {
  return node && node->result_shape;
}

// What a mark of an extended rule's handler means; none for the handlers that only mark labels
// tied to a dimension without labels.
std::optional<std::string_view> extended_mark(NodeHandler handler) {
  namespace h = pruning::engine::node_handlers;
  if (handler == &h::_getitem_node_handler || handler == &h::_setitem_node_handler)
    return "reads part of the dimension that holds them, or indexes by them";
  if (handler == &h::_split_node_handler)
    return "splits the dimension that holds them into parts of other sizes, or of one channel";
  if (handler == &h::_softmax_node_handler)
    return "normalises over the dimension that holds them (softmax)";
  if (handler == &h::_roll_node_handler || handler == &h::_pad_node_handler ||
      handler == &h::_pool_node_handler || handler == &h::_interpolate_node_handler ||
      handler == &h::_triangle_node_handler) {
    return "depends on the positions along the dimension that holds them";
  }
  if (handler == &h::_reshape_node_handler || handler == &h::_expand_node_handler) {
    return "joins the dimension that holds them behind another (a channel shuffle, heads in a "
           "batch), or copies their one channel";
  }
  if (handler == &h::_embedding_node_handler)
    return "selects rows of the dimension that holds them by index (an embedding's vocabulary)";
  if (handler == &h::_multi_head_attention_node_handler)
    return "holds a single head, or sizes a mask, keys or weights by the number of heads";
  if (handler == &h::_einsum_node_handler)
    return "sums over them in one operand";
  return std::nullopt;
}

}  // namespace

std::string_view reason_kind_name(ReasonKind kind) {
  switch (kind) {
    case ReasonKind::Output:
      return "output";
    case ReasonKind::NoHandler:
      return "no_handler";
    case ReasonKind::RecoveredError:
      return "recovered_error";
    case ReasonKind::FreshLabels:
      return "fresh_labels";
    case ReasonKind::Kernel:
      return "kernel";
    case ReasonKind::Spatial:
      return "spatial";
    case ReasonKind::GroupedConvolution:
      return "grouped_convolution";
    case ReasonKind::Unlabelled:
      return "unlabelled";
    case ReasonKind::Dropped:
      return "dropped";
    case ReasonKind::Handler:
      return "handler";
  }
  return "handler";
}

Reasons::Reasons(const tensor_trace::Graph& graph, const ParseResult& result,
                 std::span<const std::uint8_t> prunable)
    : graph_(&graph), result_(&result), prunable_(prunable) {}

void Reasons::read_parameters_from(const Report& report) {
  copy_ = report.parameter_labels_if_made();
  if (!copy_)
    return;
  first_copied_dim_.assign(graph_->size(), kNotCopied);
  for (std::size_t k = copy_->dims.size(); k-- > 0;) {
    const auto node = report.parameters[copy_->dims[k].parameter].parameter->id;
    first_copied_dim_[static_cast<std::size_t>(node)] = static_cast<std::uint32_t>(k);
  }
}

std::optional<LabelCause> Reasons::cause(Label label) const {
  if (!result_->provenance)
    return std::nullopt;
  return result_->provenance->cause(label);
}

std::optional<std::uint32_t> Reasons::place_node(const LabelCause& cause) const {
  const LabelEvent& event = result_->provenance->events()[cause.event];
  // Where a handler's mark sat tells why; merges rewrote that place to the live label.
  if (event.phase != LabelPhase::Handler || event.created)
    return std::nullopt;
  return static_cast<std::uint32_t>(event.node);
}

Reasons::Key Reasons::key(const LabelCause& cause, Label label) {
  const std::optional<std::uint32_t> node = place_node(cause);
  if (!node)
    return {cause.event, -1, -1};
  const auto [input, dim] = place(*node, label);
  return {cause.event, input, dim};
}

void Reasons::find_places(std::uint32_t node, std::span<const Label> labels,
                          std::span<std::pair<std::int32_t, std::int64_t>> places) {
  std::ranges::fill(places, std::pair<std::int32_t, std::int64_t>{-1, -1});
  if (labels.empty())
    return;
  asked_.clear();
  for (std::size_t i = 0; i < labels.size(); ++i)
    asked_.emplace_back(labels[i], i);
  std::ranges::sort(asked_);
  const Label low = asked_.front().first, high = asked_.back().first;
  std::size_t left = asked_.size();
  for_each_input_label(
      node,
      [&](Label l, std::int32_t input, std::int32_t dim) {
        if (l < low || l > high)
          return;
        auto it = std::ranges::lower_bound(asked_, l, {}, &std::pair<Label, std::size_t>::first);
        if (it == asked_.end() || it->first != l || places[it->second].first >= 0)
          return;
        places[it->second] = {input, dim};
        --left;
      },
      [&left] { return left == 0; });
}

const Reason& Reasons::reason(const LabelCause& cause, Label label) {
  return reason(key(cause, label));
}

const Reason& Reasons::reason(const Key& at) {
  if (last_ == cache_.end() || last_->first != at) {
    last_ = cache_.find(at);
    if (last_ == cache_.end())
      last_ = cache_.emplace(at, describe(at)).first;
  }
  return last_->second;
}

namespace {
// The longest list of places searched without sorting it.
constexpr std::size_t kUnsortedPlaces = 128;
}  // namespace

Reasons::NodePlaces& Reasons::places_of(std::uint32_t node) {
  ++clock_;
  NodePlaces* oldest = &node_places_[0];
  for (NodePlaces& places : node_places_) {
    if (places.node == node) {
      places.used = clock_;
      return places;
    }
    if (places.used < oldest->used)
      oldest = &places;
  }
  // Only kept labels are asked about: the index leaves out the prunable ones, which are most of
  // a layer's inputs.
  if (prunable_.empty()) {
    own_prunable_.assign(static_cast<std::size_t>(result_->state.next_label), 0);
    result_->state.for_each_prunable_entry(
        [this](Label l, bool flag) { own_prunable_[static_cast<std::size_t>(l)] = flag ? 1 : 0; });
    prunable_ = own_prunable_;
  }
  NodePlaces& places = *oldest;
  places.node = node;
  places.used = clock_;
  places.last = 0;
  places.list.clear();
  for_each_input_label(
      node,
      [&](Label l, std::int32_t input, std::int32_t dim) {
        if (!prunable_[static_cast<std::size_t>(l)])
          places.list.push_back({l, input, dim});
      },
      [] { return false; });
  // A short list is searched as it is, in the order of the places; a long one is sorted.
  places.sorted = places.list.size() > kUnsortedPlaces;
  if (places.sorted) {
    std::stable_sort(places.list.begin(), places.list.end(),
                     [](const Place& a, const Place& b) { return a.label < b.label; });
  }
  return places;
}

std::pair<std::int32_t, std::int64_t> Reasons::place(std::uint32_t node, Label label) {
  NodePlaces& places = places_of(node);
  const std::vector<Place>& list = places.list;
  if (!places.sorted) {
    for (const Place& p : list) {
      if (p.label == label)
        return {p.input, p.dim};
    }
    return {-1, -1};
  }
  auto below = [](const Place& p, Label l) { return p.label < l; };
  auto it = list.begin();
  if (places.last < list.size() && list[places.last].label <= label) {
    // Ascending questions: the answer is at or just after the last one.
    it += static_cast<std::ptrdiff_t>(places.last);
    for (int step = 0; step < 4 && it != list.end() && it->label < label; ++step)
      ++it;
    if (it != list.end() && it->label < label)
      it = std::lower_bound(it, list.end(), label, below);
  } else {
    it = std::lower_bound(list.begin(), list.end(), label, below);
  }
  if (it == list.end() || it->label != label)
    return {-1, -1};
  places.last = static_cast<std::size_t>(it - list.begin());
  return {it->input, it->dim};
}

std::span<const ZavoNode* const> Reasons::inputs_of(const ZavoOpNode& call) const {
  if (inputs_at_.empty())
    inputs_at_.resize(graph_->size());
  InputRange& range = inputs_at_[static_cast<std::size_t>(call.id)];
  if (range.begin == InputRange{}.begin) {
    const std::size_t begin = input_pool_.size();
    call.append_distinct_input_nodes(input_pool_);
    range = {static_cast<std::uint32_t>(begin),
             static_cast<std::uint32_t>(input_pool_.size() - begin)};
  }
  return std::span(input_pool_).subspan(range.begin, range.count);
}

template <typename Visit, typename Done>
void Reasons::for_each_input_label(std::uint32_t node, Visit visit, Done done) const {
  const ZavoOpNode* call = graph_->node(node).as_op_node();
  if (!call)
    return;
  // The first place of a label is in the first occurrence of its input: repeats add none.
  const std::span<const ZavoNode* const> inputs = inputs_of(*call);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const auto node_id = static_cast<std::size_t>(inputs[i]->id);
    if (copy_ && first_copied_dim_[node_id] != kNotCopied) {
      const auto& copied = copy_->dims;
      const std::size_t parameter = copied[first_copied_dim_[node_id]].parameter;
      for (std::size_t k = first_copied_dim_[node_id];
           k < copied.size() && copied[k].parameter == parameter && !done(); ++k) {
        for (std::size_t at = copied[k].begin; at < copied[k].end; ++at) {
          visit(static_cast<Label>(copy_->labels[at]), static_cast<std::int32_t>(i),
                static_cast<std::int32_t>(copied[k].dim));
        }
      }
      continue;
    }
    const auto dims = recorded_labels(result_->state, *inputs[i], dims_);
    for (std::size_t d = 0; d < dims.size() && !done(); ++d) {
      if (!dims[d])
        continue;
      for_each_label(dims[d], [&](Label l) {
        visit(l, static_cast<std::int32_t>(i), static_cast<std::int32_t>(d));
      });
    }
  }
}

const std::string& Reasons::quoted_name(std::size_t node) {
  if (quoted_names_.empty())
    quoted_names_.resize(graph_->size());
  std::string& quoted = quoted_names_[node];
  if (quoted.empty())
    quoted = json_text(graph_->node(node).name);
  return quoted;
}

const std::string& Reasons::quoted_sentence(const Reason& reason) {
  auto [it, added] = quoted_sentences_.try_emplace(&reason);
  if (added)
    it->second = json_text(reason.sentence);
  return it->second;
}

std::size_t Reasons::merge_node(std::size_t merge) const {
  return static_cast<std::size_t>(result_->provenance->merge(merge).node);
}

std::vector<std::string_view> Reasons::via_names(const LabelCause& cause) const {
  std::vector<std::string_view> names;
  for (std::size_t merge : cause.via)
    names.push_back(graph_->node(result_->provenance->merge(merge).node).name);
  return names;
}

namespace {

// The kind of an event that is not a handler's own mark; none for a mark, whose kind depends on
// where the label sat.
std::optional<ReasonKind> event_kind(const LabelEvent& event) {
  switch (event.phase) {
    case LabelPhase::Output:
      return ReasonKind::Output;
    case LabelPhase::NoHandler:
      return ReasonKind::NoHandler;
    case LabelPhase::Recovery:
      return ReasonKind::RecoveredError;
    case LabelPhase::Dropped:
      return ReasonKind::Dropped;
    case LabelPhase::Parameter:
    case LabelPhase::Handler:
      break;
  }
  if (event.created)
    return ReasonKind::FreshLabels;
  return std::nullopt;
}

}  // namespace

ReasonKind Reasons::kind(const Key& key) const {
  const LabelEvent& event = result_->provenance->events()[key.event];
  if (const std::optional<ReasonKind> kind = event_kind(event))
    return *kind;
  return handler_mark(event, key.input, key.dim).kind;
}

std::int64_t Reasons::event_node(const Key& key) const {
  return result_->provenance->events()[key.event].node;
}

Reason Reasons::describe(const Key& key) const {
  const LabelEvent& event = result_->provenance->events()[key.event];
  const std::optional<ReasonKind> kind = event_kind(event);
  if (!kind)
    return describe_handler_mark(event, key.input, key.dim);
  const ZavoNode& node = graph_->node(event.node);
  const std::string& name = node.name;
  const std::string& op = operation_of(node);
  switch (*kind) {
    case ReasonKind::Output:
      return told(ReasonKind::Output, node.id, "a model output (node " + name + ")",
                  [&] { return "are a model output (node " + name + ")"; });
    case ReasonKind::NoHandler:
      return told(
          ReasonKind::NoHandler, node.id,
          "the operation " + op + " has no handler, so its inputs' channels are kept (node " +
              name + ")",
          [&] { return "reach node " + name + ", an operation without a handler (" + op + ")"; });
    case ReasonKind::RecoveredError: {
      std::string error_kind = "an error";
      for (const NodeError& error : result_->recovered_errors) {
        if (error.node == node.id)
          error_kind = std::string(error_kind_name(error.kind));
      }
      return told(ReasonKind::RecoveredError, node.id,
                  "the handler of " + op + " failed at node " + name + " (" + error_kind +
                      "), so its inputs' channels are kept",
                  [&] {
                    return "reach node " + name + ", whose handler (" + op + ") failed (" +
                           error_kind + "), so its inputs' channels are kept";
                  });
    }
    case ReasonKind::Dropped: {
      std::string what = "dropped at node " + name + " (" + op +
                         "), which passes them on nowhere; taken out by the safe option";
      return told(ReasonKind::Dropped, node.id, what, [&] { return "are " + what; });
    }
    default:
      break;
  }
  std::string what = "made at node " + name + " (" + op +
                     ") for an input that carries no labels in the joined dimension";
  return told(ReasonKind::FreshLabels, node.id, "fresh labels " + what,
              [&] { return "were " + what; });
}

// A handler's own mark, told from what it means.
Reason Reasons::describe_handler_mark(const LabelEvent& event, std::int32_t input_index,
                                      std::int64_t dim) const {
  const Mark mark = handler_mark(event, input_index, dim);
  const ZavoNode& node = graph_->node(event.node);
  const std::string& name = node.name;
  const std::string& op = operation_of(node);
  const auto id = node.id;
  switch (mark.kind) {
    case ReasonKind::Kernel:
      return told(ReasonKind::Kernel, id, "a kernel dimension of convolution " + name,
                  [&] { return "are a kernel dimension of convolution " + name; });
    case ReasonKind::Spatial:
      return told(ReasonKind::Spatial, id,
                  "a spatial dimension of the input of convolution " + name,
                  [&] { return "are a spatial dimension of the input of convolution " + name; });
    case ReasonKind::GroupedConvolution: {
      std::string groups_text = std::to_string(mark.groups) + " groups";
      return told(ReasonKind::GroupedConvolution, id,
                  "a grouped convolution with " + groups_text + " (node " + name + ")", [&] {
                    return "reach node " + name + ", a grouped convolution with " + groups_text;
                  });
    }
    case ReasonKind::Unlabelled: {
      std::string what = "tied at node " + name + " (" + op + ") to a dimension without labels";
      if (mark.partner)
        what += " of " + node_text(*mark.partner, result_->rules);
      return told(ReasonKind::Unlabelled, id, what, [&] { return "are " + what; });
    }
    default:
      break;
  }
  std::string what(mark.what);
  if (mark.with_warning) {
    for (const NodeWarning& warning : result_->warnings) {
      if (warning.node == id) {
        what += " (warning: " + warning.message + ")";
        break;
      }
    }
  }
  return told(ReasonKind::Handler, id, "node " + name + " (" + op + ") " + what,
              [&] { return "reach node " + name + " (" + op + "), which " + what; });
}

// What a handler's mark means, decided from the node: its operation, where the label sat, its
// arguments.
Reasons::Mark Reasons::handler_mark(const LabelEvent& event, std::int32_t input_index,
                                    std::int64_t dim) const {
  const ZavoNode& node = graph_->node(event.node);
  const std::string& op = operation_of(node);
  const PruneGraphParserState& state = result_->state;

  auto unlabelled = [](const ZavoNode* partner) {
    return Mark{.kind = ReasonKind::Unlabelled, .partner = partner};
  };
  auto handler_says = [](std::string_view what) {
    return Mark{.kind = ReasonKind::Handler, .what = what};
  };

  const ZavoOpNode* call = node.as_op_node();
  if (!call)
    return handler_says("keeps them");
  const std::span<const ZavoNode* const> inputs = inputs_of(*call);
  const ZavoNode* at = input_index >= 0 && static_cast<std::size_t>(input_index) < inputs.size()
                           ? inputs[static_cast<std::size_t>(input_index)]
                           : nullptr;
  namespace categories = tensor_trace::op_categorization;

  if (op.starts_with("torch.nn.functional.conv")) {
    const ZavoNode* input = tensor_argument(*call, 0, "input");
    const ZavoNode* weight = tensor_argument(*call, 1, "weight");
    if (at && at == weight && dim >= 2)
      return {.kind = ReasonKind::Kernel};
    if (at && at == input && dim >= 2)
      return {.kind = ReasonKind::Spatial};
    if (!shape_known(input))
      return handler_says("does not know the shape of its input");
    const Value groups_value = get_argument({.arg_pos = 6,
                                             .arg_key = "groups",
                                             .args = call->args,
                                             .kwargs = call->kwargs,
                                             .default_value = 1});
    const std::int64_t groups = groups_value.is_int() ? groups_value.as_int() : 1;
    const auto& in_shape = *input->result_shape;
    const bool depthwise = in_shape.size() > 1 && node.result_shape &&
                           node.result_shape->size() > 1 && in_shape[1] == groups &&
                           (*node.result_shape)[1] == groups;
    if (groups != 1 && !depthwise)
      return {.kind = ReasonKind::GroupedConvolution, .groups = groups};
    if (at && at == weight)
      return unlabelled(input);
    if (at && at == input)
      return unlabelled(weight);
  } else if (op == "torch.nn.functional.linear") {
    const ZavoNode* input = tensor_argument(*call, 0, "input");
    const ZavoNode* weight = tensor_argument(*call, 1, "weight");
    if (at && at == weight)
      return unlabelled(input);
    if (at && at == input)
      return unlabelled(weight);
  } else if (categories::BINARY_ELEMENTWISE_OPS.contains(call->operation)) {
    const ZavoNode* first =
        call->args.size() > 0 && call->args[0].is_node() ? &call->args[0].as_node() : nullptr;
    const ZavoNode* second =
        call->args.size() > 1 && call->args[1].is_node() ? &call->args[1].as_node() : nullptr;
    if (!shape_known(first) || !shape_known(second))
      return handler_says("does not know the shapes of its operands");
    if (at)
      return unlabelled(at == first ? second : first);
  } else if (op == "torch.cat") {
    for (const ZavoNode* input : inputs) {
      if (!shape_known(input) ||
          std::ranges::find(*input->result_shape, 0) != input->result_shape->end()) {
        return handler_says("cannot join inputs of unknown or empty shape");
      }
    }
    for (const ZavoNode* input : inputs) {
      if (input != at && has_recorded_labels(state, *input) &&
          !get_prune_labels_by_dim(state, *input, dim)) {
        return unlabelled(input);
      }
    }
  } else if (categories::CHANNELWISE_OPS.contains(call->operation)) {
    const ZavoNode* source =
        !call->args.empty() && call->args[0].is_node() ? &call->args[0].as_node() : nullptr;
    std::optional<std::int64_t> channel_dim;
    try {
      if (source)
        channel_dim = get_prune_dimension(state, *source);
    } catch (const std::exception&) {
      channel_dim = std::nullopt;
    }
    if (channel_dim != 1)
      return handler_says("needs its input's labels in dimension 1 and only there");
    for (const ZavoNode* input : inputs) {
      if (input != source && has_recorded_labels(state, *input) &&
          !get_prune_labels_by_dim(state, *input, 0)) {
        return unlabelled(input);
      }
    }
  } else if (categories::UNARY_REDUCE_OPS.contains(call->operation)) {
    return handler_says("reduces over the dimension that holds them, or over every dimension");
  } else if (call->operation_name == "flatten") {
    return handler_says("joins the dimension that holds them with others into one of another size");
  }

  if (result_->rules == RuleSet::Extended) {
    if (std::optional<std::string_view> what =
            extended_mark(get_node_handler(*call, result_->rules)))
      return handler_says(*what);
    return unlabelled(nullptr);
  }
  // The catalogue's rules say what the node's warning, if any, says.
  return {.kind = ReasonKind::Handler, .what = "keeps them", .with_warning = true};
}

namespace {

// What the summary tells of the reason of a kept class.
struct KeptCause {
  ReasonKind kind;
  std::int64_t node;  // the node of its event
};

// The distinct reasons of kept classes, each entered once. Classes whose events share a key share
// its entry without describing it again; descriptions of different keys that read the same share
// one entry too.
class ReasonTable {
 public:
  // `out` receives the entries that `index` makes; a table that only tells kinds needs none.
  ReasonTable(const Report& report, KeptReasons* out = nullptr)
      : reasons_(*report.graph, *report.result, report.prunable),
        out_(out),
        events_(report.result->provenance->events().size()) {
    reasons_.read_parameters_from(report);
    reasons_.without_clauses();
  }

  // Where each of the kept labels `kept` sits among the inputs of the node whose mark took it
  // out, where that tells its reason ((-1, -1) elsewhere): the labels asked about one node are
  // found together, in one read of its inputs that ends once they all are.
  void find_places(std::span<const Label> kept) {
    // Until the places are found, a class asked about holds its node and kAsked.
    constexpr std::int32_t kAsked = -2;
    places_.assign(kept.size(), {-1, -1});
    event_of_.assign(kept.size(), kNoEvent);
    std::vector<std::uint32_t> start(reasons_.graph().size() + 1, 0);
    for (std::size_t i = 0; i < kept.size(); ++i) {
      const std::optional<LabelCause> cause = reasons_.cause(kept[i]);
      if (!cause)
        continue;
      event_of_[i] = static_cast<std::uint32_t>(cause->event);
      if (const std::optional<std::uint32_t> node = reasons_.place_node(*cause)) {
        places_[i] = {static_cast<std::int32_t>(*node), kAsked};
        ++start[*node + 1];
      }
    }
    for (std::size_t n = 1; n < start.size(); ++n)
      start[n] += start[n - 1];
    // The classes asked about each node, node after node, in label order.
    std::vector<std::uint32_t> order(start.back());
    std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (places_[i].second == kAsked)
        order[fill[static_cast<std::size_t>(places_[i].first)]++] = static_cast<std::uint32_t>(i);
    }
    std::vector<Label> labels;
    std::vector<std::pair<std::int32_t, std::int64_t>> found;
    for (std::size_t node = 0; node + 1 < start.size(); ++node) {
      if (start[node] == start[node + 1])
        continue;
      labels.clear();
      for (std::uint32_t k = start[node]; k < start[node + 1]; ++k)
        labels.push_back(kept[order[k]]);
      found.resize(labels.size());
      reasons_.find_places(static_cast<std::uint32_t>(node), labels, found);
      for (std::uint32_t k = start[node]; k < start[node + 1]; ++k) {
        const auto [input, dim] = found[k - start[node]];
        places_[order[k]] = {input, static_cast<std::int32_t>(dim)};
      }
    }
  }

  // The reason of the kept label `label`, the `i`-th of those `find_places` was given, and the
  // label its event hit; none when its cause was not recorded.
  std::optional<std::pair<std::uint32_t, Label>> index(std::size_t i, Label label) {
    const std::optional<LabelCause> cause = reasons_.cause(label);
    if (!cause)
      return std::nullopt;
    const Reasons::Key key = key_of(i, *cause);
    if (!cause->via.empty()) {
      std::vector<std::int64_t> via;
      via.reserve(cause->via.size());
      for (std::size_t merge : cause->via)
        via.push_back(static_cast<std::int64_t>(reasons_.merge_node(merge)));
      return std::pair{entry(reasons_.reason(key), std::move(via)), cause->label};
    }
    return std::pair{keyed(key, [&] { return entry(reasons_.describe(key), {}); }), cause->label};
  }

  // The kind of the reason of the `i`-th kept label `find_places` was given, and the node of its
  // event, without telling the reason; none when its cause was not recorded. The ties that
  // carried it change neither.
  std::optional<KeptCause> kind(std::size_t i) {
    if (event_of_[i] == kNoEvent)
      return std::nullopt;
    const Reasons::Key key{event_of_[i], places_[i].first, places_[i].second};
    const std::uint32_t kind =
        keyed(key, [&] { return static_cast<std::uint32_t>(reasons_.kind(key)); });
    return KeptCause{static_cast<ReasonKind>(kind), reasons_.event_node(key)};
  }

 private:
  static constexpr std::uint32_t kNone = 0xffffffffu;

  // A class whose key does not depend on a place has none in `places_`.
  Reasons::Key key_of(std::size_t i, const LabelCause& cause) const {
    return {cause.event, places_[i].first, places_[i].second};
  }

  // The index of the entry for `reason` carried by ties at `via`, entered when new. Every
  // sentence names its node, so only the entries of one node can read the same.
  std::uint32_t entry(const Reason& reason, std::vector<std::int64_t> via) {
    quoted_.clear();
    append_json_text(quoted_, reason.sentence);
    const auto node = static_cast<std::size_t>(reason.node);
    if (first_of_node_.empty())
      first_of_node_.assign(reasons_.graph().size(), kNone);
    for (std::uint32_t e = first_of_node_[node]; e != kNone; e = next_of_entry_[e]) {
      const KeptReason& known = out_->table[e];
      if (known.kind == reason.kind && known.quoted_text == quoted_ && known.via == via)
        return e;
    }
    auto* chars = static_cast<char*>(out_->texts.allocate(quoted_.size(), 1));
    std::copy(quoted_.begin(), quoted_.end(), chars);
    out_->table.push_back(
        {reason.kind, reason.node, std::string_view(chars, quoted_.size()), std::move(via)});
    const auto e = static_cast<std::uint32_t>(out_->table.size() - 1);
    next_of_entry_.push_back(first_of_node_[node]);
    first_of_node_[node] = e;
    return e;
  }

  // The value kept for `key` (one use of a table keeps one kind of value), made by `make()` when
  // the key is first met.
  template <typename Make>
  std::uint32_t keyed(const Reasons::Key& key, Make make) {
    if (has_last_ && last_key_ == key)
      return last_value_;
    if (first_key_of_event_.empty())
      first_key_of_event_.assign(events_, kNone);
    std::uint32_t& first = first_key_of_event_[key.event];
    std::uint32_t k = first;
    while (k != kNone && (keys_[k].input != key.input || keys_[k].dim != key.dim))
      k = keys_[k].next;
    if (k == kNone) {
      const std::uint32_t value = make();
      keys_.push_back({static_cast<std::int32_t>(key.dim), key.input, value, first});
      k = first = static_cast<std::uint32_t>(keys_.size() - 1);
    }
    last_key_ = key;
    has_last_ = true;
    last_value_ = keys_[k].value;
    return last_value_;
  }

  Reasons reasons_;
  KeptReasons* out_;
  std::size_t events_;
  // The keys met, chained per event (events have one key, or one per place a handler marked).
  struct KeyEntry {
    std::int32_t dim;
    std::int32_t input;
    std::uint32_t value;
    std::uint32_t next;  // the event's key before it
  };
  std::vector<std::uint32_t> first_key_of_event_;  // by event; made on first use
  std::vector<KeyEntry> keys_;
  Reasons::Key last_key_{};
  bool has_last_ = false;
  std::uint32_t last_value_ = 0;
  std::vector<std::pair<std::int32_t, std::int32_t>> places_;  // by kept class: see find_places
  // By kept class: the event of its cause, or kNoEvent.
  std::vector<std::uint32_t> event_of_;
  static constexpr std::uint32_t kNoEvent = 0xffffffffu;
  std::vector<std::uint32_t> first_of_node_;  // by node id: its latest entry
  std::vector<std::uint32_t> next_of_entry_;  // by entry: the node's entry before it
  std::string quoted_;
};

}  // namespace

const KeptReasons& kept_reasons(const Report& report) {
  if (!report.kept_reasons_) {
    auto reasons = std::make_shared<KeptReasons>();
    reasons->of_class.reserve(report.kept_classes.size());
    if (report.result->provenance) {
      ReasonTable table(report, reasons.get());
      table.find_places(report.kept_classes);
      for (std::size_t i = 0; i < report.kept_classes.size(); ++i) {
        const Label label = report.kept_classes[i];
        const auto found = table.index(i, label);
        reasons->of_class.push_back(found ? found->first : KeptReasons::kNotRecorded);
        if (found && found->second != label)
          reasons->hits.emplace_back(reasons->of_class.size() - 1, found->second);
      }
    } else {
      reasons->of_class.assign(report.kept_classes.size(), KeptReasons::kNotRecorded);
    }
    report.kept_reasons_ = std::move(reasons);
  }
  return *report.kept_reasons_;
}

const KeptReasons* kept_reasons_if_made(const Report& report) {
  return report.kept_reasons_.get();
}

void append_group_reason(std::string& out, Reasons& reasons, const ChannelGroup& group) {
  if (group.prunable)
    return;
  const std::optional<LabelCause> cause = reasons.cause(group.label);
  if (!cause)
    return;
  const Reason& reason = reasons.reason(*cause, group.label);
  out += ", \"reason\": {\"event\": \"";
  out += reason_kind_name(reason.kind);
  out += "\", \"node\": ";
  out += reasons.quoted_name(static_cast<std::size_t>(reason.node));
  out += ", \"label\": " + std::to_string(cause->label) + ", \"text\": ";
  out += reasons.quoted_sentence(reason);
  out += "}, \"via\": [";
  bool first = true;
  for (std::size_t merge : cause->via) {
    if (!first)
      out += ", ";
    first = false;
    out += reasons.quoted_name(reasons.merge_node(merge));
  }
  out += "]";
}

void append_dropped(std::string& out, const Report& report) {
  const tensor_trace::Graph& graph = *report.graph;
  out += "  \"dropped\": [";
  bool first = true;
  for (const DroppedLabels& drop : report.result->dropped) {
    out += first ? "\n    " : ",\n    ";
    first = false;
    out += "{\"node\": " + json_text(graph.node(static_cast<std::size_t>(drop.node)).name) +
           ", \"labels\": [";
    for (std::size_t i = 0; i < drop.labels.size(); ++i)
      out += (i ? ", " : "") + std::to_string(drop.labels[i]);
    out += "], \"parameters\": [";
    for (std::size_t i = 0; i < drop.parameters.size(); ++i) {
      out += i ? ", " : "";
      append_json_text(out, graph.node(static_cast<std::size_t>(drop.parameters[i])).name);
    }
    out += "]}";
  }
  out += first ? "],\n" : "\n  ],\n";
}

namespace {

std::string_view cause_title(ReasonKind kind) {
  switch (kind) {
    case ReasonKind::Output:
      return "model outputs";
    case ReasonKind::NoHandler:
      return "operations without a handler";
    case ReasonKind::RecoveredError:
      return "handler errors given to the default handler";
    case ReasonKind::FreshLabels:
      return "fresh labels for inputs without labels";
    case ReasonKind::Kernel:
      return "kernel dimensions";
    case ReasonKind::Spatial:
      return "spatial dimensions";
    case ReasonKind::GroupedConvolution:
      return "grouped convolutions";
    case ReasonKind::Unlabelled:
      return "ties to dimensions without labels";
    case ReasonKind::Dropped:
      return "dropped labels (safe option)";
    case ReasonKind::Handler:
      return "other handler decisions";
  }
  return "other handler decisions";
}

// At most this many operations follow a cause; the rest are counted.
constexpr std::size_t kOperationsPerCause = 4;

}  // namespace

namespace {

// Calls `visit(cause)` for each of `report`'s kept classes in order, with the kind and the node of
// its reason (none when its cause was not recorded). Read from the reasons when something has
// worked them out already; else worked out without describing any reason, since only their kinds
// and nodes are counted.
template <typename Visit>
void for_each_kept_cause(const Report& report, Visit visit) {
  if (const KeptReasons* reasons = kept_reasons_if_made(report)) {
    for (const std::uint32_t index : reasons->of_class) {
      if (index == KeptReasons::kNotRecorded) {
        visit(std::optional<KeptCause>());
      } else {
        const KeptReason& reason = reasons->table[index];
        visit(std::optional<KeptCause>(KeptCause{reason.kind, reason.node}));
      }
    }
    return;
  }
  ReasonTable table(report);
  table.find_places(report.kept_classes);
  for (std::size_t i = 0; i < report.kept_classes.size(); ++i)
    visit(table.kind(i));
}

}  // namespace

void append_cause_summary(std::string& out, const Report& report) {
  const ParseResult& result = *report.result;
  if (!result.provenance)
    return;
  // Per kind: its classes, its distinct nodes and the first of them. Which kinds each node has
  // met is kept by node; the classes of nodes without a handler are also kept by node, in runs of
  // one node, and merged by operation below.
  struct Tally {
    std::size_t classes = 0;
    std::size_t nodes = 0;
    std::int64_t first_node = 0;
  };
  constexpr std::size_t kKinds = static_cast<std::size_t>(ReasonKind::Handler) + 1;
  static_assert(kKinds <= 16);
  std::array<Tally, kKinds> tallies;
  std::vector<std::uint16_t> kinds_of_node(report.graph->size(), 0);
  std::vector<std::pair<std::int64_t, std::size_t>> no_handler;
  std::size_t unrecorded = 0;
  for_each_kept_cause(report, [&](const std::optional<KeptCause>& cause) {
    if (!cause) {
      ++unrecorded;
      return;
    }
    const auto kind = static_cast<std::size_t>(cause->kind);
    Tally& tally = tallies[kind];
    ++tally.classes;
    std::uint16_t& met = kinds_of_node[static_cast<std::size_t>(cause->node)];
    if (!(met & (1u << kind))) {
      met = static_cast<std::uint16_t>(met | (1u << kind));
      if (tally.nodes++ == 0)
        tally.first_node = cause->node;
    }
    if (cause->kind == ReasonKind::NoHandler) {
      if (no_handler.empty() || no_handler.back().first != cause->node)
        no_handler.emplace_back(cause->node, 0);
      ++no_handler.back().second;
    }
  });
  if (unrecorded == 0 &&
      std::ranges::all_of(tallies, [](const Tally& tally) { return tally.classes == 0; }))
    return;

  std::vector<std::pair<ReasonKind, const Tally*>> order;
  for (std::size_t kind = 0; kind < kKinds; ++kind) {
    if (tallies[kind].classes)
      order.emplace_back(static_cast<ReasonKind>(kind), &tallies[kind]);
  }
  // Leading causes first; ties in the order of the kinds.
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    return a.second->classes > b.second->classes;
  });
  out += "kept classes by cause:\n";
  for (const auto& [kind, tally] : order) {
    out += "  " + std::string(cause_title(kind)) + ": " +
           plural(tally->classes, "class", "classes") + " (";
    if (kind == ReasonKind::NoHandler) {
      // operation -> (classes, nodes); ordered, so that equal counts are listed in the order of
      // the operations' names.
      std::ranges::sort(no_handler);
      std::map<std::string_view, std::pair<std::size_t, std::size_t>> by_operation;
      for (std::size_t i = 0; i < no_handler.size(); ++i) {
        const auto [node, classes] = no_handler[i];
        auto& [operation_classes, nodes] =
            by_operation[operation_of(report.graph->node(static_cast<std::size_t>(node)))];
        operation_classes += classes;
        if (i == 0 || no_handler[i - 1].first != node)
          ++nodes;
      }
      std::vector<std::pair<std::string_view, std::pair<std::size_t, std::size_t>>> operations(
          by_operation.begin(), by_operation.end());
      std::stable_sort(operations.begin(), operations.end(), [](const auto& a, const auto& b) {
        return a.second.first > b.second.first;
      });
      for (std::size_t i = 0; i < operations.size() && i < kOperationsPerCause; ++i) {
        out += (i ? ", " : "") + std::string(operations[i].first) + ": " +
               plural(operations[i].second.second, "node", "nodes");
      }
      if (operations.size() > kOperationsPerCause)
        out += ", and " + std::to_string(operations.size() - kOperationsPerCause) + " more";
    } else if (tally->nodes == 1) {
      out += "node " + report.graph->node(static_cast<std::size_t>(tally->first_node)).name;
    } else {
      out += plural(tally->nodes, "node", "nodes");
    }
    out += ")\n";
  }
  if (unrecorded)
    out += "  not recorded: " + plural(unrecorded, "class", "classes") + "\n";
}

void append_dropped_summary(ChunkedWriter& writer, const Report& report) {
  const ParseResult& result = *report.result;
  if (result.dropped.empty())
    return;
  std::string& out = writer.text();
  const tensor_trace::Graph& graph = *report.graph;
  bool taken_out = true;
  for (const DroppedLabels& drop : result.dropped) {
    for (Label label : drop.labels)
      taken_out = taken_out && !is_label_prunable(result.state, label);
  }
  out += "\ndropped labels: " + plural(result.dropped.size(), "node", "nodes") +
         (taken_out ? " (taken out of pruning by the safe option)\n"
                    : " (still prunable, but pruning them may change a shape the model relies "
                      "on; --safe takes them out)\n");
  for (const DroppedLabels& drop : result.dropped) {
    const ZavoNode& node = graph.node(static_cast<std::size_t>(drop.node));
    out += "  " + node.name + " (" + operation_of(node) +
           "): " + plural(drop.labels.size(), "label", "labels");
    for (std::size_t i = 0; i < drop.parameters.size(); ++i) {
      out += i ? ", " : ", channels of ";
      out += graph.node(static_cast<std::size_t>(drop.parameters[i])).name;
    }
    out += "\n";
    writer.maybe_flush();
  }
}

namespace {

// Index ranges, "0-3, 7, 9-12".
std::string ranges_text(const std::vector<std::int64_t>& indices) {
  std::string out;
  for (std::size_t i = 0; i < indices.size();) {
    std::size_t j = i;
    while (j + 1 < indices.size() && indices[j + 1] == indices[j] + 1)
      ++j;
    out += (out.empty() ? "" : ", ") + std::to_string(indices[i]);
    if (j > i)
      out += "-" + std::to_string(indices[j]);
    i = j + 1;
  }
  return out;
}

// (dimension, index) of the label at `offset` among a parameter's labels, which are created
// dimension by dimension for every dimension larger than 1.
std::optional<std::pair<std::int64_t, std::int64_t>> parameter_position(const ZavoNode& parameter,
                                                                        Label offset) {
  if (!parameter.result_shape)
    return std::nullopt;
  const auto& shape = *parameter.result_shape;
  for (std::size_t d = 0; d < shape.size(); ++d) {
    if (shape[d] <= 1)
      continue;
    if (offset < shape[d])
      return std::pair{static_cast<std::int64_t>(d), offset};
    offset -= shape[d];
  }
  return std::nullopt;
}

// Tells, for one kept channel, the ties that lead from its own label to the event that took its
// class out of pruning.
class Storyteller {
 public:
  Storyteller(const tensor_trace::Graph& graph, const ParseResult& result)
      : graph_(graph), recorder_(*result.provenance), reasons_(graph, result) {
    for (std::size_t m = 0; m < recorder_.merge_count(); ++m)
      parent_.try_emplace(recorder_.merge(m).folded, m);
  }

  std::string story(const ZavoNode& parameter, std::int64_t dim, std::int64_t index, Label label) {
    const std::optional<LabelCause> cause = reasons_.cause(label);
    if (!cause)
      return "no reason was recorded";
    auto merges = [this](std::size_t m) { return recorder_.merge(m); };
    // The labels the refusal passed through, from the event's label to this class.
    std::vector<Label> chain{cause->label};
    for (std::size_t merge : cause->via)
      chain.push_back(merges(merge).base);
    // The channel's own label climbs its merges until it meets that path.
    std::vector<std::pair<std::uint32_t, Label>> steps;  // (node of the tie, label tied to)
    Label own = own_label(parameter, dim, index).value_or(label);
    auto on_chain = [&chain](Label l) { return std::ranges::find(chain, l) != chain.end(); };
    while (!on_chain(own)) {
      auto it = parent_.find(own);
      if (it == parent_.end())
        break;
      const LabelMerge merge = merges(it->second);
      steps.emplace_back(merge.node, merge.base);
      own = merge.base;
    }
    auto met = std::ranges::find(chain, own);
    if (met == chain.end())
      met = std::prev(chain.end());
    // Then down the path to the event's label.
    for (auto k = static_cast<std::size_t>(met - chain.begin()); k > 0; --k) {
      const LabelMerge merge = merges(cause->via[k - 1]);
      steps.emplace_back(merge.node, merge.folded);
    }

    const Reason& reason = reasons_.reason(*cause, label);
    if (steps.empty())
      return "they " + reason.clause;
    std::string out;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      out += i ? ", which are tied at " : "tied at ";
      out += graph_.node(steps[i].first).name + " to " + origin(steps[i].second);
    }
    return out + ", which " + reason.clause;
  }

 private:
  std::optional<Label> own_label(const ZavoNode& parameter, std::int64_t dim, std::int64_t index) {
    std::optional<Label> first = recorder_.first_label(parameter.id);
    if (!first)
      return std::nullopt;
    Label label = *first + index;
    for (std::int64_t d = 0; d < dim; ++d) {
      const std::int64_t size = (*parameter.result_shape)[static_cast<std::size_t>(d)];
      label += size > 1 ? size : 0;
    }
    return label;
  }

  std::string origin(Label label) const {
    const auto creation = recorder_.creation(label);
    if (!creation)
      return "other channels";
    const ZavoNode& node = graph_.node(creation->node);
    if (node.kind != tensor_trace::NodeKind::Parameter)
      return "the fresh labels made at node " + node.name;
    const auto position = parameter_position(node, label - creation->first);
    return "the channels of " + node.name +
           (position ? " dim " + std::to_string(position->first) : std::string());
  }

  const tensor_trace::Graph& graph_;
  const ProvenanceRecorder& recorder_;
  Reasons reasons_;
  std::unordered_map<Label, std::size_t> parent_;  // folded label -> the merge that folded it
};

}  // namespace

std::string explain_text(const tensor_trace::Graph& graph, const ParseResult& result,
                         const ZavoNode& parameter, std::optional<std::int64_t> dim,
                         std::optional<std::int64_t> index) {
  const PruneGraphParserState& state = result.state;
  const std::string& name = parameter.name;
  const std::string shape = tensor_trace::shape_text(parameter.result_shape);
  if (!parameter.result_shape)
    return name + ": the shape is unknown, so it has no channels\n";
  const auto rank = static_cast<std::int64_t>(parameter.result_shape->size());
  if (dim && (*dim < 0 || *dim >= rank))
    throw std::out_of_range(name + " " + shape + " has no dimension " + std::to_string(*dim));
  if (index) {
    const std::int64_t size = (*parameter.result_shape)[static_cast<std::size_t>(dim.value_or(0))];
    if (*index < 0 || *index >= size) {
      throw std::out_of_range("dimension " + std::to_string(dim.value_or(0)) + " of " + name + " " +
                              shape + " has no index " + std::to_string(*index));
    }
  }
  if (!has_recorded_labels(state, parameter))
    return name + ": not reached, the parse stopped before it\n";

  std::optional<Storyteller> teller;
  if (result.provenance)
    teller.emplace(graph, result);
  std::string out;
  for (std::int64_t d = dim.value_or(0); d < (dim ? *dim + 1 : rank); ++d) {
    const std::int64_t size = (*parameter.result_shape)[static_cast<std::size_t>(d)];
    const std::string prefix = name + " dim " + std::to_string(d) + ": ";
    const DimensionLabels labels = get_prune_labels_by_dim(state, parameter, d);
    if (!labels) {
      out += prefix + plural(static_cast<std::size_t>(size), "channel", "channels") +
             ", nothing to prune\n";
      continue;
    }
    // Stories in the order of their first channel; "" stands for prunable.
    std::vector<std::pair<std::string, std::vector<std::int64_t>>> stories;
    std::unordered_map<std::string, std::size_t> story_index;
    const std::int64_t first = index.value_or(0);
    const std::int64_t last = index ? *index + 1 : static_cast<std::int64_t>(labels->size());
    for (std::int64_t i = first; i < last; ++i) {
      const Label label = (*labels)[static_cast<std::size_t>(i)];
      std::string story;
      if (!is_label_prunable(state, label))
        story = teller ? teller->story(parameter, d, i, label) : "no reason was recorded";
      auto [it, added] = story_index.emplace(story, stories.size());
      if (added)
        stories.push_back({std::move(story), {}});
      stories[it->second].second.push_back(i);
    }
    const bool whole = stories.size() == 1 && !index;
    for (const auto& [story, indices] : stories) {
      out += prefix + plural(indices.size(), "channel", "channels") +
             (story.empty() ? " prunable" : " kept");
      if (!whole)
        out += " (" + ranges_text(indices) + ")";
      out += story.empty() ? "\n" : ": " + story + "\n";
    }
  }
  return out;
}

}  // namespace zavo::graph
