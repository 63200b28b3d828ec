#include "zavo/graph_file/graph_file.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "zavo/graph_file/json_reader.hpp"

namespace zavo::graph {
namespace {

using json_reader::Position;
using json_reader::Scalar;
using json_reader::Type;
using tensor_trace::Graph;
using tensor_trace::NodeKind;
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
// of the name's hash, which also place it, so that neither probing nor growing has to read a
// node's name unless the hashes agree. Ids fit in 32 bits: a graph of four billion nodes would
// not fit in memory.
class NameTable {
 public:
  explicit NameTable(const Graph& graph) : graph_(graph) {}

  // The id of the node named `name`, if there is one.
  std::optional<std::size_t> find(std::string_view name) const {
    if (slots_.empty())
      return std::nullopt;
    const std::uint64_t tag = tag_of(name);
    for (std::size_t i = tag & mask(); slots_[i] != 0; i = (i + 1) & mask()) {
      if (slots_[i] >> 32 == tag && graph_.node(id(slots_[i])).name == name)
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
          place(slot);
      }
    }
    place(tag_of(graph_.node(node_id).name) << 32 | (node_id + 1));
    ++used_;
  }

 private:
  std::size_t mask() const { return slots_.size() - 1; }
  static std::size_t id(std::uint64_t slot) {
    return static_cast<std::size_t>(slot & 0xFFFFFFFF) - 1;
  }
  static std::uint64_t tag_of(std::string_view name) {
    return static_cast<std::uint64_t>(std::hash<std::string_view>{}(name)) >> 32;
  }

  void place(std::uint64_t slot) {
    std::size_t i = (slot >> 32) & mask();
    while (slots_[i] != 0)
      i = (i + 1) & mask();
    slots_[i] = slot;
  }

  const Graph& graph_;
  std::vector<std::uint64_t> slots_;  // tag << 32 | (node id + 1), or 0 when free; 2^k of them
  std::size_t used_ = 0;
};

// What both readers make of checked nodes: the graph, and the values and nodes of each kind as
// the format defines them.
class GraphAssembly {
 public:
  Graph graph;

  // The node kind that `kind` names in a file.
  static std::optional<NodeKind> kind_named(std::string_view kind) {
    if (kind == "input")
      return NodeKind::Input;
    if (kind == "parameter")
      return NodeKind::Parameter;
    if (kind == "call")
      return NodeKind::Call;
    if (kind == "constant")
      return NodeKind::Constant;
    return std::nullopt;
  }

  Value scalar(const Scalar& value) {
    switch (value.type) {
      case Type::Boolean:
        return Value(value.boolean);
      case Type::Integer:
        return graph.integer(value.integer);
      case Type::Number:
        return graph.number(value.number);
      case Type::String:
        return graph.text(value.text);
      default:
        return Value::none();
    }
  }

  // `{"const": TEXT, "type": TYPE}`; floating-point values that JSON cannot hold are numbers.
  Value constant(std::string_view text, std::string_view type) {
    if (type == "float") {
      if (text == "inf")
        return graph.number(std::numeric_limits<double>::infinity());
      if (text == "-inf")
        return graph.number(-std::numeric_limits<double>::infinity());
      if (text == "nan")
        return graph.number(std::numeric_limits<double>::quiet_NaN());
    }
    return graph.opaque(text, type);
  }

  // Adds a node whose fields were checked (`sizes` null: no shape); its name, shape and
  // arguments go straight into the graph's store.
  void add(NodeKind kind, std::string_view name, const Shape* sizes, std::string_view op,
           std::optional<std::string_view> op_name, const std::vector<Value>& args,
           tensor_trace::KeywordList kwargs) {
    static const std::optional<Shape> kNoShape;
    if (sizes)
      shape_->assign(sizes->begin(), sizes->end());
    const std::optional<Shape>& shape = sizes ? shape_ : kNoShape;
    if (kind == NodeKind::Input)
      graph.add_input(name, shape);
    else if (kind == NodeKind::Parameter)
      graph.add_parameter(name, shape);
    else if (kind == NodeKind::Constant)
      graph.add_constant(name, shape);
    else
      graph.add_call(name, operation(op), args, kwargs, shape, op_name);
  }

