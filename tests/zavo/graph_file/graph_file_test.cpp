#include "zavo/graph_file/graph_file.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "graph_generator.hpp"
#include "support/test_support.hpp"
#include "zavo/tensor_trace/op_categorization.hpp"

namespace zavo::graph {
namespace {

using tensor_trace::Graph;
using tensor_trace::Value;

// A graph document with the given node lines and outputs.
std::string document(const std::vector<std::string>& nodes, const std::string& outputs = "[]") {
  std::string text = R"({"format": "zavo.graph", "version": 1, "model": "m", "nodes": [)"
                     "\n";
  for (std::size_t i = 0; i < nodes.size(); ++i)
    text += (i ? ",\n" : "") + nodes[i];
  return text + "\n], \"outputs\": " + outputs + "}";
}

// An input node 0, a relu call 1 with the given argument list, and call 2 = relu(node 0).
std::string relu_of(const std::string& args) {
  std::string relu = R"(, "kind": "call", "op": "torch.nn.functional.relu", "kwargs": {}, )";
  return document(
      {R"({"id": 0, "kind": "input", "name": "x", "shape": null})",
       R"({"id": 1, "name": "n1", "args": )" + args + relu + R"("shape": null})",
       R"({"id": 2, "name": "n2", "args": [{"node": 0}])" + relu + R"("shape": null})"});
}

// A single node 0 given by its fields after the id.
std::string node0(const std::string& fields) {
  return document({R"({"id": 0, )" + fields + "}"});
}

TEST(ReadGraph, ReadsNodesShapesOperationsAndOutputs) {
  Graph graph = read_graph_text(R"({
    "format": "zavo.graph", "version": 1, "model": "tiny",
    "meta": {"mode": "eval", "anything": [1, {"x": null}]}, "exporter_note": "ignored",
    "nodes": [
      {"id": 0, "kind": "input", "name": "x", "shape": [1, 3, 8, 8]},
      {"id": 1, "kind": "parameter", "name": "w", "shape": [4, 3, 1, 1], "extra": true},
      {"id": 2, "kind": "call", "name": "conv", "op": "torch.nn.functional.conv2d",
       "args": [{"node": 0}, {"node": 1}], "kwargs": {}, "shape": [1, 4, 8, 8]},
      {"id": 3, "kind": "call", "name": "size", "op": "torch.Tensor.shape.__get__",
       "args": [{"node": 2}], "kwargs": {}, "shape": null},
      {"id": 4, "kind": "call", "name": "mine", "op": "my.module.op", "op_name": "special",
       "args": [], "kwargs": {}, "shape": []},
      {"id": 5, "kind": "call", "name": "r", "op": "torch.nn.functional.relu",
       "args": [{"node": 2}], "kwargs": {}, "shape": [1, 4, 8, 8]},
      {"id": 6, "kind": "constant", "name": "anchors[0]", "shape": [3, 4]}
    ],
    "outputs": [2, 4]})");
  EXPECT_EQ(graph.model, "tiny");
  // Each node as kind (0 input, 1 parameter, 2 call, 3 constant), name, shape and, for calls,
  // operation name and arguments.
  std::string seen;
  for (std::size_t id = 0; id < graph.size(); ++id) {
    const auto& node = graph.node(id);
    seen += std::to_string(static_cast<int>(node.kind)) + " " + node.name + " " +
            tensor_trace::shape_text(node.result_shape);
    if (const auto* op = node.as_op_node())
      seen +=
          " " + op->operation_name +
          tensor_trace::text_form(Value(tensor_trace::Sequence(op->args.begin(), op->args.end())));
    seen += "; ";
  }
  EXPECT_EQ(seen,
            "0 x (1, 3, 8, 8); 1 w (4, 3, 1, 1); 2 conv (1, 4, 8, 8) conv2d[x, w]; "
            "2 size None __get__[conv]; 2 mine () special[]; 2 r (1, 4, 8, 8) relu[conv]; "
            "3 anchors[0] (3, 4); ");
  const auto* conv = graph.node(2).as_op_node()->operation;
  EXPECT_EQ(conv, tensor_trace::find_catalogue_operation("torch.nn.functional.conv2d"));
  const auto* mine = graph.node(4).as_op_node()->operation;
  EXPECT_EQ(mine, tensor_trace::intern_operation("my.module.op"));
  EXPECT_FALSE(mine->in_catalogue());
  // Catalogue operations are the very objects the handler categories hold.
  EXPECT_TRUE(tensor_trace::op_categorization::ELEMENTWISE_OPS.contains(
      graph.node(5).as_op_node()->operation));
  EXPECT_EQ(graph.outputs,
            (std::vector<const tensor_trace::ZavoNode*>{&graph.node(2), &graph.node(4)}));
}

TEST(ReadGraph, ReadsEveryKindOfArgumentValue) {
  Graph graph =
      read_graph_text(document({R"({"id": 0, "kind": "input", "name": "x", "shape": null})",
                                R"({"id": 1, "kind": "call", "name": "c", "op": "torch.Tensor.to",
        "args": [{"node": 0}, null, true, false, 0, -7, 2.5, 1e-05, 3.0, "text",
                 [1, [{"node": 0}, null]],
                 {"const": "torch.float16", "type": "dtype"},
                 {"const": "inf", "type": "float"}, {"const": "-inf", "type": "float"},
                 {"const": "nan", "type": "float"}, {"const": "inf", "type": "str"}],
        "kwargs": {"z": 1, "a": {"node": 0}, "m": null}, "shape": null})"}));
  // Each value as its type and text: tells True from 1 and 3.0 from 3.
  std::string seen;
  for (const Value& arg : graph.node(1).as_op_node()->args)
    seen += tensor_trace::type_text(arg) + " " + tensor_trace::text_form(arg) + "; ";
  EXPECT_EQ(seen,
            "ZavoNode x; NoneType None; bool True; bool False; int 0; int -7; float 2.5; "
            "float 1e-05; float 3.0; str text; list [1, [x, None]]; dtype torch.float16; "
            "float inf; float -inf; float nan; str inf; ");
  // Keyword arguments keep the file's order.
  seen.clear();
  for (const auto& [name, value] : graph.node(1).as_op_node()->kwargs.items())
    seen += name + "=" + tensor_trace::text_form(value) + " ";
  EXPECT_EQ(seen, "z=1 a=x m=None ");
}

struct Rejection {
  const char* name;
  std::string text;
  std::string message;
};

void PrintTo(const Rejection& r, std::ostream* os) {
  *os << r.name;
}

class RejectedGraph : public ::testing::TestWithParam<Rejection> {};

TEST_P(RejectedGraph, NamesThePlace) {
  try {
    read_graph_text(GetParam().text);
    FAIL() << "accepted";
  } catch (const GraphFileError& e) {
    EXPECT_EQ(std::string(e.what()), GetParam().message);
  }
}

std::string nested_path(std::size_t depth) {
  std::string path = "nodes[1].args";
  for (std::size_t i = 0; i < depth; ++i)
    path += "[0]";
  return path;
}

// A shape of `n` dimensions of size 1.
std::string ones(std::size_t n) {
  std::string shape = "[1";
  for (std::size_t i = 1; i < n; ++i)
    shape += ", 1";
  return shape + "]";
}

const std::string kHead = R"({"format": "zavo.graph", "version": 1, "model": "m", )";
const std::string kInput = R"("kind": "input", "name": "x", )";
const std::string kCall = R"("kind": "call", "name": "c", "args": [], "kwargs": {}, )";

const std::vector<Rejection> kRejections = {
    {"Empty", "",
     "line 1, column 1: not JSON: syntax error while parsing value - unexpected end "
     "of input; expected '[', '{', or a literal"},
    {"NotJson", "{\"format\": \"zavo.graph\",\n  oops}",
     "line 2, column 3: not JSON: syntax error while parsing object key - invalid "
     "literal; last read: '\"zavo.graph\",<U+000A>  o'; expected string literal"},
    {"TrailingText", document({}) + " {}",
     "line 3, column 19: not JSON: syntax error while parsing value - unexpected "
     "'{'; expected end of input"},
    {"NotUtf8", "{\"model\": \"caf\xE9\"}", "line 1, column 15: not UTF-8 (byte 0xE9)"},
    {"Utf8Surrogate", "{\"model\":\n \"\xED\xA0\x80\"}", "line 2, column 3: not UTF-8 (byte 0xED)"},
    {"NotAnObject", "[1, 2]", "top level: expected an object, got array"},
    {"MissingFormat", R"({"version": 1})", "top level: missing field \"format\""},
    {"OtherFormat", R"({"format": "onnx", "version": 1})",
     "format: expected \"zavo.graph\", got \"onnx\""},
    {"OtherVersion", R"({"format": "zavo.graph", "version": 2})",
     "version: unsupported version 2 (this reader knows version 1)"},
    {"VersionAsText", R"({"format": "zavo.graph", "version": "1"})",
     "version: expected an integer, got string"},
    {"MetaNotObject", kHead + R"("meta": [1]})", "meta: expected an object, got array"},
    {"NodesNotArray", kHead + R"("nodes": {}})", "nodes: expected an array, got object"},
    {"DuplicateKey", R"({"format": "zavo.graph", "format": "zavo.graph"})",
     "top level: duplicate key \"format\""},
    {"DuplicateNodeKey", node0(kInput + R"("name": "y", "shape": null)"),
     "nodes[0]: duplicate key \"name\""},
    {"DuplicateLongKey", node0(kInput + R"("op_name": null, "op_name": null, "shape": null)"),
     "nodes[0]: duplicate key \"op_name\""},
    {"DuplicateKeyword",
     document({R"({"id": 0, "kind": "input", "name": "x", "shape": null})",
               R"({"id": 1, "kind": "call", "name": "y", "op": "torch.nn.functional.leaky_relu",
                   "args": [{"node": 0}], "kwargs": {"negative_slope": 1, "negative_slope": 2},
                   "shape": null})"}),
     "nodes[1].kwargs: duplicate key \"negative_slope\""},
    {"IntegerAboveInt64", relu_of("[1, 9223372036854775808]"),
     "nodes[1].args[1]: integer 9223372036854775808 is out of range"},
    {"HugeFloat", relu_of("[1e999]"), "nodes[1].args[0]: number 1e999 is out of range"},
    {"DeeplyNested", relu_of(std::string(100000, '[') + std::string(100000, ']')),
     nested_path(kMaxNesting - 3) + ": nested deeper than 64 levels"},
    {"NodeNotObject", document({"[0]"}), "nodes[0]: expected an object, got array"},
    {"MissingId", document({"{" + kInput + R"("shape": null})"}), "nodes[0]: missing field \"id\""},
    {"IdOutOfOrder", document({R"({"id": 2, )" + kInput + R"("shape": null})"}),
     "nodes[0].id: id 2 is out of order (expected 0)"},
    {"IdAsBoolean", document({R"({"id": false, )" + kInput + R"("shape": null})"}),
     "nodes[0].id: expected an integer, got boolean"},
    {"UnknownKind", node0(R"("kind": "buffer", "name": "x", "shape": null)"),
     "nodes[0].kind: unknown kind \"buffer\" (expected input, parameter, call or constant)"},
    {"DuplicateName",
     document({R"({"id": 0, )" + kInput + R"("shape": null})",
               R"({"id": 1, "kind": "parameter", "name": "x", "shape": [2]})"}),
     "nodes[1].name: duplicate name \"x\" (also node 0)"},
    {"MissingShape", node0(R"("kind": "input", "name": "x")"), "nodes[0]: missing field \"shape\""},
    {"NegativeSize", node0(kInput + R"("shape": [1, -3])"), "nodes[0].shape[1]: negative size -3"},
    {"FractionalSize", node0(kInput + R"("shape": [1, 2.0])"),
     "nodes[0].shape[1]: expected an integer, got number"},
    {"HugeSize", node0(kInput + R"("shape": [4294967296])"),
     "nodes[0].shape[0]: size 4294967296 is out of range (at most 2147483647)"},
    {"LongName",
     node0(R"("kind": "input", "name": ")" + std::string(kMaxNameLength + 1, 'x') +
           R"(", "shape": null)"),
     "nodes[0].name: a name of 1025 bytes, longer than this reader accepts (at most 1024)"},
    {"TooManyDimensions", node0(kInput + R"("shape": )" + ones(kMaxDimensions + 1)),
     "nodes[0].shape: 65 dimensions, more than this reader accepts (at most 64)"},
    {"MissingOp", node0(kCall + R"("shape": null)"), "nodes[0]: missing field \"op\""},
    {"EmptyOp", node0(kCall + R"("op": "", "shape": null)"), "nodes[0].op: empty operation name"},
    {"ArgsNotArray", relu_of(R"({"node": 0})"), "nodes[1].args: expected an array, got object"},
    {"ForwardReference", relu_of(R"([{"node": 0}, {"node": 2}])"),
     "nodes[1].args[1]: node 2 is used before it is defined"},
    {"SelfReference", relu_of(R"([[{"node": 1}]])"),
     "nodes[1].args[0][0]: node 1 is used before it is defined"},
    {"UnknownNodeInArgs", relu_of(R"([{"node": 40}])"), "nodes[1].args[0]: unknown node 40"},
    {"ForwardReferenceInKwargs", node0(R"("kind": "call", "name": "c", "op": "f", "args": [],
                           "kwargs": {"input": {"node": 0}}, "shape": null)"),
     "nodes[0].kwargs.input: node 0 is used before it is defined"},
    {"NodeIdNotInteger", relu_of(R"([{"node": "0"}])"),
     "nodes[1].args[0].node: expected an integer, got string"},
    {"OtherObjectValue", relu_of(R"([{"tensor": 0}])"),
     "nodes[1].args[0]: expected {\"node\": ID} or {\"const\": TEXT, \"type\": "
     "TYPE}, got another object"},
    {"ConstTypeNotText", relu_of(R"([{"const": "x", "type": null}])"),
     "nodes[1].args[0].type: expected a string, got null"},
    {"UnknownOutput", document({R"({"id": 0, )" + kInput + R"("shape": null})"}, "[0, 7]"),
     "outputs[1]: unknown node 7"}};

INSTANTIATE_TEST_SUITE_P(All, RejectedGraph, ::testing::ValuesIn(kRejections),
                         [](const auto& test) { return std::string(test.param.name); });

// A file is read in chunks, never whole, and names the same place as its text.
TEST_P(RejectedGraph, NamesTheSamePlaceInAFile) {
  testing::TempDir dir;
  testing::write_text(dir / "graph.json", GetParam().text);
  try {
    read_graph_file(dir / "graph.json");
    FAIL() << "accepted";
  } catch (const GraphFileError& e) {
    EXPECT_EQ(std::string(e.what()), GetParam().message);
  }
}

// Files with more than one problem, fields in unusual orders. The problem named is the first one
// met when checking the text, then the header, then each node (its fields in the order the format
// lists them), then the outputs, whatever order the fields come in.
const std::vector<Rejection> kFirstProblems = {
    {"HeaderAfterNodes",
     R"({"nodes": [{"id": 1}], "outputs": [9], "model": "m", "version": 1, "format": "onnx"})",
     "format: expected \"zavo.graph\", got \"onnx\""},
    {"IdAfterArgs",
     document({R"({"args": [{"node": 3}], "kind": "call", "name": "c", "op": "f", "kwargs": {},
                  "shape": [-1], "id": 4})"}),
     "nodes[0].id: id 4 is out of order (expected 0)"},
    {"KindAfterAForwardReference",
     document({R"({"id": 0, )" + kInput + R"("shape": null})",
               R"({"args": [{"node": 2}], "id": 1, "name": "c", "op": "f", "kwargs": {},
                  "shape": null, "kind": "call"})",
               R"({"id": 2, "kind": "input", "name": "y", "shape": null})"}),
     "nodes[1].args[0]: node 2 is used before it is defined"},
    {"ShapeBeforeName", node0(R"("shape": [-1], "kind": "input")"),
     "nodes[0]: missing field \"name\""},
    {"ArgumentsOfAnInputIgnored",
     node0(R"("args": [{"node": 7}], "kwargs": 3, "kind": "input", "name": "x", "shape": [-1])"),
     "nodes[0].shape[0]: negative size -1"},
    {"NodesBeforeOutputs",
     R"({"outputs": ["0"], "format": "zavo.graph", "version": 1, "model": "m",
         "nodes": [{"name": "x", "id": 0, "kind": "buffer"}]})",
     "nodes[0].kind: unknown kind \"buffer\" (expected input, parameter, call or constant)"},
    {"OutputsInOrder",
     R"({"outputs": [0, 5, "x"], "format": "zavo.graph", "version": 1, "model": "m",
         "nodes": [{"shape": null, "name": "x", "id": 0, "kind": "input"}]})",
     "outputs[1]: unknown node 5"},
    {"TextBeforeGraph", node0(R"("kind": "buffer")") + " x",
     "line 3, column 19: not JSON: syntax error while parsing value - invalid literal; last "
     "read: '\"outputs\": []} x'; expected end of input"},
    {"NotUtf8AfterNotJson", "{oops\n\"\xFF\"}", "line 2, column 2: not UTF-8 (byte 0xFF)"},
};

