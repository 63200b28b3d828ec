#include "zavo/graph/graph_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "zavo/graph/json_reader.hpp"

namespace zavo::graph {
namespace {

using json_reader::Position;
using json_reader::Scalar;
using json_reader::Type;
using tensor_trace::Args;
using tensor_trace::Graph;
using tensor_trace::Kwargs;
using tensor_trace::NodeKind;
using tensor_trace::OpaqueConstant;
using tensor_trace::Sequence;
using tensor_trace::Shape;
using tensor_trace::Value;

std::string expected(std::string_view what, Type got) {
  return "expected " + std::string(what) + ", got " + std::string(json_reader::type_name(got));
}

std::string missing(std::string_view field) {
  return "missing field " + json_reader::quoted(field);
}

// A problem of the graph, as opposed to the text: kept until the whole text is read, because a
// problem of the text (not UTF-8, not JSON, ...) is reported first wherever it is.
struct Problem {
  std::string place;
  std::string message;
  // Set for a reference to the node being read or a later one: whether that node exists, and so
  // which message applies, is known only at the end of `nodes`.
  std::optional<std::int64_t> later_node;

  std::string text(std::size_t node_count) const {
    if (!later_node)
      return place + ": " + message;
    std::string id = std::to_string(*later_node);
    if (static_cast<std::size_t>(*later_node) >= node_count)
      return place + ": unknown node " + id;
    return place + ": node " + id + " is used before it is defined";
  }
};

// A field as the file gives it: whether it is there, and the type of its value.
struct Field {
  bool present = false;
  Type type = Type::Null;

  void set(Type value_type) {
    present = true;
    type = value_type;
  }
};

// The names of the nodes read so far, for finding repeats: open addressing over node ids, hashed
// by the names the graph holds, so that no name is stored twice. A slot keeps the id and 32 bits
// of the name's hash, so that probing seldom has to look at a node. Ids fit in 32 bits: a graph
// of four billion nodes would not fit in memory.
class NameTable {
 public:
  explicit NameTable(const Graph& graph) : graph_(graph) {}

  // The id of the node named `name`, if there is one.
  std::optional<std::size_t> find(std::string_view name) const {
    if (slots_.empty())
      return std::nullopt;
    std::size_t hash = std::hash<std::string_view>{}(name);
    for (std::size_t i = hash & mask(); slots_[i] != 0; i = (i + 1) & mask()) {
      if (tag(slots_[i]) == tag_of(hash) && graph_.node(id(slots_[i])).name == name)
        return id(slots_[i]);
    }
    return std::nullopt;
  }

  // Adds node `node_id`, whose name is not in the table yet.
  void add(std::size_t node_id) {
    if (node_id >= std::numeric_limits<std::uint32_t>::max())
      throw std::length_error("too many nodes");
    if (2 * (used_ + 1) > slots_.size()) {
      std::vector<std::uint64_t> old(std::max<std::size_t>(16, 2 * slots_.size()), 0);
      old.swap(slots_);
      for (std::uint64_t slot : old) {
        if (slot != 0)
          place(id(slot));
      }
    }
    place(node_id);
    ++used_;
  }

 private:
  std::size_t mask() const { return slots_.size() - 1; }
  static std::size_t id(std::uint64_t slot) {
    return static_cast<std::size_t>(slot & 0xFFFFFFFF) - 1;
  }
  static std::uint64_t tag(std::uint64_t slot) { return slot >> 32; }
  static std::uint64_t tag_of(std::size_t hash) { return static_cast<std::uint64_t>(hash) >> 32; }

  void place(std::size_t node_id) {
    std::size_t hash = std::hash<std::string_view>{}(graph_.node(node_id).name);
    std::size_t i = hash & mask();
    while (slots_[i] != 0)
      i = (i + 1) & mask();
    slots_[i] = tag_of(hash) << 32 | (node_id + 1);
  }