 private:
  // The operation named `name`, looked up in the process's table once per name and file.
  tensor_trace::OperationKey operation(std::string_view name) {
    auto it = operations_.find(name);
    if (it == operations_.end())
      it = operations_.emplace(std::string(name), tensor_trace::intern_operation(name)).first;
    return it->second;
  }

  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::optional<Shape> shape_ = Shape();  // the shape of the node being added
  std::unordered_map<std::string, tensor_trace::OperationKey, TextHash, std::equal_to<>>
      operations_;
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
        add_value(at, assembly_.scalar(value));
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
    Graph& graph = assembly_.graph;
    graph.outputs.reserve(output_ids_.size());
    for (std::size_t i = 0; i < output_ids_.size(); ++i) {
      std::int64_t id = output_ids_[i];
      if (id < 0 || static_cast<std::size_t>(id) >= graph.size())
        fail("outputs[" + std::to_string(i) + "]: unknown node " + std::to_string(id));
      graph.outputs.push_back(&graph.node(static_cast<std::size_t>(id)));
    }
    if (output_problem_)
      fail(output_problem_->text(node_count_));
    return std::move(graph);
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
    std::vector<tensor_trace::Keyword> kwargs_items;
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
        assembly_.graph.model.assign(value->text);
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
    std::size_t index = assembly_.graph.size();
    if (!check(n.id, "id", Type::Integer, "an integer"))
      return;
    if (n.id_value != static_cast<std::int64_t>(index)) {
      return fail("id", "id " + std::to_string(n.id_value) + " is out of order (expected " +
                            std::to_string(index) + ")");
    }
    if (!check(n.kind, "kind", Type::String, "a string"))
      return;
    const std::optional<NodeKind> kind = GraphAssembly::kind_named(n.kind_text);
    if (!kind) {
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
    if (*kind == NodeKind::Call) {
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
    std::optional<std::string_view> op_name;
    if (n.op_name.type == Type::String)
      op_name = n.op_name_text;
    assembly_.add(*kind, n.name_text, has_shape ? &n.sizes : nullptr, n.op_text, op_name,
                  values_at(0), tensor_trace::KeywordList(n.kwargs_items));
    names_.add(index);
  }

  // The scratch list of the values of the sequence at `level` (0: the positional arguments).
  std::vector<Value>& values_at(std::size_t level) {
    if (values_.size() <= level)
      values_.resize(level + 1);
    return values_[level];
  }

  // Adds a complete argument value to the open list or keyword arguments.
  void add_value(const Position& at, Value value) {
    if (roles_.back() == Role::Keywords)
      node_.kwargs_items.push_back({assembly_.graph.intern(at.key()), std::move(value)});
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
    const std::vector<Value>& items = values_[level_--];
    add_value(at, assembly_.graph.sequence(items));
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
      value = assembly_.constant(o.text_value, o.type_value);
    }
    add_value(at, std::move(value));
  }

  // The node `id` refers to, which must come earlier in the file than the node being read.
  Value defined_node(const Position& at, std::int64_t id) {
    if (id < 0) {
      value_problem(Problem{at.path(), "unknown node " + std::to_string(id), {}});
      return Value::none();
    }
    if (static_cast<std::size_t>(id) >= assembly_.graph.size()) {
      value_problem(Problem{at.path(), {}, id});
      return Value::none();
    }
    return Value(assembly_.graph.node(static_cast<std::size_t>(id)));
  }

  void output(const Position& at, Type type, std::int64_t id) {
    if (output_problem_)
      return;
    if (type == Type::Integer)
      output_ids_.push_back(id);
    else
      output_problem_ = Problem{at.path(), expected("an integer", type), std::nullopt};
  }

  GraphAssembly assembly_;
  NameTable names_{assembly_.graph};
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

// Where a reader hands over the nodes it has completed, while it reads on.
class NodeHandover {
 public:
  // The nodes so far, all complete and in place for good; false asks the reader to stop.
  virtual bool publish(std::span<const tensor_trace::ZavoNode* const> nodes) = 0;

 protected:
  ~NodeHandover() = default;
};

// Reads a graph file in one pass, straight into the graph: it knows the format's layout and
// checks every rule of the format and of its JSON, but says only that the file breaks one. Such
// a file is read again by `GraphBuilder`, which names the problem; so is any file that this
// reader does not expect (a byte-order mark, an integer past 64 bits), at the cost of time.
class FastGraphReader {
 public:
  explicit FastGraphReader(json_reader::Source& source) : lex_(source) {}
  // Hands its nodes over to `handover` `batch` at a time. Room for `node_limit` nodes is taken
  // at once, so that the nodes' index never moves; a file with more is read again by the
  // checking reader.
  FastGraphReader(json_reader::Source& source, NodeHandover& handover, std::size_t node_limit,
                  std::size_t batch)
      : lex_(source), handover_(&handover), node_limit_(node_limit), batch_(batch) {
    assembly_.graph.reserve(node_limit);
  }

  // The graph; none when the file must be read again.
  std::optional<Graph> read() {
    if (!document() || !lex_.finished() || repeats_a_name())
      return std::nullopt;
    Graph& graph = assembly_.graph;
    graph.outputs.reserve(outputs_.size());
    for (std::int64_t id : outputs_) {
      if (id < 0 || static_cast<std::size_t>(id) >= graph.size())
        return std::nullopt;
      graph.outputs.push_back(&graph.node(static_cast<std::size_t>(id)));
    }
    return std::move(graph);
  }

 private:
  using Lexer = json_reader::Lexer;

  // Whether `key` is `literal`: a comparison of known length, which the compiler writes inline
  // (a node's fields are told apart by it a few million times in a large graph).
  template <std::size_t N>
  static bool is(std::string_view key, const char (&literal)[N]) {
    return key.size() == N - 1 && std::memcmp(key.data(), literal, N - 1) == 0;
  }

  // Reads an object's members, `member(key)` reading each value; keys must be distinct. The key
  // is valid until `member` reads on, so it looks at the key first.
  template <typename Member>
  bool object(Member member) {
    Lexer::Keys keys;
    return members([&](std::string_view key) { return keys.add(key) && member(key); });
  }

  // Reads an object's members as `object` does, but leaves telling repeated keys apart to
  // `member`.
  template <typename Member>
  bool members(Member member) {
    if (!lex_.consume('{'))
      return false;
    if (lex_.consume('}'))
      return true;
    std::string_view key;  // valid until `member` reads on
    do {
      if (!lex_.key(key) || !member(key))
        return false;
    } while (lex_.consume(','));
    return lex_.consume('}');
  }

  // Reads an array's items, `item()` reading each.
  template <typename Item>
  bool array(Item item) {
    if (!lex_.consume('['))
      return false;
    if (lex_.consume(']'))
      return true;
    do {
      if (!item())
        return false;
    } while (lex_.consume(','));
    return lex_.consume(']');
  }

  bool string(std::string& out) {
    std::string_view text;
    if (!lex_.string(text))
      return false;
    out.assign(text);
    return true;
  }

  bool integer(std::int64_t& out) { return lex_.integer(out); }

  // The document: one object, the header checked, the nodes read.
  bool document() {
    bool format = false, version = false, model = false, nodes = false, outputs = false;
    const bool read = object([&](std::string_view key) {
      if (key == "format") {
        std::string_view text;
        return (format = lex_.string(text) && text == "zavo.graph");
      }
      if (key == "version") {
        std::int64_t number = 0;
        return (version = integer(number) && number == 1);
      }
      if (key == "model")
        return (model = string(assembly_.graph.model));
      if (key == "meta")
        return lex_.peek() == '{' && lex_.skip(kMaxNesting - 1);
      if (key == "nodes")
        return (nodes = array([this] { return node(); }) && hand_over());
      if (key == "outputs") {
        return (outputs = array([this] {
                  std::int64_t id = 0;
                  if (!integer(id))
                    return false;
                  outputs_.push_back(id);
                  return true;
                }));
      }
      return lex_.skip(kMaxNesting - 1);
    });
    return read && format && version && model && nodes && outputs;
  }

  // The nodes read so far, to the handover if there is one; false when it says stop.
  bool hand_over() {
    unpublished_ = 0;
    return !handover_ || handover_->publish(assembly_.graph.nodes());
  }

  // One node: its fields in any order, checked when the object ends.
  bool node() {
    const std::size_t index = assembly_.graph.size();
    if (index == node_limit_)
      return false;
    std::int64_t id = -1;
    std::optional<NodeKind> kind;
    bool has_name = false, has_op = false, has_args = false, has_kwargs = false;
    bool has_shape = false, shape_known = false, has_op_name = false;
    kwargs_.clear();
    level(0).clear();
    // The node's fields met so far, one bit each: a repeated field is told without hashing the
    // keys. Other keys can repeat only among themselves.
    unsigned fields = 0;
    auto first = [&fields](unsigned field) {
      return !(std::exchange(fields, fields | field) & field);
    };
    Lexer::Keys others;
    const bool read = members([&](std::string_view key) {
      if (is(key, "id"))
        return first(1u << 0) && integer(id);
      if (is(key, "kind")) {
        std::string_view text;
        if (!first(1u << 1))
          return false;
        return lex_.string(text) && (kind = GraphAssembly::kind_named(text));
      }
      if (is(key, "name"))
        return first(1u << 2) && (has_name = string(name_));
      if (is(key, "shape")) {
        if (!first(1u << 3))
          return false;
        has_shape = true;
        if (lex_.peek() == 'n') {
          Scalar none;
          return lex_.scalar(none) && none.type == Type::Null;
        }
        shape_known = true;
        sizes_.clear();
        return array([this] {
          std::int64_t size = 0;
          if (!integer(size) || size < 0 || size > kMaxDimensionSize ||
              sizes_.size() == kMaxDimensions)
            return false;
          sizes_.push_back(size);
          return true;
        });
      }
      if (is(key, "op"))
        return first(1u << 4) && (has_op = string(op_));
      if (is(key, "op_name")) {
        if (!first(1u << 5))
          return false;
        if (lex_.peek() == 'n') {
          Scalar none;
          return lex_.scalar(none) && none.type == Type::Null;
        }
        return (has_op_name = string(op_name_));
      }
      if (is(key, "args"))
        return first(1u << 6) && (has_args = values(level(0), 0, index));
      if (is(key, "kwargs")) {
        if (!first(1u << 7))
          return false;
        return (has_kwargs = object([&](std::string_view name) {
                  const tensor_trace::Text keyword = assembly_.graph.intern(name);
                  Value value;
                  // As deep as an item of the positional arguments.
                  if (!argument(value, 1, index))
                    return false;
                  kwargs_.push_back({keyword, std::move(value)});
                  return true;
                }));
      }
      return others.add(key) && lex_.skip(kMaxNesting - 3);
    });
    if (!read || id != static_cast<std::int64_t>(index) || !kind || !has_name ||
        name_.size() > kMaxNameLength || !has_shape)
      return false;
    if (*kind == NodeKind::Call && (!has_op || op_.empty() || !has_args || !has_kwargs))
      return false;
    std::optional<std::string_view> op_name;
    if (has_op_name)
      op_name = op_name_;
    assembly_.add(*kind, name_, shape_known ? &sizes_ : nullptr, op_, op_name, level(0),
                  tensor_trace::KeywordList(kwargs_));
    names_.push_back(std::hash<std::string_view>{}(name_) >> 32 << 32 | index);
    return ++unpublished_ < batch_ || hand_over();
  }