INSTANTIATE_TEST_SUITE_P(FirstProblem, RejectedGraph, ::testing::ValuesIn(kFirstProblems),
                         [](const auto& test) { return std::string(test.param.name); });

// Every object with its fields in reverse order, but keyword arguments, whose order is kept.
testing::Json reversed(const testing::Json& value, bool keep_order = false) {
  if (value.is_array()) {
    testing::Json out = testing::Json::array();
    for (const auto& item : value)
      out.push_back(reversed(item));
    return out;
  }
  if (!value.is_object())
    return value;
  std::vector<std::string> keys;
  for (const auto& item : value.items())
    keys.push_back(item.key());
  if (!keep_order)
    std::reverse(keys.begin(), keys.end());
  testing::Json out = testing::Json::object();
  for (const auto& key : keys)
    out[key] = reversed(value[key], key == "kwargs");
  return out;
}

// What reading gives: the graph, described, or the message.
template <typename Read>
std::string outcome(Read read) {
  try {
    return graph_text(read());
  } catch (const GraphFileError& e) {
    return std::string("rejected: ") + e.what();
  }
}
std::string outcome(std::string_view text, GraphReader reader) {
  return outcome([&] { return read_graph_text(text, reader); });
}

// What reading `text` from a stream in chunks of `chunk_size` bytes gives.
std::string outcome_in_chunks(const std::string& text, std::size_t chunk_size) {
  std::istringstream in(text);
  return outcome([&] { return read_graph_stream(in, GraphReader::Fast, chunk_size); });
}

