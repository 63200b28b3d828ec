#pragma once
// The traced graph: operations, argument values and nodes. Nodes are owned by their `Graph` and
// compared by address; operations are interned, one object per qualified name, and also compared
// by address. A graph keeps its nodes and everything they hold in one store, so that reading a
// graph of a million nodes allocates a few hundred blocks rather than millions of pieces.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
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

// A text a graph holds (a node's name, an operation name, a keyword): a view of characters stored
// after their count, so that it is one pointer wide. It reads, compares and concatenates like a
// `std::string`, and is valid while its owner (the graph, or a `Kwargs`) lives.
class Text {
 public:
  Text() : chars_(kEmpty + sizeof(std::uint32_t)) {}

  // The bytes `store` writes for a text of `size` characters.
  static constexpr std::size_t stored_size(std::size_t size) {
    return sizeof(std::uint32_t) + size;
  }
  // Writes the count and the characters of `text` to `out` (`stored_size(text.size())` bytes)
  // and returns the text there.
  static Text store(std::string_view text, char* out);
  // The text whose characters start at `chars`, their count written just before them.
  static Text at(const char* chars) {
    Text text;
    text.chars_ = chars;
    return text;
  }

  std::size_t size() const {
    std::uint32_t size;
    std::memcpy(&size, chars_ - sizeof size, sizeof size);
    return size;
  }
  bool empty() const { return size() == 0; }
  const char* data() const { return chars_; }
  std::string_view view() const { return {chars_, size()}; }
  operator std::string_view() const { return view(); }
  operator std::string() const { return std::string(view()); }
  std::size_t find(std::string_view text, std::size_t from = 0) const {
    return view().find(text, from);
  }
  bool starts_with(std::string_view text) const { return view().starts_with(text); }
  bool ends_with(std::string_view text) const { return view().ends_with(text); }

  friend bool operator==(Text a, Text b) { return a.view() == b.view(); }
  friend bool operator==(Text a, std::string_view b) { return a.view() == b; }
  friend bool operator==(Text a, const std::string& b) { return a.view() == b; }
  friend bool operator==(Text a, const char* b) { return a.view() == b; }
  friend auto operator<=>(Text a, Text b) { return a.view() <=> b.view(); }
  friend std::string operator+(std::string a, Text b) { return a.append(b.view()); }
  friend std::string operator+(const char* a, Text b) { return std::string(a).append(b.view()); }
  friend std::string operator+(Text a, const std::string& b) { return std::string(a.view()) + b; }
  friend std::string operator+(Text a, const char* b) { return std::string(a.view()) + b; }
  friend std::string operator+(Text a, Text b) { return std::string(a.view()).append(b.view()); }
  friend std::ostream& operator<<(std::ostream& out, Text text) { return out << text.view(); }

 private:
  static constexpr char kEmpty[sizeof(std::uint32_t) + 1] = {};
  const char* chars_;  // preceded by their count
};

class Value;
// Values of a sequence argument, as a graph holds them (a view).
using ValueList = std::span<const Value>;
// A sequence being built, owned by its value.
using Sequence = std::vector<Value>;

// Any constant that is not a plain scalar, text or sequence (a dtype, a slice, ...), kept as
// its text form and the text form of its type.
struct OpaqueConstant {
  std::string text;
  std::string type;
  bool operator==(const OpaqueConstant&) const = default;
};

// The same, as a value holds it.
struct OpaqueView {
  std::string_view text;
  std::string_view type;
  bool operator==(const OpaqueView&) const = default;
};

struct NoneType {
  bool operator==(const NoneType&) const = default;
};

// What a value holds, named like the traced language's types.
enum class ValueKind : unsigned char { None, Bool, Int, Float, Str, List, Node, Opaque };

namespace detail {

// What a value points to when it is not a scalar or a node: text, a sequence, a constant, or a
// number that needs all 64 bits. Held either by a graph (`owner`: the graph's store; every value
// that points to it is a view) or by one value alone (`owner` null; copying the value copies it).
struct Payload {
  const void* owner;
  std::uint32_t size;   // characters (text, a constant's text) or items (a sequence)
  std::uint32_t extra;  // a constant: the characters of its type's text
};

}  // namespace detail

// An argument of a traced call: none, boolean, integer, floating point, text, sequence, traced
// node, or opaque constant. A boolean is never an integer unless a caller asks for it.
//
// One word wide: small integers, booleans, none and nodes are held in the word itself, the rest
// through a pointer. A value made by a graph (its arguments) is a view of what the graph holds
// and copies as a word; a value made on its own (`Value(Sequence{...})`) owns what it holds and
// copies it.
class Value {
 public:
  Value() = default;
  Value(NoneType) {}
  Value(bool b) : bits_(b ? kTrue : kFalse) {}
  Value(int i) : Value(std::int64_t{i}) {}
  Value(std::int64_t i);
  Value(double d);
  Value(const char* s) : Value(std::string_view(s)) {}
  Value(const std::string& s) : Value(std::string_view(s)) {}
  Value(std::string_view s);
  Value(Sequence s);
  Value(const ZavoNode& node) : bits_(reinterpret_cast<std::uintptr_t>(&node)) {}
  Value(const OpaqueConstant& c);

  Value(const Value& other) : bits_(other.owns() ? other.clone() : other.bits_) {}
  Value(Value&& other) noexcept : bits_(std::exchange(other.bits_, kNone)) {}
  Value& operator=(const Value& other) {
    if (this != &other) {
      Value copy(other);
      std::swap(bits_, copy.bits_);
    }
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    std::swap(bits_, other.bits_);
    return *this;
  }
  ~Value() {
    if (owns())
      release();
  }

  static Value none() { return Value(); }

  ValueKind kind() const;
  bool is_none() const { return bits_ == kNone; }
  bool is_bool() const { return bits_ == kTrue || bits_ == kFalse; }
  bool is_int() const { return tag() == kSmallInt || tag() == kBigInt; }
  bool is_float() const { return tag() == kFloat; }
  bool is_text() const { return tag() == kText; }
  bool is_sequence() const { return tag() == kSequence; }
  bool is_node() const { return tag() == kNode; }
  bool is_opaque() const { return tag() == kOpaque; }

  // Accessors; each raises `TypeError` naming the expected and the actual type on a mismatch.
  // Texts and sequences are views of the value: valid while it, or the graph it comes from,
  // lives.
  bool as_bool() const;
  std::int64_t as_int() const;
  double as_float() const;
  std::string_view as_text() const;
  ValueList as_sequence() const;
  const ZavoNode& as_node() const;
  OpaqueView as_opaque() const;

  // Truth value as the traced language defines it (none, false, 0, 0.0, "" and [] are false;
  // nodes and opaque constants are true).
  bool truthy() const;

  // Equality of content: equal numbers, texts and sequences, the same node.
  bool operator==(const Value& other) const;

 private:
  friend class Graph;

  // The low three bits tell what the word holds.
  static constexpr std::uintptr_t kNode = 0;      // a node's address
  static constexpr std::uintptr_t kSpecial = 1;   // none, false, true
  static constexpr std::uintptr_t kSmallInt = 2;  // an integer in the upper 61 bits
  static constexpr std::uintptr_t kBigInt = 3;    // the rest: a payload's address
  static constexpr std::uintptr_t kFloat = 4;
  static constexpr std::uintptr_t kText = 5;
  static constexpr std::uintptr_t kSequence = 6;
  static constexpr std::uintptr_t kOpaque = 7;
  static constexpr std::uintptr_t kTagMask = 7;
  static constexpr std::uintptr_t kNone = kSpecial;
  static constexpr std::uintptr_t kFalse = (2 << 3) | kSpecial;
  static constexpr std::uintptr_t kTrue = (3 << 3) | kSpecial;

  static Value from_bits(std::uintptr_t bits) {
    Value value;
    value.bits_ = bits;
    return value;
  }
  std::uintptr_t tag() const { return bits_ & kTagMask; }
  bool has_payload() const { return tag() >= kBigInt; }
  const detail::Payload* payload() const {
    return reinterpret_cast<const detail::Payload*>(bits_ & ~kTagMask);
  }
  bool owns() const { return has_payload() && payload()->owner == nullptr; }
  std::uintptr_t clone() const;
  void release();

  std::uintptr_t bits_ = kNone;
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

// One keyword argument.
struct Keyword {
  Text key;
  Value value;
};

// Keyword arguments as a graph holds them (a view): the file's order is kept, lookup is by
// name.
class KeywordList {
 public:
  KeywordList() = default;
  KeywordList(std::span<const Keyword> items) : items_(items) {}

  const Value* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  std::span<const Keyword> items() const { return items_; }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }

 private:
  std::span<const Keyword> items_;
};

// Keyword arguments being built (by tests and by callers that make graphs in memory): they own
// their keys and values. Converts to a `KeywordList` view.
class Kwargs {
 public:
  Kwargs() = default;
  Kwargs(std::initializer_list<std::pair<std::string_view, Value>> items);
  Kwargs(const Kwargs& other);
  Kwargs& operator=(const Kwargs& other);
  Kwargs(Kwargs&&) noexcept = default;
  Kwargs& operator=(Kwargs&&) noexcept = default;
  ~Kwargs() = default;

  const Value* find(std::string_view key) const { return KeywordList(*this).find(key); }
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Replaces the value under `key`, or appends it.
  void set(std::string_view key, Value value);
  // Appends without looking for `key`: for callers that know the keys are distinct.
  void append(std::string_view key, Value value);
  void reserve(std::size_t n) { items_.reserve(n); }
  std::span<const Keyword> items() const { return items_; }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  operator KeywordList() const { return KeywordList(items_); }

 private:
  std::vector<Keyword> items_;
  std::vector<std::unique_ptr<char[]>> keys_;  // the keys' characters, each kept where it is
};

// Positional arguments being built; a call's own are a `ValueList`. `Args` and `Sequence` are
// one type, so a braced list holding a single sequence, `Args{Sequence{x}}`, may copy the
// sequence instead of nesting it (compilers differ); write `Args{Value(Sequence{x})}`.
using Args = std::vector<Value>;
using Shape = std::vector<std::int64_t>;

// Text form of a shape, written like a tuple: `(1, 64, 56, 56)`, `(8,)`, `()`.
std::string shape_text(std::span<const std::int64_t> shape);
std::string shape_text(const Shape& shape);
std::string shape_text(const std::optional<Shape>& shape);

// A node's output sizes, or none: a view of a shape its graph holds once for every node of that
// shape. Reads like `std::optional<Shape>`: `if (shape)`, `shape->size()`, `(*shape)[d]`.
class ResultShape {
 public:
  ResultShape() = default;
  ResultShape(std::nullopt_t) {}
  explicit ResultShape(const Shape* shape) : shape_(shape) {}

  explicit operator bool() const { return shape_ != nullptr; }
  bool has_value() const { return shape_ != nullptr; }
  const Shape& operator*() const { return *shape_; }
  const Shape* operator->() const { return shape_; }
  // Raises `std::bad_optional_access` when there is no shape.
  const Shape& value() const;
  explicit operator std::optional<Shape>() const {
    return shape_ ? std::optional<Shape>(*shape_) : std::nullopt;
  }
  friend bool operator==(const ResultShape& a, const ResultShape& b) {
    return a.shape_ == b.shape_ || (a.shape_ && b.shape_ && *a.shape_ == *b.shape_);
  }
  friend bool operator==(const ResultShape& a, std::nullopt_t) { return !a.shape_; }

 private:
  const Shape* shape_ = nullptr;
};

std::string shape_text(const ResultShape& shape);

// A constant is a tensor the model reads but neither takes as an input nor owns (anchors kept in
// a list, a tensor built from numbers); like an input, it carries no channels.
enum class NodeKind { Input, Parameter, Call, Constant };

// A traced value: a model input, a tensor owned by the model, a constant, or the result of a call.
// Nodes are made and owned by their graph and compared by address.
class ZavoNode {
 public:
  ZavoNode(const ZavoNode&) = delete;
  ZavoNode& operator=(const ZavoNode&) = delete;

  std::int64_t id;
  NodeKind kind;
  Text name;
  ResultShape result_shape;  // none when the result is not a tensor or unknown

  // The call node behind this value, or null for inputs, parameters and constants.
  const ZavoOpNode* as_op_node() const;

 protected:
  friend class Graph;
  ZavoNode(std::int64_t node_id, NodeKind node_kind, Text node_name, ResultShape shape)
      : id(node_id), kind(node_kind), name(node_name), result_shape(shape) {}
  ~ZavoNode() = default;
};

// A node produced by one call of an operation.
class ZavoOpNode : public ZavoNode {
 public:
  OperationKey operation;
  Text operation_name;  // "__get__" for an attribute read on a traced tensor
  ValueList args;
  KeywordList kwargs;

  // Calls `visit(const ZavoNode&)` for every traced node among the positional arguments, then
  // among the keyword arguments in their order, looking inside sequences; repeats are kept.
  template <typename Visit>
  void for_each_input_node(Visit&& visit) const;
  // The same nodes as a list.
  std::vector<const ZavoNode*> collect_all_input_nodes() const;
  // The same nodes, each once, in the order of their first occurrence: for work that a node
  // passed many times needs only once.
  std::vector<const ZavoNode*> distinct_input_nodes() const;
  // The same nodes appended to `out`, whose earlier entries are left as they are: a caller that
  // keeps the inputs of many calls in one list takes no list per call.
  void append_distinct_input_nodes(std::vector<const ZavoNode*>& out) const;

 private:
  friend class Graph;
  ZavoOpNode(std::int64_t node_id, Text node_name, ResultShape shape, OperationKey op, Text op_name,
             ValueList call_args, KeywordList call_kwargs)
      : ZavoNode(node_id, NodeKind::Call, node_name, shape),
        operation(op),
        operation_name(op_name),
        args(call_args),
        kwargs(call_kwargs) {}
  ~ZavoOpNode() = default;
};

namespace detail {
template <typename Visit>
void visit_nodes(const Value& value, Visit& visit) {
  if (value.is_node()) {
    visit(value.as_node());
  } else if (value.is_sequence()) {
    for (const Value& item : value.as_sequence())
      visit_nodes(item, visit);
  }
}
}  // namespace detail

template <typename Visit>
void ZavoOpNode::for_each_input_node(Visit&& visit) const {
  for (const Value& arg : args)
    detail::visit_nodes(arg, visit);
  for (const Keyword& keyword : kwargs.items())
    detail::visit_nodes(keyword.value, visit);
}

class GraphStore;

// Owns the nodes of one traced graph, in execution order; node `i` has id `i`. Everything the
// nodes hold (names, shapes, arguments) lives in the graph's own store: one block allocation for
// many nodes, shapes and constants kept once however many nodes share them.
class Graph {
 public:
  Graph();
  ~Graph();
  Graph(Graph&&) noexcept;
  Graph& operator=(Graph&&) noexcept;
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  const ZavoNode& add_input(std::string_view name, const std::optional<Shape>& shape);
  const ZavoNode& add_parameter(std::string_view name, const std::optional<Shape>& shape);
  const ZavoNode& add_constant(std::string_view name, const std::optional<Shape>& shape);
  // The arguments are copied into the graph (a value of this graph's own is taken as it is);
  // `operation_name` defaults to the operation's short name.
  const ZavoOpNode& add_call(std::string_view name, OperationKey operation, const Args& args,
                             KeywordList kwargs, const std::optional<Shape>& shape,
                             std::optional<std::string_view> operation_name = std::nullopt);

  // Values held by the graph, for readers that build arguments as they go: arguments made of
  // them are taken as they are. Texts, constants, numbers and sequences without nodes are kept
  // once each.
  Value text(std::string_view text);
  Value opaque(std::string_view text, std::string_view type);
  Value number(double number);
  Value integer(std::int64_t integer);
  // A sequence of `items` (each a value of this graph, or copied into it).
  Value sequence(ValueList items);
  // A text of the graph, kept once: for keywords.
  Text intern(std::string_view text);

  std::span<const ZavoNode* const> nodes() const { return nodes_; }
  const ZavoNode& node(std::size_t id) const { return *nodes_.at(id); }
  std::size_t size() const { return nodes_.size(); }
  void reserve(std::size_t n) { nodes_.reserve(n); }
  // Bytes the graph's store has taken.
  std::size_t stored_bytes() const;

  std::string model;
  std::vector<const ZavoNode*> outputs;

 private:
  std::int64_t next_id() const;
  const ZavoNode& add_leaf(NodeKind kind, std::string_view name, const std::optional<Shape>& shape);
  Value adopt(const Value& value);

  std::unique_ptr<GraphStore> store_;
  std::vector<const ZavoNode*> nodes_;
};

// The nodes of a graph that is still being read, handed over in order as they are complete. A
// node handed over, and everything it holds, stays in place while the reading goes on; only the
// graph object itself is settled when the reading ends.
class NodeFeed {
 public:
  virtual ~NodeFeed() = default;

  // The first nodes of the graph, more than `seen` of them, waiting for them as needed; when no
  // more will come, the nodes handed over so far, or none when the reading failed.
  virtual std::span<const ZavoNode* const> after(std::size_t seen) = 0;
  // Whether the reading has ended with the whole graph, every node of which `after` hands over:
  // nothing can reject it any more.
  virtual bool complete() const = 0;
  // The share of the graph's text read by the time the nodes `after` handed over last were
  // complete (1 once the reading is complete): what is still to come, for sizing tables ahead.
  virtual double read_share() const = 0;
  // Waits for the reading to end and returns the whole graph; raises the reading's error.
  virtual const Graph& whole() = 0;
  // Whether the graph `whole` returned was read again, so that the nodes `after` handed over are
  // not its own.
  virtual bool read_again() const = 0;
};

inline const ZavoOpNode* ZavoNode::as_op_node() const {
  return kind == NodeKind::Call ? static_cast<const ZavoOpNode*>(this) : nullptr;
}

}  // namespace zavo::tensor_trace
