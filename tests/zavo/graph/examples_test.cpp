// The shipped examples: what each report says about labels, prunability, warnings and errors.

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace zavo::graph {
namespace {

using testing::Classes;
using testing::example_path;
using testing::Json;
using testing::report_of_file;

const std::string kElementwiseKeywordCall = "Unimplemented elementwise function call\n";

TEST(ResidualBlock, TiesTheShortcutToTheBlocksOutputAndKeepsTheHeadsOutputs) {
  Json report = report_of_file(example_path("residual_block.json"));
  Classes classes(report);
  EXPECT_EQ(report["error"], nullptr);
  EXPECT_EQ(report["warnings"], Json::array());
  for (int i = 0; i < 8; ++i) {
    // The stem's channels reach the addition twice: through the shortcut and through the block.
    EXPECT_TRUE(classes.same({"stem.weight", 0, i}, {"block.conv1.weight", 1, i}));
    EXPECT_TRUE(classes.same({"stem.weight", 0, i}, {"block.conv2.weight", 0, i}));
    EXPECT_TRUE(classes.same({"stem.weight", 0, i}, {"fc.weight", 1, i}));
    EXPECT_TRUE(classes.prunable({"stem.weight", 0, i}));
    // The block's inner channels, with the batch norm's four parameters.
    for (const char* bn :
         {"block.bn1.running_mean", "block.bn1.running_var", "block.bn1.weight", "block.bn1.bias"})
      EXPECT_TRUE(classes.same({"block.conv1.weight", 0, i}, {bn, 0, i})) << bn;
    EXPECT_TRUE(classes.same({"block.conv1.weight", 0, i}, {"block.conv2.weight", 1, i}));
    EXPECT_TRUE(classes.prunable({"block.conv1.weight", 0, i}));
  }
  for (int i = 0; i < 3; ++i)
    EXPECT_FALSE(classes.prunable({"stem.weight", 1, i})) << "the model input's channels";
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(classes.same({"fc.weight", 0, i}, {"fc.bias", 0, i}));
    EXPECT_FALSE(classes.prunable({"fc.weight", 0, i})) << "the model output's features";
  }
  EXPECT_FALSE(classes.prunable({"block.conv2.weight", 2, 1})) << "kernel dimensions";
  EXPECT_EQ(report["summary"]["prunable_classes"], 16);
  // The flatten keeps the channel labels in dimension 1 for the linear layer.
  EXPECT_EQ(report["nodes"][17]["name"], "flatten");
  EXPECT_EQ(report["nodes"][17]["labels"].dump(), "[null,[0,1,2,3,4,5,6,7],null,null]");
}

TEST(DepthwiseSeparable, DepthwiseTiesBothSidesAndGroupedConvolutionBlocksPruning) {
  Json report = report_of_file(example_path("depthwise_separable.json"));
  Classes classes(report);
  EXPECT_EQ(report["error"], nullptr);
  EXPECT_EQ(report["warnings"], Json::array());
  for (int i = 0; i < 16; ++i) {
    for (const char* bn :
         {"stem.bn.running_mean", "stem.bn.running_var", "stem.bn.weight", "stem.bn.bias"})
      EXPECT_TRUE(classes.same({"stem.weight", 0, i}, {bn, 0, i})) << bn;
    // Depthwise: input channel i, filter i and output channel i are one class, which the
    // pointwise convolution's input channels join.
    EXPECT_TRUE(classes.same({"stem.weight", 0, i}, {"depthwise.weight", 0, i}));
    EXPECT_TRUE(classes.same({"stem.weight", 0, i}, {"pointwise.weight", 1, i}));
    EXPECT_TRUE(classes.prunable({"stem.weight", 0, i}));
  }
  for (int i = 0; i < 32; ++i) {
    // A convolution with 4 groups that is not depthwise: nothing around it can be pruned.
    EXPECT_FALSE(classes.prunable({"pointwise.weight", 0, i}));
    EXPECT_FALSE(classes.prunable({"grouped.weight", 0, i}));
    EXPECT_FALSE(classes.prunable({"grouped.bias", 0, i}));
  }
  EXPECT_EQ(report["summary"]["prunable_classes"], 16);
  // The grouped convolution's output carries the bias's labels, not tied to its input.
  const Json& grouped = report["nodes"].back();
  EXPECT_EQ(grouped["name"], "grouped");
  EXPECT_FALSE(grouped["labels"][1].is_null());
}

TEST(ConcatBlock, ConcatenatesTheBranchesChannelsAndWarns) {
  Json report = report_of_file(example_path("concat_block.json"));
  Classes classes(report);
  EXPECT_EQ(report["error"], nullptr);
  for (int j = 0; j < 18; ++j) {
    testing::Slice fuse_input{"fuse.weight", 1, j};
    if (j < 8) {
      EXPECT_TRUE(classes.same(fuse_input, {"stem.weight", 0, j}));
      EXPECT_TRUE(classes.same(fuse_input, {"branch_a.weight", 1, j}));
      EXPECT_TRUE(classes.same(fuse_input, {"branch_b.weight", 1, j}));
    } else if (j < 12) {
      EXPECT_TRUE(classes.same(fuse_input, {"branch_a.weight", 0, j - 8}));
    } else {
      EXPECT_TRUE(classes.same(fuse_input, {"branch_b.weight", 0, j - 12}));
    }
    EXPECT_TRUE(classes.prunable(fuse_input)) << j;
  }
  EXPECT_EQ(report["summary"]["prunable_classes"], 18);
  EXPECT_EQ(report["warnings"].dump(),
            R"([{"node":9,"message":"For proper pruning of model with dropout, dropout should )"
            R"(be in eval mode"},{"node":11,"message":"Conv layer with single output channel"}])");
  // The fuse layer's single output channel carries no labels.
  EXPECT_EQ(report["nodes"].back()["labels"].dump(), "[null,null,null,null]");
}

TEST(HandlerError, StopsAtTheKeywordOnlyElementwiseCall) {
  Json report = report_of_file(example_path("handler_error.json"));
  const Json& error = report["error"];
  EXPECT_EQ(error["node"], 4);
  EXPECT_EQ(error["kind"], "not_implemented");
  std::string message = error["message"].get<std::string>();
  EXPECT_EQ(message.rfind(kElementwiseKeywordCall +
                              "Some of the following functions "
                              "(torch.nn.functional.relu, torch.nn.functional.relu_, ",
                          0),
            0u)
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
  EXPECT_EQ(report["recovered_errors"], Json::array());
}

TEST(HandlerError, LenientParseHandsTheCallToTheDefaultHandler) {
  Json report = report_of_file(example_path("handler_error.json"), {.lenient = true});
  EXPECT_EQ(report["error"], nullptr);
  ASSERT_EQ(report["recovered_errors"].size(), 1u);
  EXPECT_EQ(report["recovered_errors"][0]["node"], 4);
  EXPECT_EQ(report["recovered_errors"][0]["kind"], "not_implemented");
  EXPECT_EQ(report["nodes"][4]["labels"].dump(), "[null,null,null,null]");
  // The default handler takes the convolution's channels out of pruning; the head's input
  // channels meet a tensor without labels, and its output channels are the model's output.
  EXPECT_EQ(report["summary"]["prunable_classes"], 0);
  EXPECT_EQ(report["nodes"].size(), 7u);
}

}  // namespace
}  // namespace zavo::graph
