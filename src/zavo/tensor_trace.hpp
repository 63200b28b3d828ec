#pragma once
// The traced graph: operations, argument values and nodes. Nodes are owned by their `Graph` and
// compared by address; operations are interned, one object per qualified name, and also compared
// by address.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace zavo::tensor_trace {

class ZavoNode;
class ZavoOpNode;

// One callable of the traced framework (a function or a tensor method).
class Operation {
 public:
  Operation(std::string qualified_name, bool in_catalogue)
      : qualified_name_(std::move(qualified_name)), in_catalogue_(in_catalogue) {}
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  const std::string& qualified_name() const { return qualified_name_; }
  // The text after the last '.' of the qualified name.
  std::string_view short_name() const;
  // True for the operations the engine's catalogue knows by name.
  bool in_catalogue() const { return in_catalogue_; }

 private:
  std::string qualified_name_;
  bool in_catalogue_;
};

using OperationKey = const Operation*;
using OperationList = std::vector<OperationKey>;

// The operation object of `qualified_name`: the catalogue's one when the name is known, else an
// operation of its own, created on first request and the same object on every later one.
OperationKey intern_operation(std::string_view qualified_name);
// The catalogue's operation of that name, or null when the catalogue does not know it.
OperationKey find_catalogue_operation(std::string_view qualified_name);

// A fixed, ordered sequence of catalogue operations, named by qualified name. It is constant-
// initialised (safe to use from any static initialiser) and resolves its operation objects on
// first use.
class OperationCategory {
 public:
  constexpr explicit OperationCategory(std::span<const std::string_view> names) : names_(names) {}
  OperationCategory(const OperationCategory&) = delete;
  OperationCategory& operator=(const OperationCategory&) = delete;

  const OperationList& ops() const;
  operator const OperationList&() const { return ops(); }
  std::span<const std::string_view> names() const { return names_; }
  OperationList::const_iterator begin() const { return ops().begin(); }
  OperationList::const_iterator end() const { return ops().end(); }
  std::size_t size() const { return names_.size(); }
  OperationKey operator[](std::size_t i) const { return ops()[i]; }
  // Membership by identity.
  bool contains(OperationKey operation) const;

 private:
  std::span<const std::string_view> names_;
  mutable std::once_flag resolved_;
  mutable OperationList ops_;
};

// Any constant that is not a plain scalar, text or sequence (a dtype, a slice, ...), kept as
// its text form and the text form of its type.
struct OpaqueConstant {
  std::string text;
  std::string type;
  bool operator==(const OpaqueConstant&) const = default;
};

struct NoneType {
  bool operator==(const NoneType&) const = default;
};

class Value;
using Sequence = std::vector<Value>;

namespace detail {

// A value kept on the heap so that `Value` stays two words: traced graphs hold millions of
// arguments, nearly all of them nodes and numbers. Copies are deep and comparison is by content;
// a moved-from box reads as an empty `T`.
template <typename T>
class Boxed {
 public:
  explicit Boxed(T value) : p_(std::make_unique<T>(std::move(value))) {}
  Boxed(const Boxed& other) : p_(other.p_ ? std::make_unique<T>(*other.p_) : nullptr) {}
  Boxed(Boxed&&) noexcept = default;
  Boxed& operator=(const Boxed& other) {
    p_ = other.p_ ? std::make_unique<T>(*other.p_) : nullptr;
    return *this;
  }
  Boxed& operator=(Boxed&&) noexcept = default;
  ~Boxed() = default;

  const T& operator*() const {
    static const T empty{};
    return p_ ? *p_ : empty;
  }
  bool operator==(const Boxed& other) const { return **this == *other; }

 private:
  std::unique_ptr<T> p_;
};

}  // namespace detail

// An argument of a traced call: none, boolean, integer, floating point, text, sequence, traced
// node, or opaque constant. A boolean is never an integer unless a caller asks for it.
class Value {
 public:
  // Text, sequences and constants are boxed, so a value is two words whatever it holds.
  using Storage =
      std::variant<NoneType, bool, std::int64_t, double, detail::Boxed<std::string>,
                   detail::Boxed<Sequence>, const ZavoNode*, detail::Boxed<OpaqueConstant>>;

  Value() = default;
  Value(NoneType) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(std::int64_t{i}) {}
  Value(std::int64_t i) : v_(i) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(detail::Boxed<std::string>(s)) {}
  Value(std::string s) : v_(detail::Boxed<std::string>(std::move(s))) {}
  Value(Sequence s) : v_(detail::Boxed<Sequence>(std::move(s))) {}
  Value(const ZavoNode& node) : v_(&node) {}
  Value(OpaqueConstant c) : v_(detail::Boxed<OpaqueConstant>(std::move(c))) {}

  static Value none() { return Value(); }

  bool is_none() const { return std::holds_alternative<NoneType>(v_); }
  bool is_bool() const { return std::holds_alternative<bool>(v_); }
  bool is_int() const { return std::holds_alternative<std::int64_t>(v_); }
  bool is_float() const { return std::holds_alternative<double>(v_); }
  bool is_text() const { return std::holds_alternative<detail::Boxed<std::string>>(v_); }
  bool is_sequence() const { return std::holds_alternative<detail::Boxed<Sequence>>(v_); }
  bool is_node() const { return std::holds_alternative<const ZavoNode*>(v_); }
  bool is_opaque() const { return std::holds_alternative<detail::Boxed<OpaqueConstant>>(v_); }

