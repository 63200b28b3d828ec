// The reshape rule of the extended rules, as a property over seeded random reshapes: a label
// never moves from one element to another (every label an element carries after the reshape it
// carried before, as its class after the merges), and no prunable label is lost (every prunable
// label of an element is still on it). Folds into heads, joins, labels that already follow heads,
// several labelled dimensions and dimensions of size 1 all meet these.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "support/graph_builder.hpp"
#include "zavo/pruning/engine/node_handlers/reshape_handlers.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

using zavo::testing::GraphBuilder;

// The labels element `flat` carries through the labelled dimensions of `labels` (row-major over
// `shape`), as the state reads them now.
std::set<Label> element_labels(const TensorLabels& labels, const Shape& shape, std::int64_t flat) {
  std::set<Label> out;
  for (std::size_t d = shape.size(); d-- > 0;) {
    const std::int64_t index = flat % shape[d];
    flat /= shape[d];
    if (labels[d])
      out.insert((*labels[d])[static_cast<std::size_t>(index)]);
  }
  return out;
}

std::int64_t elements(const Shape& shape) {
  std::int64_t n = 1;
  for (std::int64_t size : shape)
    n *= size;
  return n;
}

TEST(ReshapeRule, LabelsStayOnTheirElementsAndPrunableOnesAreNeverLost) {
  std::mt19937 rng(7);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 400; ++round) {
    GraphBuilder g;
    // An input of prime factors grouped at random, and an output grouping them otherwise, with
    // dimensions of size 1 here and there.
    std::vector<std::int64_t> factors;
    for (int i = 0, n = 1 + pick(4); i < n; ++i)
      factors.push_back(std::vector<std::int64_t>{2, 2, 3}[static_cast<std::size_t>(pick(3))]);
    auto group = [&](std::vector<std::int64_t> parts) {
      Shape shape;
      for (std::int64_t f : parts) {
        if (shape.empty() || pick(2) == 0)
          shape.push_back(f);
        else
          shape.back() *= f;
        if (pick(5) == 0)
          shape.push_back(1);
      }
      return shape;
    };
    const Shape in = group(factors);
    const Shape out = group(factors);
    // Fresh labels on one or two dimensions; now and then labels that already repeat in blocks,
    // as heads joined with their head size do.
    TensorLabels labels(in.size());
    Label next = 0;
    for (int k = 0, n = 1 + pick(2); k < n; ++k) {
      const auto d = static_cast<std::size_t>(pick(static_cast<int>(in.size())));
      if (labels[d] || in[d] == 1)
        continue;
      std::vector<Label> list;
      const std::int64_t block = pick(3) == 0 && in[d] % 2 == 0 ? 2 : 1;
      for (std::int64_t i = 0; i < in[d]; ++i)
        list.push_back(next + i / block);
      next += in[d];
      labels[d] = make_labels(g.state, list);
    }
    const auto& x = g.tensor("x", in, labels);
    const auto& y = g.call("torch.Tensor.reshape", {x}, {}, out);
    _reshape_node_handler(g.state, y);

    const TensorLabels before = g.labels(x);
    const TensorLabels after = g.labels(y);
    ASSERT_EQ(after.size(), out.size());
    for (std::int64_t e = 0; e < elements(in); ++e) {
      const std::set<Label> had = element_labels(before, in, e);
      const std::set<Label> has = element_labels(after, out, e);
      for (Label label : has)
        EXPECT_TRUE(had.contains(label)) << "round " << round << ": label " << label << " moved";
      for (Label label : had) {
        if (g.prunable(label)) {
          EXPECT_TRUE(has.contains(label)) << "round " << round << ": label " << label << " lost";
        }
      }
    }
  }
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers
