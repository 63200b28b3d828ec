// The classes of the extended rules, as a pruner relies on them: one per key-value head (its
// query heads' rows, its own key and value rows, the output projection's columns), one per
// channel of the residual stream, one per hidden channel of an MLP, on the zoo's models and on
// the golden graphs of attention calls; and the catalogue's classes unchanged where the extended
// rules add nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/report/report.hpp"

namespace zavo::graph {
namespace {

using testing::Classes;
using testing::Json;
using testing::Slice;

const std::filesystem::path kSourceDir = ZAVO_SOURCE_DIR;
const ParseOptions kExtended{.rules = RuleSet::Extended};

using SliceSet = std::set<Slice>;

SliceSet slices_of(const Json& group) {
  SliceSet out;
  for (const Json& channel : group["channels"]) {
    out.insert({channel["node"].get<std::string>(), channel["dim"].get<std::int64_t>(),
                channel["index"].get<std::int64_t>()});
  }
  return out;
}

// `indices` of dimension `dim` of each of `parameters`, added to `set`.
void add(SliceSet& set, const std::vector<std::string>& parameters, std::int64_t dim,
         const std::vector<std::int64_t>& indices) {
  for (const std::string& parameter : parameters) {
    for (std::int64_t index : indices)
      set.insert({parameter, dim, index});
  }
}

std::vector<std::int64_t> range(std::int64_t begin, std::int64_t end) {
  std::vector<std::int64_t> out;
  for (std::int64_t i = begin; i < end; ++i)
    out.push_back(i);
  return out;
}

TEST(ExtendedRules, TheDecoderHasAClassPerKeyValueHeadPerChannelAndPerHiddenChannel) {
  const Json report = testing::report_of_file(kSourceDir / "models/tiny_decoder.json", kExtended);
  const Classes classes(report);
  EXPECT_EQ(report["rules"], "extended");
  EXPECT_EQ(report["dropped"], Json::array());
  // 32 channels of the residual stream, and per block 64 hidden channels and 2 key-value heads.
  EXPECT_EQ(report["summary"]["prunable_classes"], 32 + 2 * (64 + 2));

  // Key-value head 1 of block 0 serves query heads 2 and 3 (head size 8).
  const Json& head = classes.of({"blocks.0.attn.v_proj.weight", 0, 12});
  SliceSet expected;
  add(expected, {"blocks.0.attn.q_proj.weight"}, 0, range(16, 32));
  add(expected, {"blocks.0.attn.k_proj.weight", "blocks.0.attn.v_proj.weight"}, 0, range(8, 16));
  add(expected, {"blocks.0.attn.o_proj.weight"}, 1, range(16, 32));
  EXPECT_TRUE(head["prunable"].get<bool>());
  EXPECT_EQ(slices_of(head), expected);

  // Channel 5 of the residual stream, through the RMS normalisations written out and the tied
  // language-model head.
  const Json& width = classes.of({"norm.weight", 0, 5});
  expected.clear();
  add(expected, {"embed.weight"}, 1, {5});
  add(expected, {"norm.weight"}, 0, {5});
  for (const std::string block : {"blocks.0.", "blocks.1."}) {
    add(expected, {block + "attn_norm.weight", block + "mlp_norm.weight"}, 0, {5});
    add(expected,
        {block + "attn.q_proj.weight", block + "attn.k_proj.weight", block + "attn.v_proj.weight",
         block + "mlp.gate_proj.weight", block + "mlp.up_proj.weight"},
        1, {5});
    add(expected, {block + "attn.o_proj.weight", block + "mlp.down_proj.weight"}, 0, {5});
  }
  EXPECT_TRUE(width["prunable"].get<bool>());
  EXPECT_EQ(slices_of(width), expected);

  // Hidden channel 7 of block 1's SwiGLU: both rows of the product and the column after it.
  expected.clear();
  add(expected, {"blocks.1.mlp.gate_proj.weight", "blocks.1.mlp.up_proj.weight"}, 0, {7});
  add(expected, {"blocks.1.mlp.down_proj.weight"}, 1, {7});
  EXPECT_EQ(slices_of(classes.of({"blocks.1.mlp.up_proj.weight", 0, 7})), expected);

  // The vocabulary (token ids and outputs) and the rotary tables stay.
  EXPECT_FALSE(classes.prunable({"embed.weight", 0, 3}));
  EXPECT_FALSE(classes.prunable({"rope_cos", 1, 0}));
}

TEST(ExtendedRules, AFusedProjectionSplitsIntoHeadsOfItsQueryKeyAndValueParts) {
  const Json report =
      testing::report_of_file(kSourceDir / "models/tiny_transformer.json", kExtended);
  const Classes classes(report);
  // Head 1 of 4 (head size 12) in each of q, k and v, chunked from one projection.
  SliceSet expected;
  for (std::int64_t part : {0, 48, 96})
    add(expected, {"qkv.weight", "qkv.bias"}, 0, range(part + 12, part + 24));
  add(expected, {"proj.weight"}, 1, range(12, 24));
  EXPECT_EQ(slices_of(classes.of({"qkv.weight", 0, 60})), expected);
  EXPECT_TRUE(classes.prunable({"qkv.weight", 0, 60}));
  EXPECT_TRUE(classes.prunable({"norm1.weight", 0, 0}));
}

TEST(ExtendedRules, MultiHeadAttentionCallsHaveTheHeadsOfAttentionWrittenOut) {
  const Json report = testing::report_of_file(
      kSourceDir / "tests/golden/graphs/multi_head_attention.json", kExtended);
  const Classes classes(report);
  // Packed projection, 2 heads of 4: head 1's rows of q, k and v and its output columns.
  SliceSet expected;
  for (std::int64_t part : {0, 8, 16}) {
    add(expected, {"self_attn.in_proj_weight", "self_attn.in_proj_bias"}, 0,
        range(part + 4, part + 8));
  }
  add(expected, {"self_attn.out_proj.weight"}, 1, range(4, 8));
  EXPECT_EQ(slices_of(classes.of({"self_attn.in_proj_bias", 0, 20})), expected);

  // Separate projections, 4 heads of 2, with learned key and value biases.
  expected.clear();
  add(expected, {"cross.q_proj_weight", "cross.k_proj_weight", "cross.v_proj_weight"}, 0, {2, 3});
  add(expected, {"cross.in_proj_bias"}, 0, {2, 3, 10, 11, 18, 19});
  add(expected, {"cross.bias_k", "cross.bias_v"}, 2, {2, 3});
  add(expected, {"cross.out_proj.weight"}, 1, {2, 3});
  EXPECT_EQ(slices_of(classes.of({"cross.k_proj_weight", 0, 3})), expected);
  EXPECT_TRUE(classes.prunable({"cross.k_proj_weight", 0, 3}));

  // The residual stream runs through both calls' output rows and input columns.
  expected.clear();
  add(expected, {"embed.weight", "embed.bias", "norm.weight", "norm.bias"}, 0, {6});
  add(expected, {"self_attn.in_proj_weight", "cross.q_proj_weight", "head.weight"}, 1, {6});
  add(expected,
      {"self_attn.out_proj.weight", "self_attn.out_proj.bias", "cross.out_proj.weight",
       "cross.out_proj.bias"},
      0, {6});
  EXPECT_EQ(slices_of(classes.of({"embed.bias", 0, 6})), expected);
  EXPECT_TRUE(classes.prunable({"embed.bias", 0, 6}));
}

TEST(ExtendedRules, GroupNormalisationPrunesWholeGroups) {
  const Json report =
      testing::report_of_file(kSourceDir / "tests/golden/graphs/windows.json", kExtended);
  const Classes classes(report);
  // 12 channels in 3 groups: a class is a group of 4, through the normalisations after it.
  SliceSet expected;
  add(expected, {"merge.reduction.weight"}, 0, range(4, 8));
  add(expected, {"gn.weight", "gn.bias", "inorm.weight", "inorm.bias"}, 0, range(4, 8));
  add(expected, {"mix.weight"}, 0, range(4, 8));
  EXPECT_EQ(slices_of(classes.of({"gn.bias", 0, 5})), expected);
  EXPECT_TRUE(classes.prunable({"gn.bias", 0, 5}));
}

// Convolutional models (a channel shuffle, concatenations, depthwise and grouped convolutions,
// dropout in training mode) prune the same classes under both rule sets, and nothing of them is
// dropped. The zoo's larger models, mobilenet_v2 and densenet121, give the same; the sanitised
// build would take most of a minute over them.
TEST(ExtendedRules, WhereTheyAddNothingTheCatalogueClassesStand) {
  for (const char* name :
       {"resnet18", "shufflenet_v2_x0_5", "tiny_unet", "dropout_cnn", "tiny_cnn"}) {
    // Read from the reports' classes directly: these graphs' reports are megabytes of text.
    const tensor_trace::Graph graph =
        read_graph_file(kSourceDir / "models" / (std::string(name) + ".json"));
    auto classes = [&graph](RuleSet rules) {
      const ParseResult result = parse_graph(graph, {.rules = rules});
      EXPECT_TRUE(result.dropped.empty());
      std::set<SliceSet> out;
      const Report report = build_report(graph, result);
      for (const ChannelGroup& group : report.groups()) {
        SliceSet slices;
        for (const ChannelSlice slice : group.channels)
          slices.insert({slice.parameter->name, slice.dim, slice.index});
        if (group.prunable)
          out.insert(std::move(slices));
      }
      return out;
    };
    EXPECT_EQ(classes(RuleSet::Extended), classes(RuleSet::Core)) << name;
  }
}

}  // namespace
}  // namespace zavo::graph