  const Graph& graph_;
  std::vector<std::uint64_t> slots_;  // tag << 32 | (node id + 1), or 0 when free; 2^k of them
  std::size_t used_ = 0;
};

// Builds the graph from the reader's events, one node at a time: the fields of a node may come
// in any order, so each node's fields are kept until its object ends and then checked in a fixed
// order, which makes the first problem reported the same whatever the order. Nothing else of the
// text is kept.
class GraphBuilder final : public json_reader::Handler {
 public:
  void scalar(const Position& at, const Scalar& value) override {
    if (roles_.empty()) {
      top_ = value.type;
      return;
    }
    switch (roles_.back()) {
      case Role::Skip:
        return;
      case Role::Top:
        top_field(at.key(), value.type, &value);
        return;
      case Role::Nodes:
        begin_node(at, value.type);
        return;
      case Role::Node:
        node_field(at.key(), value.type, &value);
        return;
      case Role::Sizes:
        shape_size(at, value.type, value.integer);
        return;
      case Role::Positional:
      case Role::Items:
      case Role::Keywords:
        add_value(at, scalar_value(value));
        return;
      case Role::ObjectValue:
        object_member(at.key(), value.type, &value);
        return;
      case Role::Outputs:
        output(at, value.type, value.integer);
        return;
    }
  }

  void start(const Position& at, Type container) override {
    Role role = Role::Skip;
    if (roles_.empty()) {
      top_ = container;
      if (container == Type::Object)
        role = Role::Top;
    } else {
      switch (roles_.back()) {
        case Role::Skip:
          break;
        case Role::Top:
          role = top_field(at.key(), container, nullptr);
          break;
        case Role::Nodes:
          role = begin_node(at, container);
          break;
        case Role::Node:
          role = node_field(at.key(), container, nullptr);
          break;
        case Role::Sizes:
          shape_size(at, container, 0);
          break;
        case Role::Positional:
        case Role::Items:
        case Role::Keywords:
          role = container == Type::Array ? begin_sequence() : begin_object_value();
          break;
        case Role::ObjectValue:
          object_member(at.key(), container, nullptr);
          break;
        case Role::Outputs:
          output(at, container, 0);
          break;
      }
    }
    roles_.push_back(role);
  }

  void end(const Position& at) override {
    Role role = roles_.back();
    roles_.pop_back();
    if (role == Role::Node)
      end_node(at);
    else if (role == Role::Items)
      end_sequence(at);
    else if (role == Role::ObjectValue)
      end_object_value(at);
  }

  // The graph, once the whole text has been read: raises `GraphFileError` for the first problem,
  // the header's before the nodes' before the outputs'.
  Graph finish() {
    auto fail = [](const std::string& message) { throw GraphFileError(message); };
    if (top_ != Type::Object)
      fail("top level: " + expected("an object", top_));
    if (!format_.present)
      fail("top level: " + missing("format"));
    if (format_.type != Type::String)
      fail("format: " + expected("a string", format_.type));
    if (format_text_ != "zavo.graph")
      fail("format: expected \"zavo.graph\", got " + json_reader::quoted(format_text_));
    if (!version_.present)
      fail("top level: " + missing("version"));
    if (version_.type != Type::Integer)
      fail("version: " + expected("an integer", version_.type));
    if (version_value_ != 1) {
      fail("version: unsupported version " + std::to_string(version_value_) +
           " (this reader knows version 1)");
    }
    if (!model_.present)
      fail("top level: " + missing("model"));
    if (model_.type != Type::String)
      fail("model: " + expected("a string", model_.type));
    if (meta_.present && meta_.type != Type::Object)
      fail("meta: " + expected("an object", meta_.type));
    if (!nodes_.present)
      fail("top level: " + missing("nodes"));
    if (nodes_.type != Type::Array)
      fail("nodes: " + expected("an array", nodes_.type));
    if (node_problem_)
      fail(node_problem_->text(node_count_));
    if (!outputs_.present)
      fail("top level: " + missing("outputs"));
    if (outputs_.type != Type::Array)
      fail("outputs: " + expected("an array", outputs_.type));
    graph_.outputs.reserve(output_ids_.size());
    for (std::size_t i = 0; i < output_ids_.size(); ++i) {
      std::int64_t id = output_ids_[i];
      if (id < 0 || static_cast<std::size_t>(id) >= graph_.size())
        fail("outputs[" + std::to_string(i) + "]: unknown node " + std::to_string(id));
      graph_.outputs.push_back(&graph_.node(static_cast<std::size_t>(id)));
    }
    if (output_problem_)
      fail(output_problem_->text(node_count_));
    return std::move(graph_);
  }

