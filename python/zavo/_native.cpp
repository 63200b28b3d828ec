// zavo._native: the analysis engine inside the Python process.
//
// A graph comes from a graph file or from the exporter's in-memory graph (the dict that
// `zavo.export.trace` returns). The dict is checked by the rules a graph file obeys and becomes
// the same `Graph` a file would give, without a JSON round trip; both then go through the parse
// and the report of the `zavo-prune` command, so a serialised report is the command's bytes.
// A graph that breaks a rule raises `GraphFileError` naming the place
// (`nodes[3].args[0]: node 7 is used before it is defined`).

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "zavo/graph_file/graph_file.hpp"
#include "zavo/parse/parse.hpp"
#include "zavo/pruning/engine/utils.hpp"
#include "zavo/report/report.hpp"
#include "zavo/report/summary.hpp"
#include "zavo/tensor_trace.hpp"

namespace py = pybind11;

namespace {

using zavo::graph::GraphFileError;
using zavo::tensor_trace::Args;
using zavo::tensor_trace::Graph;
using zavo::tensor_trace::Shape;
using zavo::tensor_trace::Value;

// Where a value sits in the graph: a chain of steps on the stack, rendered only for a message.
struct Place {
  const Place* parent = nullptr;
  std::string_view key;
  std::size_t index = 0;
  bool is_key = true;

  Place operator/(std::string_view child_key) const { return Place{this, child_key, 0, true}; }
  Place operator[](std::size_t child_index) const { return Place{this, {}, child_index, false}; }

  std::size_t depth() const {
    std::size_t n = 0;
    for (const Place* p = this; p->parent; p = p->parent)
      ++n;
    return n;
  }

  // `nodes[3].args[0]`; `top level` for the graph itself.
  std::string text() const {
    std::vector<const Place*> steps;
    for (const Place* p = this; p->parent; p = p->parent)
      steps.push_back(p);
    if (steps.empty())
      return "top level";
    std::string out;
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
      if ((*it)->is_key) {
        if (!out.empty())
          out += '.';
        out += (*it)->key;
      } else {
        out += '[' + std::to_string((*it)->index) + ']';
      }
    }
    return out;
  }
};

[[noreturn]] void reject(const Place& place, const std::string& message) {
  throw GraphFileError(place.text() + ": " + message);
}

bool is_array(py::handle value) {
  return PyList_Check(value.ptr()) || PyTuple_Check(value.ptr());
}

// The JSON names of the Python types a graph holds; any other object by its type's name.
std::string type_name(py::handle value) {
  if (value.is_none())
    return "null";
  if (PyBool_Check(value.ptr()))
    return "boolean";
  if (PyLong_Check(value.ptr()))
    return "integer";
  if (PyFloat_Check(value.ptr()))
    return "number";
  if (PyUnicode_Check(value.ptr()))
    return "string";
  if (is_array(value))
    return "array";
  if (PyDict_Check(value.ptr()))
    return "object";
  py::handle type = py::type::handle_of(value);
  std::string module = py::str(type.attr("__module__"));
  std::string name = py::str(type.attr("__qualname__"));
  return module == "builtins" ? name : module + "." + name;
}

[[noreturn]] void reject_type(const Place& place, std::string_view expected, py::handle value) {
  reject(place, "expected " + std::string(expected) + ", got " + type_name(value));
}

// JSON text of a string, as messages about graph files quote names.
std::string json_quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The field names a graph dict is read by, made once as interned Python strings: a lookup then
// neither builds a string nor hashes one. Never freed, as an analysis may run at exit.
struct FieldNames {
  PyObject* format = intern("format");
  PyObject* version = intern("version");
  PyObject* model = intern("model");
  PyObject* meta = intern("meta");
  PyObject* nodes = intern("nodes");
  PyObject* outputs = intern("outputs");
  PyObject* id = intern("id");
  PyObject* kind = intern("kind");
  PyObject* name = intern("name");
  PyObject* shape = intern("shape");
  PyObject* op = intern("op");
  PyObject* op_name = intern("op_name");
  PyObject* args = intern("args");
  PyObject* kwargs = intern("kwargs");
  PyObject* node = intern("node");
  PyObject* constant = intern("const");
  PyObject* type = intern("type");

  static PyObject* intern(const char* text) {
    PyObject* key = PyUnicode_InternFromString(text);
    if (!key)
      throw py::error_already_set();
    return key;
  }
};

const FieldNames& field_names() {
  static const FieldNames* names = new FieldNames;  // first made under the interpreter's lock
  return *names;
}

// The field of a graph dict, or null when absent. Keys that are not strings are never fields.
py::handle find_field(py::handle object, PyObject* key) {
  return PyDict_GetItem(object.ptr(), key);  // borrowed; null when absent
}

py::handle require_field(py::handle object, const Place& place, PyObject* key) {
  py::handle value = find_field(object, key);
  if (!value)
    reject(place, "missing field " + json_quoted(PyUnicode_AsUTF8(key)));
  return value;
}

void require_object(py::handle value, const Place& place) {
  if (!PyDict_Check(value.ptr()))
    reject_type(place, "an object", value);
}

// The items of a list or a tuple, borrowed from it.
std::span<PyObject* const> items_of(py::handle array) {
  PyObject* object = array.ptr();
  if (PyList_Check(object)) {
    auto* list = reinterpret_cast<PyListObject*>(object);
    return {list->ob_item, static_cast<std::size_t>(Py_SIZE(list))};
  }
  auto* tuple = reinterpret_cast<PyTupleObject*>(object);
  return {tuple->ob_item, static_cast<std::size_t>(Py_SIZE(tuple))};
}

std::span<PyObject* const> require_array(py::handle value, const Place& place) {
  if (!is_array(value))
    reject_type(place, "an array", value);
  return items_of(value);
}

// The string's UTF-8 text, held by the string object itself.
std::string_view require_string(py::handle value, const Place& place) {
  if (!PyUnicode_Check(value.ptr()))
    reject_type(place, "a string", value);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (!data) {
    PyErr_Clear();
    reject(place, "not UTF-8 (a string with a lone surrogate)");
  }
  return {data, static_cast<std::size_t>(size)};
}

// Booleans are not integers here, although Python counts them as such.
std::int64_t require_integer(py::handle value, const Place& place) {
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
    reject_type(place, "an integer", value);
  int overflow = 0;
  long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow)
    reject(place, "integer " + std::string(py::str(value)) + " is out of range");
  return static_cast<std::int64_t>(result);
}

