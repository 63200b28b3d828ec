#pragma once
// Why channels are not prunable, in words: the reason of each refusal the parse recorded, the
// report's `reason`, `via` and `dropped` fields, the summary's causes and dropped labels, and the
// explanation of one parameter's channels.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "zavo/parse/parse.hpp"
#include "zavo/platform/arena.hpp"
#include "zavo/report/json_writer.hpp"
#include "zavo/report/report.hpp"

namespace zavo::graph {

// What kind of event took channels out of pruning.
enum class ReasonKind {
  Output,              // a model output
  NoHandler,           // an operation without a handler
  RecoveredError,      // a handler failed in a lenient parse and the default handler took over
  FreshLabels,         // labels made non-prunable for an input that carries none
  Kernel,              // a convolution's kernel dimension
  Spatial,             // a spatial dimension of a convolution's input
  GroupedConvolution,  // a grouped convolution that is not depthwise
  Unlabelled,          // tied to a dimension that carries no labels
  Dropped,             // dropped by a node and taken out by the safe option
  Handler,             // another decision of the node's handler
};

// `output`, `no_handler`, `recovered_error`, `fresh_labels`, `kernel`, `spatial`,
// `grouped_convolution`, `unlabelled`, `dropped`, `handler`.
std::string_view reason_kind_name(ReasonKind kind);

struct Reason {
  ReasonKind kind;
  std::int64_t node;
  // A phrase that stands alone: "a model output (node fc)".
  std::string sentence;
  // The same continuing "they ..." or "which ...": "are a model output (node fc)".
  std::string clause;
};

// The reasons of one parse's events, described once each on demand.
class Reasons {
 public:
  // `prunable`: 1 by label when it is prunable, as the report holds it; without it the table is
  // read from the parse when first needed.
  Reasons(const tensor_trace::Graph& graph, const ParseResult& result,
          std::span<const std::uint8_t> prunable = {});
  Reasons(const Reasons&) = delete;
  Reasons& operator=(const Reasons&) = delete;

  // Reads the labels of `report`'s parameters from its copy of them, when it has made one, rather
  // than from the label store (the same labels, read faster). `report` must outlive these
  // reasons.
  void read_parameters_from(const Report& report);

  // Describes reasons without their clauses (left empty), for callers that tell only the
  // sentences.
  void without_clauses() { clauses_ = false; }

  // The recorded cause of a label that is not prunable; none without provenance.
  std::optional<LabelCause> cause(Label label) const;
  // What tells the reasons of one event apart: for a handler's mark, where the label sat among
  // the node's inputs; (-1, -1) for every other event.
  struct Key {
    std::size_t event;
    std::int32_t input;
    std::int64_t dim;
    auto operator<=>(const Key&) const = default;
  };
  // The key of `cause`, the cause of the live label `label`.
  Key key(const LabelCause& cause, Label label);
  // The node among whose inputs the place of a label with `cause` tells its key (a handler's
  // mark); none when the key does not depend on the place.
  std::optional<std::uint32_t> place_node(const LabelCause& cause) const;
  // For each of `labels` (distinct labels that are not prunable): where it first sits among the
  // inputs of `node`, (-1, -1) when nowhere. The inputs are read once, and only until every
  // label has been found.
  void find_places(std::uint32_t node, std::span<const Label> labels,
                   std::span<std::pair<std::int32_t, std::int64_t>> places);
  // The reason of `key`, described anew on every call.
  Reason describe(const Key& key) const;
  // The kind of the reason of `key` and the node of its event, without describing it.
  ReasonKind kind(const Key& key) const;
  std::int64_t event_node(const Key& key) const;
  // The reason of `cause`, the cause of the live label `label`, described once per key.
  const Reason& reason(const LabelCause& cause, Label label);
  const Reason& reason(const Key& key);
  // The node name of each merge of `cause.via`, in order.
  std::vector<std::string_view> via_names(const LabelCause& cause) const;
  const tensor_trace::Graph& graph() const { return *graph_; }
  // The node of merge `merge` of the provenance.
  std::size_t merge_node(std::size_t merge) const;
  // JSON texts, made once each: a node's name, a reason's sentence.
  const std::string& quoted_name(std::size_t node);
  const std::string& quoted_sentence(const Reason& reason);

 private:
  // (input index, dimension) of the first place where the kept label `label` sits among the
  // node's inputs.
  std::pair<std::int32_t, std::int64_t> place(std::uint32_t node, Label label);
  Reason describe_handler_mark(const LabelEvent& event, std::int32_t input_index,
                               std::int64_t dim) const;
  // What a handler's mark means, decided before anything is told of it.
  struct Mark {
    ReasonKind kind;
    std::string_view what;                            // Handler: what the node does to them
    const tensor_trace::ZavoNode* partner = nullptr;  // Unlabelled: the tensor without labels
    bool with_warning = false;                        // Handler: followed by the node's warning
    std::int64_t groups = 0;                          // GroupedConvolution
  };
  Mark handler_mark(const LabelEvent& event, std::int32_t input_index, std::int64_t dim) const;
  // A reason whose clause is made by `clause()` only when these reasons tell clauses.
  template <typename Clause>
  Reason told(ReasonKind kind, std::int64_t node, std::string sentence, Clause clause) const {
    return {kind, node, std::move(sentence), clauses_ ? std::string(clause()) : std::string()};
  }
  bool clauses_ = true;