 private:
  // What the values inside an open array or object are.
  enum class Role : unsigned char {
    Skip,         // read but not used: unknown fields, `meta`, nodes after a problem
    Top,          // the fields of the document
    Nodes,        // the nodes
    Node,         // the fields of a node
    Sizes,        // the sizes of a node's shape
    Positional,   // a call's positional arguments
    Items,        // the items of a sequence argument
    Keywords,     // a call's keyword arguments
    ObjectValue,  // the fields of `{"node": ID}` or `{"const": TEXT, "type": TYPE}`
    Outputs,      // the output ids
  };

  // The fields of the node being read.
  struct NodeFields {
    Field id, kind, name, shape, op, op_name, args, kwargs;
    std::int64_t id_value = 0;
    std::string kind_text, name_text, op_text, op_name_text;
    Shape sizes;
    std::size_t dimensions = 0;  // sizes read, kept or not
    std::vector<std::pair<std::string, Value>> kwargs_items;
    std::optional<Problem> shape_problem, args_problem, kwargs_problem;
  };

  // The fields of an object argument.
  struct ObjectFields {
    std::size_t members = 0;
    Field node, text, type;
    std::int64_t node_id = 0;
    std::string text_value, type_value;
  };

  Role top_field(std::string_view key, Type type, const Scalar* value) {
    if (key == "format") {
      format_.set(type);
      if (type == Type::String)
        format_text_.assign(value->text);
    } else if (key == "version") {
      version_.set(type);
      if (type == Type::Integer)
        version_value_ = value->integer;
    } else if (key == "model") {
      model_.set(type);
      if (type == Type::String)
        graph_.model.assign(value->text);
    } else if (key == "meta") {
      meta_.set(type);
    } else if (key == "nodes") {
      nodes_.set(type);
      if (type == Type::Array)
        return Role::Nodes;
    } else if (key == "outputs") {
      outputs_.set(type);
      if (type == Type::Array)
        return Role::Outputs;
    }
    return Role::Skip;
  }

  Role begin_node(const Position& at, Type type) {
    ++node_count_;
    if (node_problem_)
      return Role::Skip;
    if (type != Type::Object) {
      node_problem_ = Problem{at.path(), expected("an object", type), std::nullopt};
      return Role::Skip;
    }
    NodeFields& n = node_;
    n.id = n.kind = n.name = n.shape = n.op = n.op_name = n.args = n.kwargs = Field{};
    n.sizes.clear();
    n.dimensions = 0;
    n.kwargs_items.clear();
    n.shape_problem.reset();
    n.args_problem.reset();
    n.kwargs_problem.reset();
    return Role::Node;
  }

