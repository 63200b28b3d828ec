#include "zavo/tensor_trace.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>

#include "zavo/platform/arena.hpp"
#include "zavo/platform/errors.hpp"
#include "zavo/platform/first_occurrences.hpp"
#include "zavo/tensor_trace/op_categorization.hpp"

namespace zavo::tensor_trace {

static_assert(sizeof(Value) == sizeof(void*), "a value is one word");

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

// --- Text ------------------------------------------------------------------------------------

Text Text::store(std::string_view text, char* out) {
  if (text.size() > std::numeric_limits<std::uint32_t>::max())
    throw std::length_error("a text of more than 4 GiB");
  const auto size = static_cast<std::uint32_t>(text.size());
  std::memcpy(out, &size, sizeof size);
  if (size)
    std::memcpy(out + sizeof size, text.data(), size);
  Text stored;
  stored.chars_ = out + sizeof size;
  return stored;
}

// --- Value -----------------------------------------------------------------------------------

namespace {

using detail::Payload;

constexpr std::int64_t kSmallIntLimit = std::int64_t{1} << 60;  // small: [-2^60, 2^60)

char* payload_data(Payload* payload) {
  return reinterpret_cast<char*>(payload + 1);
}
const char* payload_data(const Payload* payload) {
  return reinterpret_cast<const char*>(payload + 1);
}
const Value* payload_items(const Payload* payload) {
  return reinterpret_cast<const Value*>(payload + 1);
}

// The bytes of a payload after its header, for a payload of `size` and `extra` of kind `tag`.
std::size_t data_bytes(std::uintptr_t tag, std::uint32_t size, std::uint32_t extra);

// A payload of one value alone, with room for `bytes` bytes of data after the header.
Payload* new_payload(std::uint32_t size, std::uint32_t extra, std::size_t bytes) {
  void* memory = ::operator new (sizeof(Payload) + bytes, std::align_val_t{16});
  return new (memory) Payload{nullptr, size, extra};
}

std::uint32_t checked_size(std::size_t size) {
  if (size > std::numeric_limits<std::uint32_t>::max())
    throw std::length_error("a value of more than 2^32 items or characters");
  return static_cast<std::uint32_t>(size);
}

}  // namespace

Value::Value(std::int64_t i) {
  if (i >= -kSmallIntLimit && i < kSmallIntLimit) {
    bits_ = (static_cast<std::uintptr_t>(i) << 3) | kSmallInt;
    return;
  }
  Payload* payload = new_payload(0, 0, sizeof i);
  std::memcpy(payload_data(payload), &i, sizeof i);
  bits_ = reinterpret_cast<std::uintptr_t>(payload) | kBigInt;
}

Value::Value(double d) {
  Payload* payload = new_payload(0, 0, sizeof d);
  std::memcpy(payload_data(payload), &d, sizeof d);
  bits_ = reinterpret_cast<std::uintptr_t>(payload) | kFloat;
}

Value::Value(std::string_view s) {
  Payload* payload = new_payload(checked_size(s.size()), 0, s.size());
  if (!s.empty())
    std::memcpy(payload_data(payload), s.data(), s.size());
  bits_ = reinterpret_cast<std::uintptr_t>(payload) | kText;
}

Value::Value(Sequence s) {
  Payload* payload = new_payload(checked_size(s.size()), 0, s.size() * sizeof(Value));
  auto* items = reinterpret_cast<Value*>(payload_data(payload));
  for (std::size_t i = 0; i < s.size(); ++i)
    new (items + i) Value(std::move(s[i]));
  bits_ = reinterpret_cast<std::uintptr_t>(payload) | kSequence;
}

Value::Value(const OpaqueConstant& c) {
  Payload* payload = new_payload(checked_size(c.text.size()), checked_size(c.type.size()),
                                 c.text.size() + c.type.size());
  std::memcpy(payload_data(payload), c.text.data(), c.text.size());
  std::memcpy(payload_data(payload) + c.text.size(), c.type.data(), c.type.size());
  bits_ = reinterpret_cast<std::uintptr_t>(payload) | kOpaque;
}

namespace {

std::size_t data_bytes(std::uintptr_t tag, std::uint32_t size, std::uint32_t extra) {
  switch (tag) {
    case 5:  // text
      return size;
    case 6:  // sequence
      return std::size_t{size} * sizeof(Value);
    case 7:  // opaque constant
      return std::size_t{size} + extra;
    default:  // a 64-bit number
      return 8;
  }
}

}  // namespace

std::uintptr_t Value::clone() const {
  const Payload* from = payload();
  const std::size_t bytes = data_bytes(tag(), from->size, from->extra);
  Payload* to = new_payload(from->size, from->extra, bytes);
  if (tag() == kSequence) {
    const Value* items = payload_items(from);
    auto* copies = reinterpret_cast<Value*>(payload_data(to));
    for (std::uint32_t i = 0; i < from->size; ++i)
      new (copies + i) Value(items[i]);
  } else if (bytes) {
    std::memcpy(payload_data(to), payload_data(from), bytes);
  }
  return reinterpret_cast<std::uintptr_t>(to) | tag();
}

void Value::release() {
  auto* p = const_cast<Payload*>(payload());
  if (tag() == kSequence) {
    auto* items = reinterpret_cast<Value*>(payload_data(p));
    for (std::uint32_t i = 0; i < p->size; ++i)
      items[i].~Value();
  }
  p->~Payload();
  ::operator delete (p, std::align_val_t{16});
}

ValueKind Value::kind() const {
  switch (tag()) {
    case kNode:
      return ValueKind::Node;
    case kSpecial:
      return bits_ == kNone ? ValueKind::None : ValueKind::Bool;
    case kSmallInt:
    case kBigInt:
      return ValueKind::Int;
    case kFloat:
      return ValueKind::Float;
    case kText:
      return ValueKind::Str;
    case kSequence:
      return ValueKind::List;
    default:
      return ValueKind::Opaque;
  }
}

bool Value::as_bool() const {
  if (!is_bool())
    type_mismatch("bool", *this);
  return bits_ == kTrue;
}

std::int64_t Value::as_int() const {
  if (tag() == kSmallInt)
    return static_cast<std::int64_t>(bits_) >> 3;
  if (tag() != kBigInt)
    type_mismatch("int", *this);
  std::int64_t i;
  std::memcpy(&i, payload_data(payload()), sizeof i);
  return i;
}

double Value::as_float() const {
  if (!is_float())
    type_mismatch("float", *this);
  double d;
  std::memcpy(&d, payload_data(payload()), sizeof d);
  return d;
}

std::string_view Value::as_text() const {
  if (!is_text())
    type_mismatch("str", *this);
  return {payload_data(payload()), payload()->size};
}

ValueList Value::as_sequence() const {
  if (!is_sequence())
    type_mismatch("list", *this);
  return {payload_items(payload()), payload()->size};
}

const ZavoNode& Value::as_node() const {
  if (!is_node())
    type_mismatch("ZavoNode", *this);
  return *reinterpret_cast<const ZavoNode*>(bits_);
}

OpaqueView Value::as_opaque() const {
  if (!is_opaque())
    type_mismatch("constant", *this);
  const char* data = payload_data(payload());
  return {{data, payload()->size}, {data + payload()->size, payload()->extra}};
}

bool Value::truthy() const {
  switch (kind()) {
    case ValueKind::None:
      return false;
    case ValueKind::Bool:
      return as_bool();
    case ValueKind::Int:
      return as_int() != 0;
    case ValueKind::Float:
      return as_float() != 0.0;
    case ValueKind::Str:
      return !as_text().empty();
    case ValueKind::List:
      return !as_sequence().empty();
    case ValueKind::Node:
    case ValueKind::Opaque:
      return true;
  }
  return true;
}

bool Value::operator==(const Value& other) const {
  if (bits_ == other.bits_)
    return kind() != ValueKind::Float || as_float() == as_float();  // nan is no number's equal
  if (kind() != other.kind())
    return false;
  switch (kind()) {
    case ValueKind::Int:
      return as_int() == other.as_int();
    case ValueKind::Float:
      return as_float() == other.as_float();
    case ValueKind::Str:
      return as_text() == other.as_text();
    case ValueKind::List:
      return std::ranges::equal(as_sequence(), other.as_sequence());
    case ValueKind::Opaque:
      return as_opaque() == other.as_opaque();
    default:  // none, booleans and nodes are equal when their words are
      return false;
  }
}

namespace {

// Appends the text form of `value` to `out`, stopping once `out` holds more than `limit`
// characters: a sequence may repeat one long name thousands of times.
void append_text_form(std::string& out, const Value& value, std::size_t limit) {
  auto append = [&](std::string_view text) {
    out += text.substr(0, limit + 1 - std::min(out.size(), limit + 1));
  };
  switch (value.kind()) {
    case ValueKind::None:
      out += "None";
      return;
    case ValueKind::Bool:
      out += value.as_bool() ? "True" : "False";
      return;
    case ValueKind::Int:
      out += std::to_string(value.as_int());
      return;
    case ValueKind::Float:
      out += float_text(value.as_float());
      return;
    case ValueKind::Str:
      append(value.as_text());
      return;
    case ValueKind::List: {
      const ValueList items = value.as_sequence();
      out += '[';
      for (std::size_t i = 0; i < items.size() && out.size() <= limit; ++i) {
        if (i)
          out += ", ";
        append_text_form(out, items[i], limit);
      }
      out += ']';
      return;
    }
    case ValueKind::Node:
      append(value.as_node().name);
      return;
    case ValueKind::Opaque:
      append(value.as_opaque().text);
      return;
  }
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
  switch (value.kind()) {
    case ValueKind::None:
      return "NoneType";
    case ValueKind::Bool:
      return "bool";
    case ValueKind::Int:
      return "int";
    case ValueKind::Float:
      return "float";
    case ValueKind::Str:
      return "str";
    case ValueKind::List:
      return "list";
    case ValueKind::Node:
      return value.as_node().as_op_node() ? "ZavoOpNode" : "ZavoNode";
    case ValueKind::Opaque:
      return std::string(value.as_opaque().type);
  }
  return "object";
}

// --- keyword arguments -----------------------------------------------------------------------

const Value* KeywordList::find(std::string_view key) const {
  for (const Keyword& keyword : items_) {
    if (keyword.key == key)
      return &keyword.value;
  }
  return nullptr;
}

Kwargs::Kwargs(std::initializer_list<std::pair<std::string_view, Value>> items) {
  reserve(items.size());
  for (const auto& [key, value] : items)
    set(key, value);
}

Kwargs::Kwargs(const Kwargs& other) {
  reserve(other.size());
  for (const Keyword& keyword : other.items_)
    append(keyword.key, keyword.value);
}

Kwargs& Kwargs::operator=(const Kwargs& other) {
  if (this != &other)
    *this = Kwargs(other);
  return *this;
}

void Kwargs::set(std::string_view key, Value value) {
  for (Keyword& keyword : items_) {
    if (keyword.key == key) {
      keyword.value = std::move(value);
      return;
    }
  }
  append(key, std::move(value));
}

void Kwargs::append(std::string_view key, Value value) {
  keys_.push_back(std::make_unique<char[]>(Text::stored_size(key.size())));
  items_.push_back({Text::store(key, keys_.back().get()), std::move(value)});
}

// --- shapes ----------------------------------------------------------------------------------

std::string shape_text(std::span<const std::int64_t> shape) {
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

std::string shape_text(const Shape& shape) {
  return shape_text(std::span<const std::int64_t>(shape));
}

std::string shape_text(const std::optional<Shape>& shape) {
  return shape ? shape_text(*shape) : "None";
}

std::string shape_text(const ResultShape& shape) {
  return shape ? shape_text(*shape) : "None";
}

const Shape& ResultShape::value() const {
  if (!shape_)
    throw std::bad_optional_access();
  return *shape_;
}

// --- nodes -----------------------------------------------------------------------------------

std::vector<const ZavoNode*> ZavoOpNode::collect_all_input_nodes() const {
  std::vector<const ZavoNode*> nodes;
  for_each_input_node([&nodes](const ZavoNode& node) { nodes.push_back(&node); });
  return nodes;
}

std::vector<const ZavoNode*> ZavoOpNode::distinct_input_nodes() const {
  std::vector<const ZavoNode*> distinct;
  append_distinct_input_nodes(distinct);
  return distinct;
}

void ZavoOpNode::append_distinct_input_nodes(std::vector<const ZavoNode*>& out) const {
  // Most calls take a few distinct inputs: each node met is looked for among those kept so far.
  // Past a few, the inputs are sorted instead.
  constexpr std::size_t kPairwise = 16;
  const std::size_t begin = out.size();
  bool many = false;
  for_each_input_node([&](const ZavoNode& node) {
    const auto met = std::span(out).subspan(begin);
    if (many || std::ranges::find(met, &node) != met.end())
      return;
    many = met.size() == kPairwise;
    if (!many)
      out.push_back(&node);
  });
  if (!many)
    return;
  out.resize(begin);
  const std::vector<const ZavoNode*> distinct = platform::first_occurrences(
      collect_all_input_nodes(), [](const ZavoNode* node) { return node->id; });
  out.insert(out.end(), distinct.begin(), distinct.end());
}

// --- the graph's store -----------------------------------------------------------------------

namespace {

// Entries found by the bytes of their key, which each entry holds itself: open addressing over
// (hash, entry) slots, an entry's key read back through `key_of`.
class InternSet {
 public:
  using KeyOf = std::string_view (*)(const void* entry);
  explicit InternSet(KeyOf key_of) : key_of_(key_of) {}

  const void* find(std::size_t hash, std::string_view key) const {
    if (slots_.empty())
      return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i].entry; i = (i + 1) & mask) {
      if (slots_[i].hash == hash && key_of_(slots_[i].entry) == key)
        return slots_[i].entry;
    }
    return nullptr;
  }

  // Adds an entry whose key is not in the set yet.
  void add(std::size_t hash, const void* entry) {
    if (2 * (used_ + 1) > slots_.size())
      grow();
    place({hash, entry});
    ++used_;
  }

 private:
  struct Slot {
    std::size_t hash = 0;
    const void* entry = nullptr;
  };

  void place(const Slot& slot) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot.hash & mask;
    while (slots_[i].entry)
      i = (i + 1) & mask;
    slots_[i] = slot;
  }