  // Whether two nodes share a name, found once every node is read: the names' hashes sorted
  // (by radix, two passes of 16 bits), equal neighbours compared. Looking each name up as it
  // comes would cost a cache miss per node.
  bool repeats_a_name() {
    std::vector<std::uint64_t> sorted(names_.size());
    for (int shift = 32; shift < 64; shift += 16) {
      std::vector<std::size_t> start(1 << 16 | 1, 0);
      for (std::uint64_t entry : names_)
        ++start[(entry >> shift & 0xFFFF) + 1];
      for (std::size_t i = 1; i < start.size(); ++i)
        start[i] += start[i - 1];
      for (std::uint64_t entry : names_)
        sorted[start[entry >> shift & 0xFFFF]++] = entry;
      names_.swap(sorted);
    }
    const Graph& graph = assembly_.graph;
    for (std::size_t i = 1; i < names_.size(); ++i) {
      if (names_[i] >> 32 == names_[i - 1] >> 32 &&
          graph.node(names_[i] & 0xFFFFFFFF).name == graph.node(names_[i - 1] & 0xFFFFFFFF).name)
        return true;
    }
    return false;
  }

  // The scratch list of the values of a sequence `depth` sequences deep (0: the positional
  // arguments). Lists of deeper levels are added without moving those of the levels being read.
  std::vector<Value>& level(std::size_t depth) {
    if (levels_.size() <= depth)
      levels_.resize(depth + 1);
    return levels_[depth];
  }

  // A list of arguments, `depth` sequences deep inside a call's positional arguments, into
  // `out`; nodes must come before node `index`.
  bool values(std::vector<Value>& out, std::size_t depth, std::size_t index) {
    // The document, the nodes, the node and `depth` lists are open around it.
    if (depth + 4 > kMaxNesting)
      return false;
    out.clear();
    return array([&] {
      Value value;
      if (!argument(value, depth + 1, index))
        return false;
      out.push_back(std::move(value));
      return true;
    });
  }

  // One argument, inside `depth` lists (the positional arguments count as one).
  bool argument(Value& out, std::size_t depth, std::size_t index) {
    const int c = lex_.peek();
    if (c == '[') {
      std::vector<Value>& items = level(depth);
      if (!values(items, depth, index))
        return false;
      out = assembly_.graph.sequence(items);
      return true;
    }
    if (c == '{') {
      // `{"node": ID}` or `{"const": TEXT, "type": TYPE}` (in either order), nothing else. A
      // node's reference, the most common argument by far, is matched whole when it can be.
      std::string_view key;
      if (depth + 4 > kMaxNesting)
        return false;
      if (lex_.take("{\"node\":") ||
          (lex_.consume('{') && lex_.string(key) && is(key, "node") && lex_.consume(':'))) {
        std::int64_t id = -1;
        if (!integer(id) || !lex_.consume('}') || id < 0 || static_cast<std::size_t>(id) >= index)
          return false;
        out = Value(assembly_.graph.node(static_cast<std::size_t>(id)));
        return true;
      }
      if (key.empty())
        return false;
      const bool text_first = is(key, "const");
      if ((!text_first && !is(key, "type")) || !lex_.consume(':') ||
          !string(text_first ? const_text_ : const_type_) || !lex_.consume(',') ||
          !lex_.string(key) || !(text_first ? is(key, "type") : is(key, "const")) ||
          !lex_.consume(':') || !string(text_first ? const_type_ : const_text_) ||
          !lex_.consume('}'))
        return false;
      out = assembly_.constant(const_text_, const_type_);
      return true;
    }
    Scalar value;
    if (!lex_.scalar(value))
      return false;
    out = assembly_.scalar(value);
    return true;
  }