// The fast reader gives the checking reader's graph for every file it accepts, and accepts no
// file that the checking reader rejects: on every shipped graph and a generated graph of every
// family the benchmarks scale (read in chunks that cut tokens anywhere), and on a small one
// whole, in chunks of every small size, and broken at every byte in six ways (deleted,
// repeated, replaced by a quote, a backslash, a control character and a digit).
TEST(ReadGraph, TheFastReaderAgreesWithTheCheckingReader) {
  namespace fs = std::filesystem;
  for (const char* dir : {"examples", "models", "tests/golden/graphs"}) {
    for (const auto& entry : fs::directory_iterator(fs::path(ZAVO_SOURCE_DIR) / dir)) {
      if (entry.path().extension() != ".json")
        continue;
      const std::string text = testing::read_text(entry.path());
      const std::string checked = outcome(text, GraphReader::Checking);
      EXPECT_EQ(outcome([&] { return read_graph_file(entry.path()); }), checked) << entry.path();
      EXPECT_EQ(outcome_in_chunks(text, 61), checked) << entry.path();
    }
  }
  for (std::string_view shape : benchmarks::series_shapes()) {
    const std::string text = benchmarks::graph_text(*benchmarks::series_config(shape, 20'000));
    const std::string checked = outcome(text, GraphReader::Checking);
    ASSERT_EQ(checked.rfind("rejected", 0), std::string::npos) << shape << ": " << checked;
    EXPECT_EQ(outcome(text, GraphReader::Fast), checked) << shape;
    EXPECT_EQ(outcome_in_chunks(text, 61), checked) << shape;
  }
  const std::string small = R"({"format": "zavo.graph", "version": 1, "model": "m",
    "meta": {"a": [1, 2.5e-3, null]}, "nodes": [
    {"id": 0, "kind": "input", "name": "x", "shape": [1, 2]},
    {"id": 1, "kind": "parameter", "name": "w\u00e9", "shape": [2, 2]},
    {"id": 2, "kind": "call", "name": "y", "op": "torch.nn.functional.linear",
     "args": [{"node": 0}, {"node": 1}, null, [true, -7, "s"]],
     "kwargs": {"k": {"const": "torch.float32", "type": "torch.dtype"}}, "shape": [1, 2]}],
    "outputs": [2]})";
  const std::string whole = outcome(small, GraphReader::Checking);
  ASSERT_EQ(whole.rfind("rejected", 0), std::string::npos);
  for (std::size_t chunk_size = 4; chunk_size <= 24; ++chunk_size)  // a UTF-8 sequence fits
    EXPECT_EQ(outcome_in_chunks(small, chunk_size), whole) << "chunks of " << chunk_size;
  for (std::size_t i = 0; i < small.size(); ++i) {
    for (const std::string& broken :
         {small.substr(0, i) + small.substr(i + 1), small.substr(0, i + 1) + small.substr(i),
          small.substr(0, i) + '"' + small.substr(i + 1),
          small.substr(0, i) + '\\' + small.substr(i + 1),
          small.substr(0, i) + '\x01' + small.substr(i + 1),
          small.substr(0, i) + '7' + small.substr(i + 1)}) {
      EXPECT_EQ(outcome(broken, GraphReader::Fast), outcome(broken, GraphReader::Checking))
          << broken;
    }
  }
}