  void grow() {
    std::vector<Slot> old(std::max<std::size_t>(64, 2 * slots_.size()));
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.entry)
        place(slot);
    }
  }

  KeyOf key_of_;
  std::vector<Slot> slots_;  // 2^k of them, at most half used
  std::size_t used_ = 0;
};

std::size_t hash_of(std::string_view bytes) {
  return std::hash<std::string_view>{}(bytes);
}

// A stored text (`entry`: its count) is keyed by its characters.
std::string_view text_key(const void* entry) {
  std::uint32_t size;
  std::memcpy(&size, entry, sizeof size);
  return {static_cast<const char*>(entry) + sizeof size, size};
}

// A payload is keyed by its counts and its data.
std::string_view payload_key(std::uintptr_t tag, const void* entry) {
  const auto* payload = static_cast<const Payload*>(entry);
  return {reinterpret_cast<const char*>(&payload->size),
          2 * sizeof(std::uint32_t) + data_bytes(tag, payload->size, payload->extra)};
}

template <std::uintptr_t Tag>
std::string_view payload_key_of(const void* entry) {
  return payload_key(Tag, entry);
}

std::string_view shape_key(const void* entry) {
  const Shape& shape = *static_cast<const Shape*>(entry);
  return {reinterpret_cast<const char*>(shape.data()), shape.size() * sizeof(std::int64_t)};
}

}  // namespace

// Where a graph keeps what its nodes hold: an arena, and the texts, constants and shapes that
// many nodes share, each kept once (and so compared by address where it matters).
class GraphStore {
 public:
  platform::Arena arena;

  // The graph's text with these characters.
  Text text(std::string_view chars) {
    const std::size_t hash = hash_of(chars);
    const void* entry = texts_.find(hash, chars);
    if (!entry) {
      auto* out = static_cast<char*>(arena.allocate(Text::stored_size(chars.size()), 4));
      Text::store(chars, out);
      texts_.add(hash, out);
      entry = out;
    }
    return Text::at(static_cast<const char*>(entry) + sizeof(std::uint32_t));
  }

  // A text of its own, for what is never shared (a node's name).
  Text own_text(std::string_view chars) {
    auto* out = static_cast<char*>(arena.allocate(Text::stored_size(chars.size()), 4));
    return Text::store(chars, out);
  }

  // The graph's shape with these sizes.
  const Shape* shape(std::span<const std::int64_t> sizes) {
    const std::string_view key(reinterpret_cast<const char*>(sizes.data()),
                               sizes.size() * sizeof(std::int64_t));
    const std::size_t hash = hash_of(key);
    const void* entry = shapes_.find(hash, key);
    if (!entry) {
      entry = &shape_storage_.emplace_back(sizes.begin(), sizes.end());
      shapes_.add(hash, entry);
    }
    return static_cast<const Shape*>(entry);
  }

  // The graph's payload of kind `tag` with the counts and data of `key` (as `payload_key`
  // gives them): found, or made from them.
  std::uintptr_t payload(std::uintptr_t tag, std::string_view key) {
    InternSet& set = payloads_[tag - 3];
    const std::size_t hash = hash_of(key);
    const void* entry = set.find(hash, key);
    if (!entry) {
      entry = make_payload(key.size() - 2 * sizeof(std::uint32_t), key);
      set.add(hash, entry);
    }
    return reinterpret_cast<std::uintptr_t>(entry) | tag;
  }

  // The store's buffer for a payload's key, holding the counts `size` and `extra`; valid until
  // the next call.
  std::string& key_buffer(std::uint32_t size, std::uint32_t extra) {
    key_.assign(2 * sizeof(std::uint32_t), '\0');
    std::memcpy(key_.data(), &size, sizeof size);
    std::memcpy(key_.data() + sizeof size, &extra, sizeof extra);
    return key_;
  }

  // The text of `operation`'s short name.
  Text short_name(OperationKey operation) {
    auto [it, added] = short_names_.try_emplace(operation);
    if (added)
      it->second = text(operation->short_name());
    return it->second;
  }

  // A payload that is not shared (a sequence that holds nodes), with room for `bytes` bytes.
  Payload* arena_payload(std::uint32_t size, std::uint32_t extra, std::size_t bytes) {
    void* memory = arena.allocate(sizeof(Payload) + bytes, 16);
    return new (memory) Payload{this, size, extra};
  }