  json_reader::Lexer lex_;
  GraphAssembly assembly_;
  NodeHandover* handover_ = nullptr;
  std::size_t node_limit_ = std::numeric_limits<std::size_t>::max();
  std::size_t batch_ = std::numeric_limits<std::size_t>::max();
  std::size_t unpublished_ = 0;       // nodes read since the last handover
  std::vector<std::uint64_t> names_;  // per node: 32 bits of its name's hash, then its id
  std::vector<std::int64_t> outputs_;
  // The fields of the node being read, kept from node to node for their buffers.
  std::string name_, op_, op_name_, const_text_, const_type_;
  Shape sizes_;
  std::deque<std::vector<Value>> levels_;
  std::vector<tensor_trace::Keyword> kwargs_;
};

// Reads with the checking reader, which names the problem of a text the fast reader gave up on
// (`again`: read again from its start).
Graph read_checked(json_reader::Source& source, bool again) {
  if (again && !source.restart())
    throw GraphFileError("cannot read the file again from its start");
  GraphBuilder builder;
  json_reader::read(source, builder);
  return builder.finish();
}

// Reads fast; a text with a problem is read again from its start by the reader that names it.
Graph read_graph(json_reader::Source& source, GraphReader reader) {
  const bool fast = reader == GraphReader::Fast && source.can_restart();
  if (fast) {
    if (std::optional<Graph> graph = FastGraphReader(source).read())
      return std::move(*graph);
  }
  return read_checked(source, fast);
}

// An open graph file: the stream, or why it cannot be read.
std::ifstream open_graph_file(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw GraphFileError("cannot read: it is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw GraphFileError(std::string("cannot read: ") + std::strerror(errno));
  return in;
}

}  // namespace

std::string graph_text(const Graph& graph) {
  using tensor_trace::text_form;
  using tensor_trace::type_text;
  std::string out = graph.model + "\n";
  for (const tensor_trace::ZavoNode* node : graph.nodes()) {
    out += std::to_string(node->id) + " " + std::to_string(static_cast<int>(node->kind)) + " " +
           node->name + " " + tensor_trace::shape_text(node->result_shape);
    if (const auto* call = node->as_op_node()) {
      out += " " + call->operation->qualified_name() + " " + call->operation_name;
      for (const Value& arg : call->args)
        out += " " + type_text(arg) + ":" + text_form(arg);
      for (const auto& [key, value] : call->kwargs.items())
        out += " " + key + "=" + type_text(value) + ":" + text_form(value);
    }
    out += "\n";
  }
  for (const tensor_trace::ZavoNode* output : graph.outputs)
    out += std::to_string(output->id) + " ";
  return out;
}

Graph read_graph_text(std::string_view text, GraphReader reader) {
  json_reader::Source source(text);
  return read_graph(source, reader);
}

Graph read_graph_file(const std::filesystem::path& path, GraphReader reader) {
  std::ifstream in = open_graph_file(path);
  return read_graph_stream(in, reader);
}

Graph read_graph_stream(std::istream& in, GraphReader reader, std::size_t chunk_size) {
  json_reader::Source source(in, chunk_size);
  return read_graph(source, reader);
}

// --- reading while the nodes are parsed --------------------------------------------------------

// The reading's state, one word that the parse waits on: the nodes handed over, and two flags.
namespace {
constexpr std::uint64_t kEnded = 1;     // no more nodes will come
constexpr std::uint64_t kComplete = 2;  // ... and the graph was read whole, with no problem
constexpr int kCountShift = 2;

// The fewest bytes a node takes in a file: `{"id":0,"kind":"input","name":"","shape":[]}` and a
// comma. A file cannot hold more nodes than its size allows for.
constexpr std::uintmax_t kSmallestNodeBytes = 45;
}  // namespace

struct GraphFileReading::Reading final : NodeHandover {
  Reading(const std::filesystem::path& path, const OverlapOptions& overlap)
      : in(open_graph_file(path)), source(in), batch(std::max<std::size_t>(overlap.batch, 1)) {
    std::error_code ec;
    const std::uintmax_t bytes = std::filesystem::file_size(path, ec);
    if (ec || !std::filesystem::is_regular_file(path, ec) || !source.can_restart() ||
        bytes < overlap.thread_from_bytes)
      return;
    file_bytes = bytes;
    node_limit = static_cast<std::size_t>(bytes / kSmallestNodeBytes + 1);
    thread = std::thread([this] { read_handing_over(); });
  }

  ~Reading() {
    if (thread.joinable()) {
      stop.store(true, std::memory_order_relaxed);
      thread.join();
    }
  }

  bool publish(std::span<const tensor_trace::ZavoNode* const> nodes) override {
    if (!first)
      first = nodes.data();
    bytes_read.store(source.offset(), std::memory_order_relaxed);
    state.store(static_cast<std::uint64_t>(nodes.size()) << kCountShift, std::memory_order_release);
    state.notify_one();
    return !stop.load(std::memory_order_relaxed);
  }