// Builds a `Graph` from the exporter's dict by the rules of a graph file: the same fields, the
// same types, ids in order, unique names, sizes in range, references to earlier nodes only.
// Values go straight into the graph's own store, as the file reader puts them; texts are read
// in place from the dict's strings, which the dict keeps alive while it is read.
class DictReader {
 public:
  explicit DictReader(py::handle document) : document_(document), keys_(field_names()) {}

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
    std::string_view format =
        require_string(require_field(document_, top, keys_.format), top / "format");
    if (format != "zavo.graph")
      reject(top / "format", "expected \"zavo.graph\", got " + json_quoted(format));
    std::int64_t version =
        require_integer(require_field(document_, top, keys_.version), top / "version");
    if (version != 1) {
      reject(top / "version",
             "unsupported version " + std::to_string(version) + " (this reader knows version 1)");
    }
    graph_.model = require_string(require_field(document_, top, keys_.model), top / "model");
    if (py::handle meta = find_field(document_, keys_.meta))
      require_object(meta, top / "meta");
  }

  void read_nodes(const Place& place) {
    const auto nodes = require_array(require_field(document_, Place{}, keys_.nodes), place);
    node_count_ = nodes.size();
    graph_.reserve(node_count_);
    names_.reserve(node_count_);
    for (std::size_t i = 0; i < node_count_; ++i)
      read_node(nodes[i], place[i], i);
  }

  void read_node(py::handle node, const Place& place, std::size_t index) {
    require_object(node, place);
    std::int64_t id = require_integer(require_field(node, place, keys_.id), place / "id");
    if (id != static_cast<std::int64_t>(index)) {
      reject(place / "id", "id " + std::to_string(id) + " is out of order (expected " +
                               std::to_string(index) + ")");
    }
    std::string_view kind = require_string(require_field(node, place, keys_.kind), place / "kind");
    if (kind != "input" && kind != "parameter" && kind != "call" && kind != "constant") {
      reject(place / "kind", "unknown kind " + json_quoted(kind) + " (expected " +
                                 std::string(zavo::graph::kNodeKinds) + ")");
    }
    std::string_view name = require_string(require_field(node, place, keys_.name), place / "name");
    auto [first, inserted] = names_.emplace(name, id);
    if (!inserted) {
      reject(place / "name", "duplicate name " + json_quoted(name) + " (also node " +
                                 std::to_string(first->second) + ")");
    }
    const std::optional<Shape>& shape =
        read_shape(require_field(node, place, keys_.shape), place / "shape");
    if (kind == "input") {
      graph_.add_input(name, shape);
    } else if (kind == "parameter") {
      graph_.add_parameter(name, shape);
    } else if (kind == "constant") {
      graph_.add_constant(name, shape);
    } else {
      read_call(node, place, name, shape);
    }
  }

  // The shape in a buffer kept from node to node; empty for `null`.
  const std::optional<Shape>& read_shape(py::handle value, const Place& place) {
    if (value.is_none()) {
      shape_.reset();
      return shape_;
    }
    const auto sizes = require_array(value, place);
    Shape& shape = shape_ ? *shape_ : shape_.emplace();
    shape.clear();
    for (std::size_t d = 0; d < sizes.size(); ++d) {
      std::int64_t size = require_integer(sizes[d], place[d]);
      if (size < 0)
        reject(place[d], "negative size " + std::to_string(size));
      if (size > zavo::graph::kMaxDimensionSize) {
        reject(place[d], "size " + std::to_string(size) + " is out of range (at most " +
                             std::to_string(zavo::graph::kMaxDimensionSize) + ")");
      }
      shape.push_back(size);
    }
    return shape_;
  }

  void read_call(py::handle node, const Place& place, std::string_view name,
                 const std::optional<Shape>& shape) {
    std::string_view op = require_string(require_field(node, place, keys_.op), place / "op");
    if (op.empty())
      reject(place / "op", "empty operation name");
    std::optional<std::string_view> op_name;
    if (py::handle value = find_field(node, keys_.op_name); value && !value.is_none())
      op_name = require_string(value, place / "op_name");

    const Place args_place = place / "args";
    const auto args_list = require_array(require_field(node, place, keys_.args), args_place);
    args_.clear();
    for (std::size_t i = 0; i < args_list.size(); ++i)
      args_.push_back(read_value(args_list[i], args_place[i]));

    const Place kwargs_place = place / "kwargs";
    py::handle kwargs_dict = require_field(node, place, keys_.kwargs);
    require_object(kwargs_dict, kwargs_place);
    kwargs_.clear();
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs_dict.ptr(), &position, &key, &value)) {
      if (!PyUnicode_Check(key))
        reject(kwargs_place, "a key of type " + type_name(key) + ", not a string");
      std::string_view key_text = require_string(key, kwargs_place);
      Value read = read_value(value, kwargs_place / key_text);
      kwargs_.push_back({graph_.intern(key_text), read});
    }
    graph_.add_call(name, zavo::tensor_trace::intern_operation(op), args_,
                    zavo::tensor_trace::KeywordList(kwargs_), shape, op_name);
  }

  const zavo::tensor_trace::ZavoNode& defined_node(std::int64_t id, const Place& place) const {
    if (id < 0 || static_cast<std::size_t>(id) >= node_count_)
      reject(place, "unknown node " + std::to_string(id));
    if (static_cast<std::size_t>(id) >= graph_.size())
      reject(place, "node " + std::to_string(id) + " is used before it is defined");
    return graph_.node(static_cast<std::size_t>(id));
  }

  Value read_value(py::handle value, const Place& place) {
    // The graph itself, the nodes list, a node and its args or kwargs: four levels of nesting
    // above an argument, as in a file.
    if ((is_array(value) || PyDict_Check(value.ptr())) &&
        place.depth() >= zavo::graph::kMaxNesting) {
      reject(place, "nested deeper than " + std::to_string(zavo::graph::kMaxNesting) + " levels");
    }
    if (value.is_none())
      return Value::none();
    if (PyBool_Check(value.ptr()))
      return Value(value.ptr() == Py_True);
    if (PyLong_Check(value.ptr()))
      return graph_.integer(require_integer(value, place));
    if (PyFloat_Check(value.ptr())) {
      double number = PyFloat_AS_DOUBLE(value.ptr());
      if (!std::isfinite(number)) {
        reject(place, "number " + std::string(py::str(value)) +
                          " is not finite (write {\"const\": TEXT, \"type\": \"float\"})");
      }
      return graph_.number(number);
    }
    if (PyUnicode_Check(value.ptr()))
      return graph_.text(require_string(value, place));
    if (is_array(value)) {
      // Items gather on one stack shared by every level; a level takes its own off the top.
      const auto items = items_of(value);
      const std::size_t base = items_.size();
      for (std::size_t i = 0; i < items.size(); ++i) {
        Value item = read_value(items[i], place[i]);
        items_.push_back(item);
      }
      Value sequence = graph_.sequence({items_.data() + base, items.size()});
      items_.resize(base);
      return sequence;
    }
    if (PyDict_Check(value.ptr()))
      return read_object_value(value, place);
    reject_type(place, "a value", value);
  }

  // `{"node": ID}` or `{"const": TEXT, "type": TYPE}`.
  Value read_object_value(py::handle object, const Place& place) {
    const Py_ssize_t size = PyDict_Size(object.ptr());
    if (size == 1) {
      if (py::handle id = find_field(object, keys_.node))
        return Value(defined_node(require_integer(id, place / "node"), place));
    }
    py::handle text = find_field(object, keys_.constant);
    py::handle type = find_field(object, keys_.type);
    if (size != 2 || !text || !type) {
      reject(place,
             "expected {\"node\": ID} or {\"const\": TEXT, \"type\": TYPE}, got another object");
    }
    std::string_view constant = require_string(text, place / "const");
    std::string_view constant_type = require_string(type, place / "type");
    // Floating-point values that JSON cannot hold.
    if (constant_type == "float") {
      if (constant == "inf")
        return graph_.number(HUGE_VAL);
      if (constant == "-inf")
        return graph_.number(-HUGE_VAL);
      if (constant == "nan")
        return graph_.number(std::nan(""));
    }
    return graph_.opaque(constant, constant_type);
  }

  void read_outputs(const Place& place) {
    const auto outputs = require_array(require_field(document_, Place{}, keys_.outputs), place);
    graph_.outputs.reserve(outputs.size());
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      std::int64_t id = require_integer(outputs[i], place[i]);
      if (id < 0 || static_cast<std::size_t>(id) >= graph_.size())
        reject(place[i], "unknown node " + std::to_string(id));
      graph_.outputs.push_back(&graph_.node(static_cast<std::size_t>(id)));
    }
  }

  py::handle document_;
  const FieldNames& keys_;
  Graph graph_;
  // Names by their text in the dict's strings.
  std::unordered_map<std::string_view, std::int64_t> names_;
  std::size_t node_count_ = 0;
  // Buffers kept from node to node.
  std::optional<Shape> shape_;
  Args args_;
  std::vector<zavo::tensor_trace::Keyword> kwargs_;
  std::vector<Value> items_;
};

