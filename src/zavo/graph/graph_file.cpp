#include "zavo/graph/graph_file.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "zavo/graph/json_reader.hpp"

namespace zavo::graph {
namespace {

using json_reader::Json;
using json_reader::Segment;
using tensor_trace::Args;
using tensor_trace::Graph;
using tensor_trace::Kwargs;
using tensor_trace::OpaqueConstant;
using tensor_trace::Sequence;
using tensor_trace::Shape;
using tensor_trace::Value;

// Where a value sits in the document: a chain of steps kept on the stack, rendered only for a
// message, so that checking a large file allocates no path text.
struct Place {
  const Place* parent = nullptr;
  std::string_view key;
  std::size_t index = 0;
  bool is_key = true;

  Place operator/(std::string_view child_key) const { return Place{this, child_key, 0, true}; }
  Place operator[](std::size_t child_index) const { return Place{this, {}, child_index, false}; }

  std::string text() const {
    std::vector<Segment> path;
    for (const Place* p = this; p && p->parent; p = p->parent)
      path.push_back(Segment{.key = std::string(p->key), .index = p->index, .is_key = p->is_key});
    std::vector<Segment> forward(path.rbegin(), path.rend());
    return json_reader::path_text(forward);
  }
};

[[noreturn]] void reject(const Place& place, const std::string& message) {
  throw GraphFileError(place.text() + ": " + message);
}

std::string json_text(std::string_view text) {
  return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

[[noreturn]] void reject_type(const Place& place, std::string_view expected, const Json& value) {
  reject(place, "expected " + std::string(expected) + ", got " +
                    std::string(json_reader::type_name(value)));
}

const Json* find_field(const Json& object, std::string_view key) {
  const auto& items = object.get_ref<const Json::object_t&>();
  for (const auto& [name, value] : items) {
    if (name == key)
      return &value;
  }
  return nullptr;
}

const Json& require_field(const Json& object, const Place& place, std::string_view key) {
  const Json* value = find_field(object, key);
  if (!value)
    reject(place, "missing field " + json_text(key));
  return *value;
}

const Json::object_t& require_object(const Json& value, const Place& place) {
  if (!value.is_object())
    reject_type(place, "an object", value);
  return value.get_ref<const Json::object_t&>();
}

const Json::array_t& require_array(const Json& value, const Place& place) {
  if (!value.is_array())
    reject_type(place, "an array", value);
  return value.get_ref<const Json::array_t&>();
}

const std::string& require_string(const Json& value, const Place& place) {
  if (!value.is_string())
    reject_type(place, "a string", value);
  return value.get_ref<const std::string&>();
}

// Booleans are not integers here, although JSON readers often treat them alike.
std::int64_t require_integer(const Json& value, const Place& place) {
  if (!value.is_number_integer())
    reject_type(place, "an integer", value);
  return value.get<std::int64_t>();
}

class GraphReader {
 public:
  explicit GraphReader(const Json& document) : document_(document) {}

  Graph read() {
    const Place top;
    require_object(document_, top);
    read_header(top);
    read_nodes(top / "nodes");
    read_outputs(top / "outputs");
    return std::move(graph_);
  }

 private:
  void read_header(const Place& top) {
    const Json& format = require_field(document_, top, "format");
    if (require_string(format, top / "format") != "zavo.graph")
      reject(top / "format",
             "expected \"zavo.graph\", got " + json_text(format.get<std::string>()));
    const Json& version = require_field(document_, top, "version");
    if (require_integer(version, top / "version") != 1) {
      reject(top / "version", "unsupported version " + std::to_string(version.get<std::int64_t>()) +
                                  " (this reader knows version 1)");
    }
    graph_.model = require_string(require_field(document_, top, "model"), top / "model");
    if (const Json* meta = find_field(document_, "meta"))
      require_object(*meta, top / "meta");
  }

  void read_nodes(const Place& place) {
    const auto& nodes = require_array(require_field(document_, Place{}, "nodes"), place);
    graph_.reserve(nodes.size());
    names_.reserve(nodes.size());
    node_count_ = nodes.size();
    for (std::size_t i = 0; i < nodes.size(); ++i)
      read_node(nodes[i], place[i], i);
  }

  void read_node(const Json& node, const Place& place, std::size_t index) {
    require_object(node, place);
    std::int64_t id = require_integer(require_field(node, place, "id"), place / "id");
    if (id != static_cast<std::int64_t>(index)) {
      reject(place / "id", "id " + std::to_string(id) + " is out of order (expected " +
                               std::to_string(index) + ")");
    }
    const std::string& kind = require_string(require_field(node, place, "kind"), place / "kind");
    if (kind != "input" && kind != "parameter" && kind != "call")
      reject(place / "kind",
             "unknown kind " + json_text(kind) + " (expected input, parameter or call)");
    const std::string& name = require_string(require_field(node, place, "name"), place / "name");
    if (name.size() > kMaxNameLength) {
      reject(place / "name", "a name of " + std::to_string(name.size()) +
                                 " bytes, longer than this reader accepts (at most " +
                                 std::to_string(kMaxNameLength) + ")");
    }
    auto [first, inserted] = names_.emplace(name, id);
    if (!inserted) {
      reject(place / "name", "duplicate name " + json_text(name) + " (also node " +
                                 std::to_string(first->second) + ")");
    }
    std::optional<Shape> shape = read_shape(require_field(node, place, "shape"), place / "shape");

    if (kind == "input") {
      graph_.add_input(name, std::move(shape));
    } else if (kind == "parameter") {
      count_parameter_channels(shape, place / "shape");
      graph_.add_parameter(name, std::move(shape));
    } else {
      read_call(node, place, name, std::move(shape));
    }
  }

  std::optional<Shape> read_shape(const Json& value, const Place& place) {
    if (value.is_null())
      return std::nullopt;
    const auto& sizes = require_array(value, place);
    if (sizes.size() > kMaxDimensions) {
      reject(place, std::to_string(sizes.size()) +
                        " dimensions, more than this reader accepts (at most " +
                        std::to_string(kMaxDimensions) + ")");
    }
    Shape shape;
    shape.reserve(sizes.size());
    for (std::size_t d = 0; d < sizes.size(); ++d) {
      std::int64_t size = require_integer(sizes[d], place[d]);
      if (size < 0)
        reject(place[d], "negative size " + std::to_string(size));
      if (size > kMaxDimensionSize) {
        reject(place[d], "size " + std::to_string(size) + " is out of range (at most " +
                             std::to_string(kMaxDimensionSize) + ")");
      }
      shape.push_back(size);
    }
    return shape;
  }

  // Every parameter dimension larger than 1 gets one label per index in the parse.
  void count_parameter_channels(const std::optional<Shape>& shape, const Place& place) {
    if (!shape)
      return;
    for (std::int64_t size : *shape) {
      if (size > 1)
        parameter_channels_ += size;
    }
    if (parameter_channels_ > kMaxParameterChannels) {
      reject(place, "the parameters have more than " + std::to_string(kMaxParameterChannels) +
                        " channels in total, more than this reader accepts");
    }
  }

  void read_call(const Json& node, const Place& place, const std::string& name,
                 std::optional<Shape> shape) {
    const std::string& op = require_string(require_field(node, place, "op"), place / "op");
    if (op.empty())
      reject(place / "op", "empty operation name");
    std::optional<std::string> op_name;
    if (const Json* value = find_field(node, "op_name"); value && !value->is_null())
      op_name = require_string(*value, place / "op_name");

    const auto& args_json = require_array(require_field(node, place, "args"), place / "args");
    Args args;
    args.reserve(args_json.size());
    for (std::size_t i = 0; i < args_json.size(); ++i)
      args.push_back(read_value(args_json[i], (place / "args")[i]));

    const auto& kwargs_json =
        require_object(require_field(node, place, "kwargs"), place / "kwargs");
    Kwargs kwargs;
    for (const auto& [key, value] : kwargs_json)
      kwargs.append(key, read_value(value, place / "kwargs" / key));

    graph_.add_call(name, tensor_trace::intern_operation(op), std::move(args), std::move(kwargs),
                    std::move(shape), std::move(op_name));
  }

  // The node `id` refers to, which must come earlier in the file than the node being read.
  const tensor_trace::ZavoNode& defined_node(std::int64_t id, const Place& place) const {
    if (id < 0 || static_cast<std::size_t>(id) >= node_count_)
      reject(place, "unknown node " + std::to_string(id));
    if (static_cast<std::size_t>(id) >= graph_.size())
      reject(place, "node " + std::to_string(id) + " is used before it is defined");
    return graph_.node(static_cast<std::size_t>(id));
  }

  Value read_value(const Json& value, const Place& place) const {
    switch (value.type()) {
      case Json::value_t::null:
        return Value::none();
      case Json::value_t::boolean:
        return Value(value.get<bool>());
      case Json::value_t::number_integer:
      case Json::value_t::number_unsigned:
        return Value(value.get<std::int64_t>());
      case Json::value_t::number_float:
        return Value(value.get<double>());
      case Json::value_t::string:
        return Value(value.get<std::string>());
      case Json::value_t::array: {
        const auto& items = value.get_ref<const Json::array_t&>();
        Sequence sequence;
        sequence.reserve(items.size());
        for (std::size_t i = 0; i < items.size(); ++i)
          sequence.push_back(read_value(items[i], place[i]));
        return Value(std::move(sequence));
      }
      case Json::value_t::object:
        return read_object_value(value, place);
      default:
        reject_type(place, "a value", value);
    }
  }

  // `{"node": ID}` or `{"const": TEXT, "type": TYPE}`.
  Value read_object_value(const Json& value, const Place& place) const {
    const auto& object = value.get_ref<const Json::object_t&>();
    if (object.size() == 1 && object.begin()->first == "node") {
      std::int64_t id = require_integer(object.begin()->second, place / "node");
      return Value(defined_node(id, place));
    }
    const Json* text = find_field(value, "const");
    const Json* type = find_field(value, "type");
    if (object.size() != 2 || !text || !type) {
      reject(place,
             "expected {\"node\": ID} or {\"const\": TEXT, \"type\": TYPE}, got another "
             "object");
    }
    OpaqueConstant constant{require_string(*text, place / "const"),
                            require_string(*type, place / "type")};
    // Floating-point values that JSON cannot hold.
    if (constant.type == "float") {
      if (constant.text == "inf")
        return Value(std::numeric_limits<double>::infinity());
      if (constant.text == "-inf")
        return Value(-std::numeric_limits<double>::infinity());
      if (constant.text == "nan")
        return Value(std::numeric_limits<double>::quiet_NaN());
    }
    return Value(std::move(constant));
  }

  void read_outputs(const Place& place) {
    const auto& outputs = require_array(require_field(document_, Place{}, "outputs"), place);
    graph_.outputs.reserve(outputs.size());
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      std::int64_t id = require_integer(outputs[i], place[i]);
      if (id < 0 || static_cast<std::size_t>(id) >= graph_.size())
        reject(place[i], "unknown node " + std::to_string(id));
      graph_.outputs.push_back(&graph_.node(static_cast<std::size_t>(id)));
    }
  }

  const Json& document_;
  Graph graph_;
  std::unordered_map<std::string, std::int64_t> names_;
  std::size_t node_count_ = 0;
  std::int64_t parameter_channels_ = 0;
};

}  // namespace

Graph read_graph_text(std::string_view text) {
  Json document = json_reader::parse_document(text);
  return GraphReader(document).read();
}

Graph read_graph_file(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw GraphFileError("cannot read: it is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw GraphFileError(std::string("cannot read: ") + std::strerror(errno));
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad())
    throw GraphFileError(std::string("cannot read: ") + std::strerror(errno));
  return read_graph_text(content.view());
}

}  // namespace zavo::graph