  // On the reading thread: the fast reader, handing its nodes over as it goes. A file it gives
  // up on is left for `settle`; the reader, and the nodes it handed over, are kept until then.
  void read_handing_over() noexcept {
    std::uint64_t end = kEnded;
    try {
      if (std::optional<Graph> read = fast.emplace(source, *this, node_limit, batch).read()) {
        graph = std::move(*read);
        if (!first)
          first = graph.nodes().data();
        end |= kComplete | static_cast<std::uint64_t>(graph.size()) << kCountShift;
      } else {
        fast_failed = true;
      }
    } catch (...) {
      error = std::current_exception();
    }
    state.store(end, std::memory_order_release);
    state.notify_all();
  }

  // Without a thread: the whole file at once, as `read_graph_file` reads it.
  void read_whole() {
    try {
      graph = read_graph(source, GraphReader::Fast);
      first = graph.nodes().data();
      state.store(kEnded | kComplete | static_cast<std::uint64_t>(graph.size()) << kCountShift,
                  std::memory_order_relaxed);
    } catch (...) {
      error = std::current_exception();
      state.store(kEnded, std::memory_order_relaxed);
    }
  }

  // Waits for the reading to end, and reads a file the fast reader gave up on again.
  void settle() {
    if (settled)
      return;
    settled = true;
    if (!thread.joinable()) {
      if (!(state.load(std::memory_order_relaxed) & kEnded))
        read_whole();
      return;
    }
    thread.join();
    fast.reset();
    if (!fast_failed)
      return;
    read_again = true;
    try {
      graph = read_checked(source, true);
    } catch (...) {
      error = std::current_exception();
    }
  }

  std::ifstream in;
  json_reader::Source source;
  std::size_t batch;
  std::size_t node_limit = 0;
  std::uintmax_t file_bytes = 0;
  std::optional<FastGraphReader> fast;  // on the reading thread, until it has ended
  std::thread thread;
  std::atomic<std::size_t> bytes_read{0};  // when the nodes handed over last were complete
  std::atomic<std::uint64_t> state{0};     // nodes handed over << kCountShift | kEnded | kComplete
  std::atomic<bool> stop{false};
  // Set by the reading thread before it ends, or before the first count it hands over.
  const tensor_trace::ZavoNode* const* first = nullptr;
  Graph graph;
  std::exception_ptr error;
  bool fast_failed = false;
  // Used by the parse's thread only.
  bool settled = false;
  bool read_again = false;
};

GraphFileReading::GraphFileReading(const std::filesystem::path& path, OverlapOptions overlap)
    : reading_(std::make_unique<Reading>(path, overlap)) {}

GraphFileReading::~GraphFileReading() = default;

std::span<const tensor_trace::ZavoNode* const> GraphFileReading::after(std::size_t seen) {
  Reading& r = *reading_;
  if (!r.thread.joinable())
    r.settle();
  for (;;) {
    const std::uint64_t state = r.state.load(std::memory_order_acquire);
    const auto count = static_cast<std::size_t>(state >> kCountShift);
    if ((state & kEnded) && !(state & kComplete))
      return {};
    if (count > seen || (state & kEnded))
      return {r.first, count};
    r.state.wait(state, std::memory_order_acquire);
  }
}

bool GraphFileReading::complete() const {
  return reading_->state.load(std::memory_order_acquire) & kComplete;
}

double GraphFileReading::read_share() const {
  if (complete())
    return 1;
  const auto bytes = static_cast<double>(reading_->bytes_read.load(std::memory_order_relaxed));
  return std::min(1.0,
                  bytes / static_cast<double>(std::max<std::uintmax_t>(reading_->file_bytes, 1)));
}

const Graph& GraphFileReading::whole() {
  reading_->settle();
  if (reading_->error)
    std::rethrow_exception(reading_->error);
  return reading_->graph;
}

bool GraphFileReading::read_again() const {
  return reading_->read_again;
}

Graph GraphFileReading::take() {
  whole();
  return std::move(reading_->graph);
}

}  // namespace zavo::graph