  Role node_field(std::string_view key, Type type, const Scalar* value) {
    NodeFields& n = node_;
    auto text = [&](Field& field, std::string& out) {
      field.set(type);
      if (type == Type::String)
        out.assign(value->text);
      return Role::Skip;
    };
    if (key == "id") {
      n.id.set(type);
      if (type == Type::Integer)
        n.id_value = value->integer;
    } else if (key == "kind") {
      return text(n.kind, n.kind_text);
    } else if (key == "name") {
      return text(n.name, n.name_text);
    } else if (key == "op") {
      return text(n.op, n.op_text);
    } else if (key == "op_name") {
      return text(n.op_name, n.op_name_text);
    } else if (key == "shape") {
      n.shape.set(type);
      if (type == Type::Array)
        return Role::Sizes;
    } else if (key == "args") {
      n.args.set(type);
      if (type == Type::Array) {
        level_ = 0;
        values_at(0).clear();
        value_problem_ = &n.args_problem;
        return Role::Positional;
      }
    } else if (key == "kwargs") {
      n.kwargs.set(type);
      if (type == Type::Object) {
        level_ = 0;
        value_problem_ = &n.kwargs_problem;
        return Role::Keywords;
      }
    }
    return Role::Skip;
  }

  void shape_size(const Position& at, Type type, std::int64_t size) {
    std::optional<Problem>& problem = node_.shape_problem;
    // Counted past any problem: a shape of too many dimensions is reported as that first.
    if (++node_.dimensions > kMaxDimensions || problem)
      return;
    if (type != Type::Integer) {
      problem = Problem{at.path(), expected("an integer", type), std::nullopt};
    } else if (size < 0) {
      problem = Problem{at.path(), "negative size " + std::to_string(size), std::nullopt};
    } else if (size > kMaxDimensionSize) {
      problem = Problem{at.path(),
                        "size " + std::to_string(size) + " is out of range (at most " +
                            std::to_string(kMaxDimensionSize) + ")",
                        std::nullopt};
    } else {
      node_.sizes.push_back(size);
    }
  }

  // The node ends: its fields are checked in the order the format lists them, and the node is
  // added when they hold.
  void end_node(const Position& at) {
    NodeFields& n = node_;
    auto fail = [&](std::string_view field, std::string message) {
      std::string place = at.path();
      if (!field.empty())
        place += '.' + std::string(field);
      node_problem_ = Problem{std::move(place), std::move(message), std::nullopt};
    };
    auto check = [&](const Field& field, std::string_view key, Type type, std::string_view what) {
      if (!field.present)
        fail({}, missing(key));
      else if (field.type != type)
        fail(key, expected(what, field.type));
      return !node_problem_;
    };
    std::size_t index = graph_.size();
    if (!check(n.id, "id", Type::Integer, "an integer"))
      return;
    if (n.id_value != static_cast<std::int64_t>(index)) {
      return fail("id", "id " + std::to_string(n.id_value) + " is out of order (expected " +
                            std::to_string(index) + ")");
    }
    if (!check(n.kind, "kind", Type::String, "a string"))
      return;
    NodeKind kind;
    if (n.kind_text == "input") {
      kind = NodeKind::Input;
    } else if (n.kind_text == "parameter") {
      kind = NodeKind::Parameter;
    } else if (n.kind_text == "call") {
      kind = NodeKind::Call;
    } else if (n.kind_text == "constant") {
      kind = NodeKind::Constant;
    } else {
      return fail("kind", "unknown kind " + json_reader::quoted(n.kind_text) + " (expected " +
                              std::string(kNodeKinds) + ")");
    }
    if (!check(n.name, "name", Type::String, "a string"))
      return;
    if (n.name_text.size() > kMaxNameLength) {
      return fail("name", "a name of " + std::to_string(n.name_text.size()) +
                              " bytes, longer than this reader accepts (at most " +
                              std::to_string(kMaxNameLength) + ")");
    }
    if (auto first = names_.find(n.name_text)) {
      return fail("name", "duplicate name " + json_reader::quoted(n.name_text) + " (also node " +
                              std::to_string(*first) + ")");
    }
    if (!n.shape.present)
      return fail({}, missing("shape"));
    if (n.shape.type != Type::Null && n.shape.type != Type::Array)
      return fail("shape", expected("an array", n.shape.type));
    if (n.dimensions > kMaxDimensions) {
      return fail("shape", std::to_string(n.dimensions) +
                               " dimensions, more than this reader accepts (at most " +
                               std::to_string(kMaxDimensions) + ")");
    }
    if (n.shape_problem) {
      node_problem_ = std::move(n.shape_problem);
      return;
    }
    bool has_shape = n.shape.type == Type::Array;
    if (kind == NodeKind::Call) {
      if (!check(n.op, "op", Type::String, "a string"))
        return;
      if (n.op_text.empty())
        return fail("op", "empty operation name");
      if (n.op_name.present && n.op_name.type != Type::Null && n.op_name.type != Type::String)
        return fail("op_name", expected("a string", n.op_name.type));
      if (!check(n.args, "args", Type::Array, "an array"))
        return;
      if (n.args_problem) {
        node_problem_ = std::move(n.args_problem);
        return;
      }
      if (!check(n.kwargs, "kwargs", Type::Object, "an object"))
        return;
      if (n.kwargs_problem) {
        node_problem_ = std::move(n.kwargs_problem);
        return;
      }
    }
    add_node(kind, has_shape);
  }