  // Accessors; each raises `TypeError` naming the expected and the actual type on a mismatch.
  bool as_bool() const;
  std::int64_t as_int() const;
  double as_float() const;
  const std::string& as_text() const;
  const Sequence& as_sequence() const;
  const ZavoNode& as_node() const;
  const OpaqueConstant& as_opaque() const;

  // Truth value as the traced language defines it (none, false, 0, 0.0, "" and [] are false;
  // nodes and opaque constants are true).
  bool truthy() const;

  const Storage& storage() const { return v_; }
  bool operator==(const Value& other) const = default;

 private:
  Storage v_;
};

// The longest text form; messages quote values, and a value of a hostile graph can be a
// sequence that names one node a million times.
inline constexpr std::size_t kTextFormLimit = 1024;

// Text form of a value: `None`, `True`/`False`, decimal integers, shortest round-trip floats
// (`2.5`, `1.0`, `inf`), text as is, sequences as `[a, b]`, nodes by name, constants by text.
// A form longer than `kTextFormLimit` characters is cut there and ends in `...`.
std::string text_form(const Value& value);
// Short type name: `NoneType`, `bool`, `int`, `float`, `str`, `list`, `ZavoNode`, or a
// constant's own type text.
std::string type_text(const Value& value);

// Ordered keyword arguments: the file's order is kept, lookup is by name.
class Kwargs {
 public:
  Kwargs() = default;
  Kwargs(std::initializer_list<std::pair<std::string, Value>> items) : items_(items) {}

  const Value* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Replaces the value under `key`, or appends it.
  void set(std::string key, Value value);
  // Appends without looking for `key`: for callers that know the keys are distinct.
  void append(std::string key, Value value) {
    items_.emplace_back(std::move(key), std::move(value));
  }
  void reserve(std::size_t n) { items_.reserve(n); }
  const std::vector<std::pair<std::string, Value>>& items() const { return items_; }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }

 private:
  std::vector<std::pair<std::string, Value>> items_;
};

// Positional arguments. `Args` and `Sequence` are one type, so a braced list holding a single
// sequence, `Args{Sequence{x}}`, may copy the sequence instead of nesting it (compilers differ);
// write `Args{Value(Sequence{x})}`.
using Args = std::vector<Value>;
using Shape = std::vector<std::int64_t>;

// Text form of a shape, written like a tuple: `(1, 64, 56, 56)`, `(8,)`, `()`.
std::string shape_text(const Shape& shape);
std::string shape_text(const std::optional<Shape>& shape);

// A constant is a tensor the model reads but neither takes as an input nor owns (anchors kept in
// a list, a tensor built from numbers); like an input, it carries no channels.
enum class NodeKind { Input, Parameter, Call, Constant };

// A traced value: a model input, a tensor owned by the model, a constant, or the result of a call.
class ZavoNode {
 public:
  ZavoNode(std::int64_t node_id, NodeKind node_kind, std::string node_name,
           std::optional<Shape> shape)
      : id(node_id), kind(node_kind), name(std::move(node_name)), result_shape(std::move(shape)) {}
  virtual ~ZavoNode() = default;
  ZavoNode(const ZavoNode&) = delete;
  ZavoNode& operator=(const ZavoNode&) = delete;

  std::int64_t id;
  NodeKind kind;
  std::string name;
  std::optional<Shape> result_shape;  // none when the result is not a tensor or unknown

  // The call node behind this value, or null for inputs, parameters and constants.
  const ZavoOpNode* as_op_node() const;
};

// A node produced by one call of an operation.
class ZavoOpNode : public ZavoNode {
 public:
  ZavoOpNode(std::int64_t node_id, std::string node_name, std::optional<Shape> shape,
             OperationKey op, std::string op_name, Args call_args, Kwargs call_kwargs)
      : ZavoNode(node_id, NodeKind::Call, std::move(node_name), std::move(shape)),
        operation(op),
        operation_name(std::move(op_name)),
        args(std::move(call_args)),
        kwargs(std::move(call_kwargs)) {}

  OperationKey operation;
  std::string operation_name;  // "__get__" for an attribute read on a traced tensor
  Args args;
  Kwargs kwargs;

  // Every traced node among the positional arguments, then among the keyword arguments in their
  // order, looking inside sequences; repeats are kept.
  std::vector<const ZavoNode*> collect_all_input_nodes() const;
};

// Owns the nodes of one traced graph, in execution order; node `i` has id `i`.
class Graph {
 public:
  const ZavoNode& add_input(std::string name, std::optional<Shape> shape);
  const ZavoNode& add_parameter(std::string name, std::optional<Shape> shape);
  const ZavoNode& add_constant(std::string name, std::optional<Shape> shape);
  // `operation_name` defaults to the operation's short name.
  const ZavoOpNode& add_call(std::string name, OperationKey operation, Args args, Kwargs kwargs,
                             std::optional<Shape> shape,
                             std::optional<std::string> operation_name = std::nullopt);

  const std::vector<std::unique_ptr<ZavoNode>>& nodes() const { return nodes_; }
  const ZavoNode& node(std::size_t id) const { return *nodes_.at(id); }
  std::size_t size() const { return nodes_.size(); }
  void reserve(std::size_t n) { nodes_.reserve(n); }

  std::string model;
  std::vector<const ZavoNode*> outputs;

 private:
  std::vector<std::unique_ptr<ZavoNode>> nodes_;
};

}  // namespace zavo::tensor_trace