// The parse tables (the state's and the provenance's) of the last analysis that ended, kept for
// the next one: a run of analyses then reuses the same memory instead of taking fresh pages from
// the system and giving them back every time. One set at most, and only one whose tables stay
// within `kMaxBytes`; taken and given back under a lock, so analyses on several threads each get
// tables of their own (the ones kept, or fresh ones).
class StateWorkspace {
 public:
  using Result = zavo::graph::ParseResult;
  static constexpr std::size_t kMaxBytes = std::size_t{32} << 20;

  // The tables kept, if any; they are no longer kept.
  std::optional<Result> take() {
    const std::lock_guard lock(mutex_);
    return std::exchange(kept_, std::nullopt);
  }
  // Keeps the tables of `result` for the next analysis unless some are kept already or they
  // are too large.
  void give_back(Result&& result) {
    const std::size_t bytes = result.state.capacity_bytes() +
                              (result.provenance ? result.provenance->capacity_bytes() : 0);
    if (bytes > kMaxBytes)
      return;
    const std::lock_guard lock(mutex_);
    if (!kept_)
      kept_.emplace(std::move(result));
  }

 private:
  std::mutex mutex_;
  std::optional<Result> kept_;
};

StateWorkspace& state_workspace() {
  // Never destroyed: an analysis may outlive the module's statics at exit.
  static StateWorkspace* workspace = new StateWorkspace;
  return *workspace;
}

zavo::graph::ParseResult parse_reusing(const Graph& graph, zavo::graph::ParseOptions options) {
  std::optional<StateWorkspace::Result> kept = state_workspace().take();
  options.reuse = kept ? &*kept : nullptr;
  return zavo::graph::parse_graph(graph, options);
}

// One parse of one graph and its report. The report points into the graph and the parse
// result, so the three live and die together and never move. The report is built when first
// asked for (every caller holds the interpreter's lock): an analysis that is only checked for
// an error never builds it.
class Analysis {
 public:
  Analysis(Graph graph, bool lenient, zavo::graph::RuleSet rules, bool safe)
      : graph_(std::move(graph)),
        result_(parse_reusing(graph_, {.rules = rules, .lenient = lenient, .safe = safe})) {}
  Analysis(const Analysis&) = delete;
  Analysis& operator=(const Analysis&) = delete;
  // Nothing reads the parse state once the analysis ends, so it can go to the next one.
  ~Analysis() { state_workspace().give_back(std::move(result_)); }

  const std::string& model() const { return graph_.model; }
  std::string rules() const {
    return std::string(zavo::pruning::engine::node_handlers::rule_set_name(result_.rules));
  }
  // Version 2 unless asked for 1.
  std::string report_json(std::optional<int> version) const {
    const int v = version.value_or(2);
    if (v != 1 && v != 2)
      throw py::value_error("report version " + std::to_string(v) + " is not 1 or 2");
    return zavo::graph::report_json(report(), static_cast<zavo::graph::ReportVersion>(v));
  }
  std::string summary_text() const { return zavo::graph::summary_text(report()); }

  // [(label, prunable, [(parameter name, dim, index), ...]), ...], sorted by label.
  py::list groups() const {
    py::list out;
    for (const auto& group : report().groups()) {
      py::list channels;
      for (const auto& slice : group.channels)
        channels.append(
            py::make_tuple(std::string_view(slice.parameter->name), slice.dim, slice.index));
      out.append(py::make_tuple(group.label, group.prunable, std::move(channels)));
    }
    return out;
  }

  // [(id, name, [None or [label, ...] per dimension]), ...] for every node with labels.
  py::list nodes() const {
    namespace utils = zavo::pruning::engine::utils;
    py::list out;
    for (const auto& owned : graph_.nodes()) {
      if (!utils::has_recorded_labels(result_.state, *owned))
        continue;
      py::list dims;
      for (const auto& labels : utils::get_prune_labels(result_.state, *owned)) {
        if (labels)
          dims.append(py::cast(labels->to_vector()));
        else
          dims.append(py::none());
      }
      out.append(py::make_tuple(owned->id, std::string_view(owned->name), std::move(dims)));
    }
    return out;
  }

  bool is_prunable(zavo::graph::Label label) const {
    return zavo::pruning::engine::utils::is_label_prunable(result_.state, label);
  }

  // [(node id, message), ...] in emission order.
  py::list warnings() const {
    py::list out;
    for (const auto& warning : result_.warnings)
      out.append(py::make_tuple(warning.node, warning.message));
    return out;
  }

  py::object error() const {
    if (!result_.error)
      return py::none();
    return error_tuple(*result_.error);
  }

  py::list recovered_errors() const {
    py::list out;
    for (const auto& error : result_.recovered_errors)
      out.append(error_tuple(error));
    return out;
  }

