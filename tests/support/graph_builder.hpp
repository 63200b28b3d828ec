#pragma once
// A small graph builder for tests: tensors with explicit labels, calls by qualified name, and a
// pruning state, so that a handler case reads in a few lines.
//
//   GraphBuilder g;
//   auto& x = g.tensor("x", {1, 4, 8, 8}, {none, g.L({0, 1, 2, 3}), none, none});
//   auto& y = g.call("torch.nn.functional.relu", {x}, {}, Shape{1, 4, 8, 8});
//   g.run(y);
//   EXPECT_EQ(g.text(y), "[None, [0, 1, 2, 3], None, None]");

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zavo/pruning/engine/node_handlers/node_handlers.hpp"
#include "zavo/pruning/engine/utils.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::testing {

using pruning::engine::utils::DimensionLabels;
using pruning::engine::utils::Label;
using pruning::engine::utils::PruneGraphParserState;
using pruning::engine::utils::TensorLabels;
using tensor_trace::Args;
using tensor_trace::Kwargs;
using tensor_trace::Sequence;
using tensor_trace::Shape;
using tensor_trace::Value;
using tensor_trace::ZavoNode;
using tensor_trace::ZavoOpNode;

// A dimension without labels.
inline const DimensionLabels none = nullptr;

class GraphBuilder {
 public:
  tensor_trace::Graph graph;
  PruneGraphParserState state;

  // A new shared label list of the state.
  DimensionLabels L(std::initializer_list<Label> labels);
  // A parameter with the given labels recorded; each label gets a prunability entry (true
  // unless it already has one). The state's label counter moves past every label used.
  const ZavoNode& tensor(std::string name, std::optional<Shape> shape, TensorLabels labels);
  // A call of the operation with that qualified name; its operation name is the text after the
  // last '.' unless given.
  const ZavoOpNode& call(std::string_view op, Args args, Kwargs kwargs = {},
                         std::optional<Shape> shape = std::nullopt,
                         std::optional<std::string> operation_name = std::nullopt);

  // Runs the handler the module chooses for `node`.
  void run(const ZavoOpNode& node);

  // The node's recorded labels.
  TensorLabels labels(const ZavoNode& node) const;
  // The node's recorded labels as text, `[None, [0, 1]]`; `<unrecorded>` when it has none.
  std::string text(const ZavoNode& node) const;
  bool recorded(const ZavoNode& node) const;
  // The label's prunability; throws when the label has no entry.
  bool prunable(Label label) const;
  bool has_label(Label label) const;
  // Every prunability entry, in label order.
  std::vector<std::pair<Label, bool>> flags() const;

 private:
  std::string auto_name();
};

// Marks a bool-valued argument (a plain `true` would otherwise read as a boolean anyway, this
// is only for readability of positional argument lists).
inline Value B(bool b) {
  return Value(b);
}

}  // namespace zavo::testing
