#include "zavo/tensor_trace.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <mutex>
#include <unordered_map>

#include "zavo/platform/errors.hpp"
#include "zavo/tensor_trace/op_categorization.hpp"

namespace zavo::tensor_trace {

static_assert(sizeof(Value) == 2 * sizeof(void*), "a value is two words");

namespace {

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// All operation objects of the process, by qualified name. The catalogue's names are created
// first (flagged as known); any other name is interned on first request.
class OperationTable {
 public:
  OperationTable() {
    for (auto name : op_categorization::catalogue_names())
      add(name, /*in_catalogue=*/true);
  }

  OperationKey find(std::string_view name) {
    std::lock_guard lock(mutex_);
    auto it = ops_.find(name);
    return it == ops_.end() ? nullptr : it->second.get();
  }

  OperationKey intern(std::string_view name) {
    std::lock_guard lock(mutex_);
    auto it = ops_.find(name);
    if (it != ops_.end())
      return it->second.get();
    return add(name, /*in_catalogue=*/false);
  }

 private:
  OperationKey add(std::string_view name, bool in_catalogue) {
    auto op = std::make_unique<Operation>(std::string(name), in_catalogue);
    OperationKey key = op.get();
    ops_.emplace(std::string(name), std::move(op));
    return key;
  }

  std::mutex mutex_;
  std::unordered_map<std::string, std::unique_ptr<Operation>, StringHash, std::equal_to<>> ops_;
};

OperationTable& operation_table() {
  static OperationTable table;
  return table;
}

[[noreturn]] void type_mismatch(const char* expected, const Value& value) {
  throw TypeError(std::string("expected ") + expected + ", got " + type_text(value));
}

std::string float_text(double d) {
  if (std::isnan(d))
    return "nan";
  if (std::isinf(d))
    return d > 0 ? "inf" : "-inf";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  std::string text(buf, end);
  if (text.find_first_of(".e") == std::string::npos)
    text += ".0";
  return text;
}

}  // namespace

std::string_view Operation::short_name() const {
  std::string_view name = qualified_name_;
  auto dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

OperationKey intern_operation(std::string_view qualified_name) {
  return operation_table().intern(qualified_name);
}

OperationKey find_catalogue_operation(std::string_view qualified_name) {
  OperationKey op = operation_table().find(qualified_name);
  return op && op->in_catalogue() ? op : nullptr;
}

const OperationList& OperationCategory::ops() const {
  std::call_once(resolved_, [this] {
    ops_.reserve(names_.size());
    for (auto name : names_)
      ops_.push_back(intern_operation(name));
  });
  return ops_;
}

bool OperationCategory::contains(OperationKey operation) const {
  const auto& all = ops();
  return std::find(all.begin(), all.end(), operation) != all.end();
}

bool Value::as_bool() const {
  if (!is_bool())
    type_mismatch("bool", *this);
  return std::get<bool>(v_);
}
std::int64_t Value::as_int() const {
  if (!is_int())
    type_mismatch("int", *this);
  return std::get<std::int64_t>(v_);
}
double Value::as_float() const {
  if (!is_float())
    type_mismatch("float", *this);
  return std::get<double>(v_);
}
const std::string& Value::as_text() const {
  if (!is_text())
    type_mismatch("str", *this);
  return *std::get<detail::Boxed<std::string>>(v_);
}
const Sequence& Value::as_sequence() const {
  if (!is_sequence())
    type_mismatch("list", *this);
  return *std::get<detail::Boxed<Sequence>>(v_);
}
const ZavoNode& Value::as_node() const {
  if (!is_node())
    type_mismatch("ZavoNode", *this);
  return *std::get<const ZavoNode*>(v_);
}
const OpaqueConstant& Value::as_opaque() const {
  if (!is_opaque())
    type_mismatch("constant", *this);
  return *std::get<detail::Boxed<OpaqueConstant>>(v_);
}

bool Value::truthy() const {
  struct Visitor {
    bool operator()(NoneType) const { return false; }
    bool operator()(bool b) const { return b; }
    bool operator()(std::int64_t i) const { return i != 0; }
    bool operator()(double d) const { return d != 0.0; }
    bool operator()(const detail::Boxed<std::string>& s) const { return !(*s).empty(); }
    bool operator()(const detail::Boxed<Sequence>& s) const { return !(*s).empty(); }
    bool operator()(const ZavoNode*) const { return true; }
    bool operator()(const detail::Boxed<OpaqueConstant>&) const { return true; }
  };
  return std::visit(Visitor{}, v_);
}

namespace {

// Appends the text form of `value` to `out`, stopping once `out` holds more than `limit`
// characters: a sequence may repeat one long name thousands of times.
void append_text_form(std::string& out, const Value& value, std::size_t limit) {
  struct Visitor {
    std::string& out;
    std::size_t limit;
    void operator()(NoneType) const { out += "None"; }
    void operator()(bool b) const { out += b ? "True" : "False"; }
    void operator()(std::int64_t i) const { out += std::to_string(i); }
    void operator()(double d) const { out += float_text(d); }
    void operator()(const detail::Boxed<std::string>& s) const { append(*s); }
    void operator()(const detail::Boxed<Sequence>& boxed) const {
      const Sequence& s = *boxed;
      out += '[';
      for (std::size_t i = 0; i < s.size() && out.size() <= limit; ++i) {
        if (i)
          out += ", ";
        append_text_form(out, s[i], limit);
      }
      out += ']';
    }
    void operator()(const ZavoNode* node) const { append(node->name); }
    void operator()(const detail::Boxed<OpaqueConstant>& c) const { append((*c).text); }
    void append(std::string_view text) const {
      out += text.substr(0, limit + 1 - std::min(out.size(), limit + 1));
    }
  };
  std::visit(Visitor{out, limit}, value.storage());
}

}  // namespace

std::string text_form(const Value& value) {
  std::string out;
  append_text_form(out, value, kTextFormLimit);
  if (out.size() > kTextFormLimit) {
    out.resize(kTextFormLimit);
    out += "...";
  }
  return out;
}

std::string type_text(const Value& value) {
  struct Visitor {
    std::string operator()(NoneType) const { return "NoneType"; }
    std::string operator()(bool) const { return "bool"; }
    std::string operator()(std::int64_t) const { return "int"; }
    std::string operator()(double) const { return "float"; }
    std::string operator()(const detail::Boxed<std::string>&) const { return "str"; }
    std::string operator()(const detail::Boxed<Sequence>&) const { return "list"; }
    std::string operator()(const ZavoNode* node) const {
      return node->as_op_node() ? "ZavoOpNode" : "ZavoNode";
    }
    std::string operator()(const detail::Boxed<OpaqueConstant>& c) const { return (*c).type; }
  };
  return std::visit(Visitor{}, value.storage());
}

const Value* Kwargs::find(std::string_view key) const {
  for (const auto& [name, value] : items_) {
    if (name == key)
      return &value;
  }
  return nullptr;
}

void Kwargs::set(std::string key, Value value) {
  for (auto& [name, existing] : items_) {
    if (name == key) {
      existing = std::move(value);
      return;
    }
  }
  items_.emplace_back(std::move(key), std::move(value));
}

std::string shape_text(const Shape& shape) {
  std::string out = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i)
      out += ", ";
    out += std::to_string(shape[i]);
  }
  if (shape.size() == 1)
    out += ",";
  return out + ")";
}

std::string shape_text(const std::optional<Shape>& shape) {
  return shape ? shape_text(*shape) : "None";
}

const ZavoOpNode* ZavoNode::as_op_node() const {
  return kind == NodeKind::Call ? static_cast<const ZavoOpNode*>(this) : nullptr;
}

namespace {
void collect_nodes(const Value& value, std::vector<const ZavoNode*>& out) {
  if (value.is_node()) {
    out.push_back(&value.as_node());
  } else if (value.is_sequence()) {
    for (const auto& item : value.as_sequence())
      collect_nodes(item, out);
  }
}
}  // namespace

std::vector<const ZavoNode*> ZavoOpNode::collect_all_input_nodes() const {
  std::vector<const ZavoNode*> nodes;
  for (const auto& arg : args)
    collect_nodes(arg, nodes);
  for (const auto& [key, value] : kwargs.items())
    collect_nodes(value, nodes);
  return nodes;
}

namespace {
const ZavoNode& add_value(std::vector<std::unique_ptr<ZavoNode>>& nodes, NodeKind kind,
                          std::string name, std::optional<Shape> shape) {
  auto id = static_cast<std::int64_t>(nodes.size());
  nodes.push_back(std::make_unique<ZavoNode>(id, kind, std::move(name), std::move(shape)));
  return *nodes.back();
}
}  // namespace

const ZavoNode& Graph::add_input(std::string name, std::optional<Shape> shape) {
  return add_value(nodes_, NodeKind::Input, std::move(name), std::move(shape));
}

const ZavoNode& Graph::add_parameter(std::string name, std::optional<Shape> shape) {
  return add_value(nodes_, NodeKind::Parameter, std::move(name), std::move(shape));
}

const ZavoNode& Graph::add_constant(std::string name, std::optional<Shape> shape) {
  return add_value(nodes_, NodeKind::Constant, std::move(name), std::move(shape));
}

const ZavoOpNode& Graph::add_call(std::string name, OperationKey operation, Args args,
                                  Kwargs kwargs, std::optional<Shape> shape,
                                  std::optional<std::string> operation_name) {
  auto id = static_cast<std::int64_t>(nodes_.size());
  std::string op_name =
      operation_name ? std::move(*operation_name) : std::string(operation->short_name());
  auto node = std::make_unique<ZavoOpNode>(id, std::move(name), std::move(shape), operation,
                                           std::move(op_name), std::move(args), std::move(kwargs));
  const ZavoOpNode& ref = *node;
  nodes_.push_back(std::move(node));
  return ref;
}

}  // namespace zavo::tensor_trace
