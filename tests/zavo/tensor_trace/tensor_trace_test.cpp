#include "zavo/tensor_trace.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "zavo/platform/errors.hpp"
#include "zavo/tensor_trace/op_categorization.hpp"
#include "zavo/utils/argument_utils.hpp"

namespace zavo::tensor_trace {
namespace {

using namespace op_categorization;
using utils::argument_utils::get_argument;

TEST(Operations, AreInternedOnePerName) {
  auto relu = intern_operation("torch.nn.functional.relu");
  EXPECT_EQ(relu, intern_operation("torch.nn.functional.relu"));
  EXPECT_TRUE(relu->in_catalogue());
  EXPECT_EQ(relu->short_name(), "relu");
  auto custom = intern_operation("my.module.op");
  EXPECT_EQ(custom, intern_operation("my.module.op"));
  EXPECT_FALSE(custom->in_catalogue());
  EXPECT_EQ(find_catalogue_operation("my.module.op"), nullptr);
  EXPECT_EQ(intern_operation("torch.Tensor.shape.__get__")->short_name(), "__get__");
}

TEST(Operations, CategoriesArePairwiseDisjointAndKeepTheirOrder) {
  std::set<OperationKey> seen;
  std::size_t total = 0;
  for (const OperationCategory* category : {&ELEMENTWISE_OPS, &BINARY_ELEMENTWISE_OPS,
                                            &CHANNELWISE_OPS, &DROPOUT_OPS, &UNARY_REDUCE_OPS}) {
    total += category->size();
    seen.insert(category->begin(), category->end());
  }
  EXPECT_EQ(seen.size(), total);
  EXPECT_EQ(ELEMENTWISE_OPS[0]->qualified_name(), "torch.nn.functional.relu");
  EXPECT_EQ(ELEMENTWISE_OPS.size(), 97u);
  EXPECT_EQ(BINARY_ELEMENTWISE_OPS.size(), 38u);
  EXPECT_EQ(DROPOUT_OPS.size(), 10u);
  EXPECT_EQ(UNARY_REDUCE_OPS.size(), 18u);
  EXPECT_TRUE(CHANNELWISE_OPS.contains(intern_operation("torch.batch_norm")));
}

TEST(Values, BooleansAreNotIntegers) {
  Value t = true, one = 1;
  EXPECT_TRUE(t.is_bool());
  EXPECT_FALSE(t.is_int());
  EXPECT_NE(t, one);
  EXPECT_THROW(t.as_int(), TypeError);
  EXPECT_FALSE(Value::none() == Value(Sequence{}));
}

// The forms messages quote; argument reading and input collection are pinned by the goldens.
TEST(Values, TextAndTypeForms) {
  Graph g;
  auto& x = g.add_input("x", Shape{1});
  struct Case {
    Value value;
    const char* text;
    const char* type;
  };
  const Case cases[] = {
      {Value::none(), "None", "NoneType"},
      {1.0, "1.0", "float"},
      {std::numeric_limits<double>::infinity(), "inf", "float"},
      {Sequence{1, Value::none()}, "[1, None]", "list"},
      {x, "x", "ZavoNode"},
      {OpaqueConstant{"torch.float32", "torch.dtype"}, "torch.float32", "torch.dtype"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text_form(c.value), c.text);
    EXPECT_EQ(type_text(c.value), c.type);
  }
  // A long form is cut: a sequence can name one long-named node a thousand times.
  auto& y = g.add_input(std::string(100, 'y'), Shape{1});
  Sequence many(1000, Value(y));
  std::string full = "[" + y.name;
  for (std::size_t i = 1; i < many.size(); ++i)
    full += ", " + y.name;
  EXPECT_EQ(text_form(Value(many)), full.substr(0, kTextFormLimit) + "...");
  EXPECT_EQ(text_form(Value(std::string(kTextFormLimit, 'z'))), std::string(kTextFormLimit, 'z'));

  EXPECT_EQ(shape_text(Shape{1, 64, 56, 56}), "(1, 64, 56, 56)");
  EXPECT_EQ(shape_text(Shape{8}), "(8,)");
  EXPECT_EQ(shape_text(std::optional<Shape>{}), "None");
}

// A position wins over a name given too; no golden graph gives both.
TEST(Nodes, DistinctInputsAreTheFirstOccurrencesInArgumentOrder) {
  // Inputs repeated, nested in sequences and passed by keyword; a few of them (compared pairwise)
  // and many (sorted).
  for (const int count : {3, 16, 17, 40}) {
    Graph graph;
    std::vector<const ZavoNode*> inputs;
    for (int i = 0; i < count; ++i)
      inputs.push_back(&graph.add_input("x" + std::to_string(i), Shape{1}));
    Args args;
    Sequence nested;
    for (int i = count - 1; i >= 0; i -= 2)
      args.emplace_back(*inputs[static_cast<std::size_t>(i)]);
    for (int i = 0; i < count; ++i)
      nested.emplace_back(*inputs[static_cast<std::size_t>((i * 7) % count)]);
    args.emplace_back(Value(std::move(nested)));
    const Kwargs kwargs{{"other", Value(*inputs[0])}, {"alpha", Value(2)}};
    const ZavoOpNode& call =
        graph.add_call("y", intern_operation("my.module.op"), args, kwargs, Shape{1});

    std::vector<const ZavoNode*> expected;
    for (const ZavoNode* node : call.collect_all_input_nodes()) {
      if (std::ranges::find(expected, node) == expected.end())
        expected.push_back(node);
    }
    EXPECT_EQ(call.distinct_input_nodes(), expected) << count << " inputs";
    EXPECT_EQ(expected.size(), static_cast<std::size_t>(count));
  }
}

TEST(GetArgument, PositionThenNameThenDefault) {
  const Args args{"input", 1};
  const Kwargs kwargs{{"dim", 2}, {"keepdim", true}};
  EXPECT_EQ(get_argument({.arg_pos = 1, .arg_key = "dim", .args = args, .kwargs = kwargs}),
            Value(1));
  EXPECT_EQ(get_argument({.arg_pos = 2, .arg_key = "keepdim", .args = args, .kwargs = kwargs}),
            Value(true));
  EXPECT_EQ(
      get_argument(
          {.arg_pos = 3, .arg_key = "x", .args = args, .kwargs = kwargs, .default_value = false}),
      Value(false));
}

}  // namespace
}  // namespace zavo::tensor_trace