  const tensor_trace::Graph* graph_;
  const ParseResult* result_;
  std::map<Key, Reason> cache_;
  // The entry found last: classes asked about in label order mostly share one.
  std::map<Key, Reason>::iterator last_ = cache_.end();
  // Per node asked about: every kept label among its inputs with its (input, dimension), sorted
  // by label, first place first; and where the last answer was, since labels are mostly asked
  // about in ascending order. Kept labels are asked about node after node, so only the nodes
  // asked about last keep their index; a node asked about again after that is indexed again.
  struct Place {
    Label label;
    std::int32_t input;
    std::int32_t dim;
  };
  struct NodePlaces {
    std::uint32_t node = 0xffffffffu;
    std::uint64_t used = 0;  // when it was last asked about
    std::size_t last = 0;
    bool sorted = false;  // by label; a short list is left in the order of the places
    std::vector<Place> list;
  };
  NodePlaces& places_of(std::uint32_t node);
  // The distinct inputs of `call`, worked out once per call: its places and its reasons are
  // asked for apart. Valid until the inputs of another call are first asked for.
  std::span<const tensor_trace::ZavoNode* const> inputs_of(
      const tensor_trace::ZavoOpNode& call) const;
  struct InputRange {
    std::uint32_t begin = 0xffffffffu;  // into `input_pool_`; none yet
    std::uint32_t count = 0;
  };
  mutable std::vector<InputRange> inputs_at_;  // by node id; made on first use
  mutable std::vector<const tensor_trace::ZavoNode*> input_pool_;
  mutable pruning::engine::utils::TensorLabels dims_;  // scratch of `for_each_input_label`
  // Calls `visit(label, input, dimension)` for every label among the node's inputs, in order,
  // until `done()` before a dimension.
  template <typename Visit, typename Done>
  void for_each_input_label(std::uint32_t node, Visit visit, Done done) const;
  std::vector<std::pair<Label, std::size_t>> asked_;  // scratch of `find_places`
  std::array<NodePlaces, 8> node_places_;
  std::uint64_t clock_ = 0;
  const ParameterLabels* copy_ = nullptr;  // the copy of the parameters' labels that is read
  // By node id: its first entry in `copy_->dims`, or kNotCopied.
  std::vector<std::uint32_t> first_copied_dim_;
  static constexpr std::uint32_t kNotCopied = 0xffffffffu;
  std::span<const std::uint8_t> prunable_;  // by label; read when a node is first indexed
  std::vector<std::uint8_t> own_prunable_;  // the same, when the caller had none to lend
  std::vector<std::string> quoted_names_;   // by node id; empty until asked for
  std::unordered_map<const Reason*, std::string> quoted_sentences_;
};

// One distinct reason why classes are kept: the event, its node, the sentence that tells it,
// and the nodes whose ties carried it to the class.
struct KeptReason {
  ReasonKind kind;
  std::int64_t node;
  std::string_view quoted_text;  // the sentence, as JSON text, held by the `KeptReasons`
  std::vector<std::int64_t> via;
};

// The reasons of a report's kept classes, each distinct reason once.
struct KeptReasons {
  std::vector<KeptReason> table;
  platform::Arena texts;  // the characters of the table's texts
  // For `report.kept_classes[i]`: its reason's index in `table`, or kNotRecorded.
  std::vector<std::uint32_t> of_class;
  static constexpr std::uint32_t kNotRecorded = 0xffffffffu;
  // (i, label) for each kept class `report.kept_classes[i]` whose event hit another label,
  // which ties then carried to it; ascending by i. Every other event hit the class's own label.
  std::vector<std::pair<std::size_t, Label>> hits;
};

// The reasons of `report`'s kept classes, worked out on first use and kept with the report (the
// summary and the report file both need them).
const KeptReasons& kept_reasons(const Report& report);
// The same when something has worked them out already; else none.
const KeptReasons* kept_reasons_if_made(const Report& report);

// Appends `, "reason": {...}, "via": [...]` for a group that is not prunable and has a recorded
// cause; nothing otherwise.
void append_group_reason(std::string& out, Reasons& reasons, const ChannelGroup& group);

// Appends the report's `"dropped": [...]` list (same layout as the other lists).
void append_dropped(std::string& out, const Report& report);

// The summary's blocks: the kept classes counted by cause, and the nodes that drop labels.
void append_cause_summary(std::string& out, const Report& report);
void append_dropped_summary(ChunkedWriter& writer, const Report& report);

// For each channel of `parameter` (dimension `dim` or all, index `index` or all): prunable, or
// kept with its reason and the ties that lead there. Channels that share one story are told
// once. Raises `std::out_of_range` for a dimension or index the parameter does not have.
std::string explain_text(const tensor_trace::Graph& graph, const ParseResult& result,
                         const tensor_trace::ZavoNode& parameter,
                         std::optional<std::int64_t> dim = std::nullopt,
                         std::optional<std::int64_t> index = std::nullopt);

}  // namespace zavo::graph
