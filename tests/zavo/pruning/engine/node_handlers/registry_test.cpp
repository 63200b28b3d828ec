#include "zavo/pruning/engine/node_handlers/registry.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/reduction_handlers.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

using tensor_trace::intern_operation;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

void handler_a(PruneGraphParserState&, const ZavoOpNode&) {}
void handler_b(PruneGraphParserState&, const ZavoOpNode&) {}

TEST(RegisterNodeHandler, RegistersOneOperationOrEverySequenceMemberOnce) {
  HandlerRegistry registry;
  auto single = intern_operation("test.registry.single");
  EXPECT_EQ(_register_node_handler(single, registry)(handler_a), &handler_a);
  _register_node_handler(single, registry)(handler_a);  // the same handler again is no conflict
  EXPECT_EQ(registry.size(), 1u);

  OperationList ops;
  for (int i = 0; i < 6; ++i)
    ops.push_back(intern_operation("test.registry.seq" + std::to_string(i)));
  _register_node_handler(ops, registry)(handler_b);
  EXPECT_EQ(registry.size(), 7u);
  for (auto op : ops)
    EXPECT_EQ(registry.at(op), &handler_b);
}

TEST(RegisterNodeHandler, ConflictRaisesAndKeepsEarlierEntries) {
  HandlerRegistry registry;
  auto first = intern_operation("test.registry.first");
  auto taken = intern_operation("test.registry.taken");
  auto after = intern_operation("test.registry.after");
  _register_node_handler(taken, registry)(handler_a);
  EXPECT_THAT(
      [&] {
        _register_node_handler(OperationList{first, taken, after}, registry)(handler_b);
      },
      ThrowsMessage<ValueError>(
          StrEq("Pruning handler for node test.registry.taken has already been registered")));
  EXPECT_EQ(registry.at(taken), &handler_a);
  EXPECT_EQ(registry.at(first), &handler_b);
  EXPECT_FALSE(registry.contains(after));
}

// Which handler each row names is pinned by the report goldens, which reach every handler.
TEST(Registry, HoldsExactlyTheOperationsOfItsRows) {
  const auto& registry = PRUNING_NODE_HANDLER_REGISTRY();
  const auto flatten = supported_ops::get_torch_and_tensor_methods("flatten");
  const std::size_t rows = ELEMENTWISE_OPS.size() + CHANNELWISE_OPS.size() +
                           UNARY_REDUCE_OPS.size() + DROPOUT_OPS.size() + 6 + 1 + flatten.size() +
                           BINARY_ELEMENTWISE_OPS.size() + 1 + 1;
  EXPECT_EQ(flatten.size(), 2u);
  EXPECT_EQ(registry.size(), rows);
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers
