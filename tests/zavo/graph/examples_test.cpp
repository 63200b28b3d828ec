// The shipped examples: what each report says about labels, prunability, warnings and errors.

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace zavo::graph {
namespace {

using testing::Classes;
using testing::example_path;
using testing::Json;
using testing::report_of_file;

TEST(ResidualBlock, TiesTheShortcutToTheBlocksOutputAndKeepsTheHeadsOutputs) {
  Json report = report_of_file(example_path("residual_block.json"));
  Classes c(report);
  EXPECT_EQ(report["error"], nullptr);
  EXPECT_EQ(report["warnings"], Json::array());
  // The stem's channels reach the addition twice: through the shortcut and through the block.
  EXPECT_TRUE(c.tied({"stem.weight", 0, 0}, {"block.conv1.weight", 1, 0}, 8));
  EXPECT_TRUE(c.tied({"stem.weight", 0, 0}, {"block.conv2.weight", 0, 0}, 8));
  EXPECT_TRUE(c.tied({"stem.weight", 0, 0}, {"fc.weight", 1, 0}, 8));
  EXPECT_TRUE(c.prunable({"stem.weight", 0, 0}, 8, true));
  // The block's inner channels, with the batch norm's four parameters.
  for (const char* bn :
       {"block.bn1.running_mean", "block.bn1.running_var", "block.bn1.weight", "block.bn1.bias"})
    EXPECT_TRUE(c.tied({"block.conv1.weight", 0, 0}, {bn, 0, 0}, 8));
  EXPECT_TRUE(c.tied({"block.conv1.weight", 0, 0}, {"block.conv2.weight", 1, 0}, 8));
  EXPECT_TRUE(c.prunable({"block.conv1.weight", 0, 0}, 8, true));
  EXPECT_TRUE(c.prunable({"stem.weight", 1, 0}, 3, false)) << "the model input's channels";
  EXPECT_TRUE(c.tied({"fc.weight", 0, 0}, {"fc.bias", 0, 0}, 10));
  EXPECT_TRUE(c.prunable({"fc.weight", 0, 0}, 10, false)) << "the model output's features";
  EXPECT_TRUE(c.prunable({"block.conv2.weight", 2, 0}, 3, false)) << "kernel dimensions";
  EXPECT_EQ(report["summary"]["prunable_classes"], 16);
  // The flatten keeps the channel labels in dimension 1 for the linear layer.
  EXPECT_EQ(report["nodes"][17]["name"], "flatten");
  EXPECT_EQ(report["nodes"][17]["labels"].dump(), "[null,[0,1,2,3,4,5,6,7],null,null]");
}

TEST(DepthwiseSeparable, DepthwiseTiesBothSidesAndGroupedConvolutionBlocksPruning) {
  Json report = report_of_file(example_path("depthwise_separable.json"));
  Classes c(report);
  EXPECT_EQ(report["error"], nullptr);
  EXPECT_EQ(report["warnings"], Json::array());
  for (const char* bn :
       {"stem.bn.running_mean", "stem.bn.running_var", "stem.bn.weight", "stem.bn.bias"})
    EXPECT_TRUE(c.tied({"stem.weight", 0, 0}, {bn, 0, 0}, 16));
  // Depthwise: input channel i, filter i and output channel i are one class, which the
  // pointwise convolution's input channels join.
  EXPECT_TRUE(c.tied({"stem.weight", 0, 0}, {"depthwise.weight", 0, 0}, 16));
  EXPECT_TRUE(c.tied({"stem.weight", 0, 0}, {"pointwise.weight", 1, 0}, 16));
  EXPECT_TRUE(c.prunable({"stem.weight", 0, 0}, 16, true));
  // A convolution with 4 groups that is not depthwise: nothing around it can be pruned.
  for (const char* kept : {"pointwise.weight", "grouped.weight", "grouped.bias"})
    EXPECT_TRUE(c.prunable({kept, 0, 0}, 32, false));
  EXPECT_EQ(report["summary"]["prunable_classes"], 16);
  // The grouped convolution's output carries the bias's labels, not tied to its input.
  EXPECT_EQ(report["nodes"].back()["name"], "grouped");
  EXPECT_FALSE(report["nodes"].back()["labels"][1].is_null());
}

TEST(ConcatBlock, ConcatenatesTheBranchesChannelsAndWarns) {
  Json report = report_of_file(example_path("concat_block.json"));
  Classes c(report);
  EXPECT_EQ(report["error"], nullptr);
  EXPECT_TRUE(c.tied({"fuse.weight", 1, 0}, {"stem.weight", 0, 0}, 8));
  for (const char* branch : {"branch_a.weight", "branch_b.weight"})
    EXPECT_TRUE(c.tied({"fuse.weight", 1, 0}, {branch, 1, 0}, 8));
  EXPECT_TRUE(c.tied({"fuse.weight", 1, 8}, {"branch_a.weight", 0, 0}, 4));
  EXPECT_TRUE(c.tied({"fuse.weight", 1, 12}, {"branch_b.weight", 0, 0}, 6));
  EXPECT_TRUE(c.prunable({"fuse.weight", 1, 0}, 18, true));
  EXPECT_EQ(report["summary"]["prunable_classes"], 18);
  EXPECT_EQ(report["warnings"].dump(),
            R"([{"node":9,"message":"For proper pruning of model with dropout, dropout should )"
            R"(be in eval mode"},{"node":11,"message":"Conv layer with single output channel"}])");
  // The fuse layer's single output channel carries no labels.
  EXPECT_EQ(report["nodes"].back()["labels"].dump(), "[null,null,null,null]");
}

TEST(HandlerError, StopsAtTheKeywordOnlyElementwiseCall) {
  Json report = report_of_file(example_path("handler_error.json"));
  EXPECT_EQ(report["error"]["node"], 4);
  EXPECT_EQ(report["error"]["kind"], "not_implemented");
  std::string message = report["error"]["message"].get<std::string>();
  EXPECT_TRUE(
      message.starts_with("Unimplemented elementwise function call\nSome of the following "
                          "functions (torch.nn.functional.relu, "
                          "torch.nn.functional.relu_, "))
      << message;
  EXPECT_TRUE(message.ends_with(
      "torch.Tensor.to) in your model have their first argument set with a construction "
      "\"function(input=input, ...)\". You should use \"function(input, ...)\" construction "
      "instead."))
      << message;
  // Nodes up to the convolution are recorded; its channels are still prunable.
  EXPECT_EQ(report["nodes"].size(), 4u);
  EXPECT_EQ(report["nodes"].back()["name"], "conv");
  EXPECT_TRUE(Classes(report).prunable({"conv.weight", 0, 0}));
}

}  // namespace
}  // namespace zavo::graph