// The forms the fast reader reads by a shorter way, and their neighbours that it must hand on:
// integers of every length around 64 bits and with leading zeros or signs, node references
// spaced or escaped, repeated fields, known and unknown. Both readers give the same outcome.
TEST(ReadGraph, TheReadersAgreeOnIntegersReferencesAndRepeatedFields) {
  auto file = [](std::string_view call) {
    return R"({"format": "zavo.graph", "version": 1, "model": "m", "nodes": [
      {"id": 0, "kind": "input", "name": "x", "shape": [1, 2]},
      {"id": 1, "kind": "call", "name": "y", "op": "torch.relu", "kwargs": {}, "shape": [1, 2], )" +
           std::string(call) + "}], \"outputs\": [1]}";
  };
  for (const char* call :
       {R"("args": [{"node": 0}, 0, -0, 7, 10, 012, -012, 00, 1.5, 2e3, -9])",
        R"("args": [{"node":0}, 999999999999999999, 1000000000000000000, 9223372036854775807])",
        R"("args": [{"node": 0}, 9223372036854775808, -9223372036854775808])",
        R"("args": [{ "node" : 0 }, {"no\u0064e": 0}, {"node": 00}, {"node": -0}])",
        R"("args": [{"node":0 }, {"node": 1}])", R"("args": [{"node": 0, "node": 0}])",
        R"("args": [{"node": 0}], "args": [])", R"("args": [], "extra": 1, "extra": 2)",
        R"("args": [], "extra": 1, "other": 2)", R"("args": [], "name": "z")"}) {
    const std::string text = file(call);
    EXPECT_EQ(outcome(text, GraphReader::Fast), outcome(text, GraphReader::Checking)) << call;
  }
}

TEST(ReadGraph, FieldOrderDoesNotMatter) {
  for (const char* name : {"concat_block.json", "depthwise_separable.json", "handler_error.json",
                           "residual_block.json"}) {
    std::string text = testing::read_text(testing::example_path(name));
    std::string backwards = reversed(testing::Json::parse(text)).dump();
    EXPECT_EQ(graph_text(read_graph_text(backwards)), graph_text(read_graph_text(text))) << name;
  }
}

}  // namespace
}  // namespace zavo::graph