  // Adds the node whose fields were checked; every vector it keeps is sized exactly.
  void add_node(NodeKind kind, bool has_shape) {
    NodeFields& n = node_;
    std::optional<Shape> shape;
    if (has_shape)
      shape.emplace(n.sizes.begin(), n.sizes.end());
    std::string name(n.name_text);
    if (kind == NodeKind::Input) {
      graph_.add_input(std::move(name), std::move(shape));
    } else if (kind == NodeKind::Parameter) {
      graph_.add_parameter(std::move(name), std::move(shape));
    } else if (kind == NodeKind::Constant) {
      graph_.add_constant(std::move(name), std::move(shape));
    } else {
      std::vector<Value>& items = values_at(0);
      Args args(std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
      Kwargs kwargs;
      kwargs.reserve(n.kwargs_items.size());
      for (auto& [key, value] : n.kwargs_items)
        kwargs.append(std::move(key), std::move(value));
      std::optional<std::string> op_name;
      if (n.op_name.type == Type::String)
        op_name.emplace(n.op_name_text);
      graph_.add_call(std::move(name), tensor_trace::intern_operation(n.op_text), std::move(args),
                      std::move(kwargs), std::move(shape), std::move(op_name));
    }
    names_.add(graph_.size() - 1);
  }

  // The scratch list of the values of the sequence at `level` (0: the positional arguments).
  std::vector<Value>& values_at(std::size_t level) {
    if (values_.size() <= level)
      values_.resize(level + 1);
    return values_[level];
  }

  static Value scalar_value(const Scalar& value) {
    switch (value.type) {
      case Type::Boolean:
        return Value(value.boolean);
      case Type::Integer:
        return Value(value.integer);
      case Type::Number:
        return Value(value.number);
      case Type::String:
        return Value(std::string(value.text));
      default:
        return Value::none();
    }
  }

  // Adds a complete argument value to the open list or keyword arguments.
  void add_value(const Position& at, Value value) {
    if (roles_.back() == Role::Keywords)
      node_.kwargs_items.emplace_back(at.key(), std::move(value));
    else
      values_[level_].push_back(std::move(value));
  }

  void value_problem(Problem problem) {
    if (!*value_problem_)
      *value_problem_ = std::move(problem);
  }

  Role begin_sequence() {
    values_at(++level_).clear();
    return Role::Items;
  }

  void end_sequence(const Position& at) {
    std::vector<Value>& items = values_[level_--];
    add_value(at, Value(Sequence(std::make_move_iterator(items.begin()),
                                 std::make_move_iterator(items.end()))));
  }

  Role begin_object_value() {
    object_.members = 0;
    object_.node = object_.text = object_.type = Field{};
    return Role::ObjectValue;
  }

  void object_member(std::string_view key, Type type, const Scalar* value) {
    ObjectFields& o = object_;
    ++o.members;
    if (key == "node") {
      o.node.set(type);
      if (type == Type::Integer)
        o.node_id = value->integer;
    } else if (key == "const") {
      o.text.set(type);
      if (type == Type::String)
        o.text_value.assign(value->text);
    } else if (key == "type") {
      o.type.set(type);
      if (type == Type::String)
        o.type_value.assign(value->text);
    }
  }

  // `{"node": ID}` or `{"const": TEXT, "type": TYPE}`.
  void end_object_value(const Position& at) {
    const ObjectFields& o = object_;
    Value value;
    if (o.members == 1 && o.node.present) {
      if (o.node.type != Type::Integer)
        value_problem(Problem{at.path() + ".node", expected("an integer", o.node.type), {}});
      else
        value = defined_node(at, o.node_id);
    } else if (o.members != 2 || !o.text.present || !o.type.present) {
      value_problem(Problem{at.path(),
                            "expected {\"node\": ID} or {\"const\": TEXT, \"type\": TYPE}, got "
                            "another object",
                            {}});
    } else if (o.text.type != Type::String) {
      value_problem(Problem{at.path() + ".const", expected("a string", o.text.type), {}});
    } else if (o.type.type != Type::String) {
      value_problem(Problem{at.path() + ".type", expected("a string", o.type.type), {}});
    } else {
      value = constant(o.text_value, o.type_value);
    }
    add_value(at, std::move(value));
  }

  // The node `id` refers to, which must come earlier in the file than the node being read.
  Value defined_node(const Position& at, std::int64_t id) {
    if (id < 0) {
      value_problem(Problem{at.path(), "unknown node " + std::to_string(id), {}});
      return Value::none();
    }
    if (static_cast<std::size_t>(id) >= graph_.size()) {
      value_problem(Problem{at.path(), {}, id});
      return Value::none();
    }
    return Value(graph_.node(static_cast<std::size_t>(id)));
  }

  static Value constant(const std::string& text, const std::string& type) {
    // Floating-point values that JSON cannot hold.
    if (type == "float") {
      if (text == "inf")
        return Value(std::numeric_limits<double>::infinity());
      if (text == "-inf")
        return Value(-std::numeric_limits<double>::infinity());
      if (text == "nan")
        return Value(std::numeric_limits<double>::quiet_NaN());
    }
    return Value(OpaqueConstant{text, type});
  }

  void output(const Position& at, Type type, std::int64_t id) {
    if (output_problem_)
      return;
    if (type == Type::Integer)
      output_ids_.push_back(id);
    else
      output_problem_ = Problem{at.path(), expected("an integer", type), std::nullopt};
  }

  Graph graph_;
  NameTable names_{graph_};
  std::vector<Role> roles_;  // one per open array and object

  Type top_ = Type::Null;
  Field format_, version_, model_, meta_, nodes_, outputs_;
  std::string format_text_;
  std::int64_t version_value_ = 0;

  std::size_t node_count_ = 0;  // elements of `nodes` so far
  std::optional<Problem> node_problem_;
  NodeFields node_;

  std::vector<std::vector<Value>> values_;  // per sequence level, reused from node to node
  std::size_t level_ = 0;                   // of the innermost open sequence
  std::optional<Problem>* value_problem_ = nullptr;
  ObjectFields object_;

  std::vector<std::int64_t> output_ids_;  // up to the first that is not an integer
  std::optional<Problem> output_problem_;
};

Graph read_graph(json_reader::Source& source) {
  GraphBuilder builder;
  json_reader::read(source, builder);
  return builder.finish();
}

}  // namespace

Graph read_graph_text(std::string_view text) {
  json_reader::Source source(text);
  return read_graph(source);
}

Graph read_graph_file(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw GraphFileError("cannot read: it is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw GraphFileError(std::string("cannot read: ") + std::strerror(errno));
  json_reader::Source source(in);
  return read_graph(source);
}

}  // namespace zavo::graph