  // The report's `summary`, key for key.
  py::dict summary() const {
    // The report file's summary, field for field (its counts are integers, flags and one share).
    const nlohmann::ordered_json summary = zavo::graph::summary_json(report().summary);
    py::dict out;
    for (const auto& [key, value] : summary.items()) {
      if (value.is_boolean())
        out[py::str(key)] = value.get<bool>();
      else if (value.is_number_unsigned())
        out[py::str(key)] = value.get<std::uint64_t>();
      else if (value.is_number_integer())
        out[py::str(key)] = value.get<std::int64_t>();
      else
        out[py::str(key)] = value.get<double>();
    }
    return out;
  }

  // [(name, [(size, prunable), ...], elements, prunable elements), ...] in file order.
  py::list parameters() const {
    py::list out;
    for (const auto& parameter : report().parameters) {
      py::list dims;
      for (const auto& dim : parameter.dims)
        dims.append(py::make_tuple(dim.size, dim.prunable));
      out.append(py::make_tuple(std::string_view(parameter.parameter->name), std::move(dims),
                                parameter.elements, parameter.prunable_elements));
    }
    return out;
  }

  std::string node_name(std::int64_t id) const {
    return graph_.node(static_cast<std::size_t>(id)).name;
  }

 private:
  static py::tuple error_tuple(const zavo::graph::NodeError& error) {
    return py::make_tuple(error.node, std::string(zavo::graph::error_kind_name(error.kind)),
                          error.message);
  }

  const zavo::graph::Report& report() const {
    if (!report_)
      report_.emplace(zavo::graph::build_report(graph_, result_));
    return *report_;
  }

  Graph graph_;
  zavo::graph::ParseResult result_;
  mutable std::optional<zavo::graph::Report> report_;
};

// `core` or `extended`; anything else raises ValueError before the graph is read.
zavo::graph::RuleSet rule_set(const std::string& name) {
  const auto rules = zavo::pruning::engine::node_handlers::parse_rule_set(name);
  if (!rules)
    throw py::value_error("rules must be 'core' or 'extended', not '" + name + "'");
  return *rules;
}

std::unique_ptr<Analysis> analyze_file(const std::string& path, bool lenient,
                                       const std::string& rules, bool safe) {
  const zavo::graph::RuleSet rule = rule_set(rules);
  return std::make_unique<Analysis>(zavo::graph::read_graph_file(path), lenient, rule, safe);
}

std::unique_ptr<Analysis> analyze_dict(py::handle graph, bool lenient, const std::string& rules,
                                       bool safe) {
  const zavo::graph::RuleSet rule = rule_set(rules);
  return std::make_unique<Analysis>(DictReader(graph).read(), lenient, rule, safe);
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "zavo's channel-pruning analysis engine, in process";
  py::register_exception<GraphFileError>(m, "GraphFileError", PyExc_ValueError);

  py::class_<Analysis>(m, "Analysis")
      .def_property_readonly("model", &Analysis::model)
      .def_property_readonly("rules", &Analysis::rules)
      .def("report_json", &Analysis::report_json, py::arg("version") = py::none())
      .def("summary_text", &Analysis::summary_text)
      .def("groups", &Analysis::groups)
      .def("nodes", &Analysis::nodes)
      .def("is_prunable", &Analysis::is_prunable)
      .def("warnings", &Analysis::warnings)
      .def("error", &Analysis::error)
      .def("recovered_errors", &Analysis::recovered_errors)
      .def("summary", &Analysis::summary)
      .def("parameters", &Analysis::parameters)
      .def("node_name", &Analysis::node_name);

  m.def("analyze_file", &analyze_file, py::arg("path"), py::arg("lenient") = false,
        py::arg("rules") = "extended", py::arg("safe") = false,
        "Read a graph file and analyse it under the rules (core or extended); GraphFileError "
        "names the place of a broken rule.");
  m.def("analyze_dict", &analyze_dict, py::arg("graph"), py::arg("lenient") = false,
        py::arg("rules") = "extended", py::arg("safe") = false,
        "Analyse an in-memory graph (the exporter's dict), checked as a graph file is.");
}