 private:
  const void* make_payload(std::size_t data, std::string_view key) {
    std::uint32_t counts[2];
    std::memcpy(counts, key.data(), sizeof counts);
    Payload* payload = arena_payload(counts[0], counts[1], data);
    if (data)
      std::memcpy(payload_data(payload), key.data() + sizeof counts, data);
    return payload;
  }

  InternSet texts_{text_key};
  InternSet shapes_{shape_key};
  // Big integers, floats, texts, sequences without nodes, opaque constants: by tag - 3.
  InternSet payloads_[5] = {InternSet(payload_key_of<3>), InternSet(payload_key_of<4>),
                            InternSet(payload_key_of<5>), InternSet(payload_key_of<6>),
                            InternSet(payload_key_of<7>)};
  std::deque<Shape> shape_storage_;
  std::unordered_map<OperationKey, Text> short_names_;
  std::string key_;
};

// --- the graph -------------------------------------------------------------------------------

Graph::Graph() : store_(std::make_unique<GraphStore>()) {}
Graph::~Graph() = default;
Graph::Graph(Graph&&) noexcept = default;
Graph& Graph::operator=(Graph&&) noexcept = default;

std::size_t Graph::stored_bytes() const {
  return store_->arena.reserved();
}

std::int64_t Graph::next_id() const {
  if (nodes_.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw std::length_error("too many nodes for one graph");
  return static_cast<std::int64_t>(nodes_.size());
}

namespace {

std::string_view bytes_of(const auto& value) {
  return {reinterpret_cast<const char*>(&value), sizeof value};
}

}  // namespace

Value Graph::text(std::string_view text) {
  std::string& key = store_->key_buffer(checked_size(text.size()), 0);
  key.append(text);
  return Value::from_bits(store_->payload(Value::kText, key));
}

Value Graph::opaque(std::string_view text, std::string_view type) {
  std::string& key = store_->key_buffer(checked_size(text.size()), checked_size(type.size()));
  key.append(text).append(type);
  return Value::from_bits(store_->payload(Value::kOpaque, key));
}

Value Graph::number(double number) {
  std::string& key = store_->key_buffer(0, 0);
  key.append(bytes_of(number));
  return Value::from_bits(store_->payload(Value::kFloat, key));
}

Value Graph::integer(std::int64_t integer) {
  if (integer >= -kSmallIntLimit && integer < kSmallIntLimit)
    return Value(integer);
  std::string& key = store_->key_buffer(0, 0);
  key.append(bytes_of(integer));
  return Value::from_bits(store_->payload(Value::kBigInt, key));
}

Value Graph::sequence(ValueList items) {
  const std::uint32_t size = checked_size(items.size());
  auto own = [this](const Value& item) {
    return !item.has_payload() || item.payload()->owner == store_.get();
  };
  if (!std::ranges::all_of(items, own)) {
    // Items held elsewhere are copied in first.
    std::vector<Value> adopted;
    adopted.reserve(items.size());
    for (const Value& item : items)
      adopted.push_back(adopt(item));
    return sequence(adopted);
  }
  bool holds_nodes = false;
  for (const Value& item : items)
    holds_nodes = holds_nodes || item.is_node() || (item.is_sequence() && item.payload()->extra);
  if (!holds_nodes) {
    // Kept once: its items are scalars and values of this graph, each one word.
    std::string& key = store_->key_buffer(size, 0);
    for (const Value& item : items)
      key.append(bytes_of(item.bits_));
    return Value::from_bits(store_->payload(Value::kSequence, key));
  }
  // A sequence that holds nodes is its own, marked (`extra` 1) so that a sequence holding it is
  // not kept once either.
  Payload* payload = store_->arena_payload(size, 1, items.size() * sizeof(Value));
  auto* stored = reinterpret_cast<Value*>(payload_data(payload));
  for (std::size_t i = 0; i < items.size(); ++i)
    new (stored + i) Value(Value::from_bits(items[i].bits_));
  return Value::from_bits(reinterpret_cast<std::uintptr_t>(payload) | Value::kSequence);
}

Text Graph::intern(std::string_view text) {
  return store_->text(text);
}

// `value` as a value of this graph: itself when it is a scalar, a node or already held here;
// otherwise what it holds, copied in.
Value Graph::adopt(const Value& value) {
  if (!value.has_payload() || value.payload()->owner == store_.get())
    return Value::from_bits(value.bits_);
  switch (value.kind()) {
    case ValueKind::Int:
      return integer(value.as_int());
    case ValueKind::Float:
      return number(value.as_float());
    case ValueKind::Str:
      return text(value.as_text());
    case ValueKind::Opaque:
      return opaque(value.as_opaque().text, value.as_opaque().type);
    case ValueKind::List: {
      const ValueList items = value.as_sequence();
      std::vector<Value> adopted;
      adopted.reserve(items.size());
      for (const Value& item : items)
        adopted.push_back(adopt(item));
      return sequence(adopted);
    }
    default:
      return Value::from_bits(value.bits_);
  }
}

const ZavoNode& Graph::add_leaf(NodeKind kind, std::string_view name,
                                const std::optional<Shape>& shape) {
  auto* memory = store_->arena.allocate(sizeof(ZavoNode), alignof(ZavoNode));
  const ZavoNode* node =
      new (memory) ZavoNode(next_id(), kind, store_->own_text(name),
                            ResultShape(shape ? store_->shape(*shape) : nullptr));
  nodes_.push_back(node);
  return *node;
}

const ZavoNode& Graph::add_input(std::string_view name, const std::optional<Shape>& shape) {
  return add_leaf(NodeKind::Input, name, shape);
}

const ZavoNode& Graph::add_parameter(std::string_view name, const std::optional<Shape>& shape) {
  return add_leaf(NodeKind::Parameter, name, shape);
}

const ZavoNode& Graph::add_constant(std::string_view name, const std::optional<Shape>& shape) {
  return add_leaf(NodeKind::Constant, name, shape);
}

const ZavoOpNode& Graph::add_call(std::string_view name, OperationKey operation, const Args& args,
                                  KeywordList kwargs, const std::optional<Shape>& shape,
                                  std::optional<std::string_view> operation_name) {
  platform::Arena& arena = store_->arena;
  Value* stored_args = nullptr;
  if (!args.empty()) {
    stored_args = static_cast<Value*>(arena.allocate(args.size() * sizeof(Value), alignof(Value)));
    for (std::size_t i = 0; i < args.size(); ++i)
      new (stored_args + i) Value(adopt(args[i]));
  }
  Keyword* stored_kwargs = nullptr;
  if (!kwargs.empty()) {
    stored_kwargs =
        static_cast<Keyword*>(arena.allocate(kwargs.size() * sizeof(Keyword), alignof(Keyword)));
    for (std::size_t i = 0; i < kwargs.size(); ++i) {
      const Keyword& keyword = kwargs.items()[i];
      new (stored_kwargs + i) Keyword{store_->text(keyword.key), adopt(keyword.value)};
    }
  }
  const Text op_name =
      operation_name ? store_->text(*operation_name) : store_->short_name(operation);
  auto* memory = arena.allocate(sizeof(ZavoOpNode), alignof(ZavoOpNode));
  const ZavoOpNode* node = new (memory)
      ZavoOpNode(next_id(), store_->own_text(name),
                 ResultShape(shape ? store_->shape(*shape) : nullptr), operation, op_name,
                 ValueList(stored_args, args.size()), KeywordList({stored_kwargs, kwargs.size()}));
  nodes_.push_back(node);
  return *node;
}

}  // namespace zavo::tensor_trace
