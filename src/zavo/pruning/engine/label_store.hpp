#pragma once
// The label bookkeeping of one parse: the state, its shared label lists and the arena behind them.
//
// A `DimensionLabels` is a shared, mutable list of labels: the state keeps the very lists it is
// given, and a merge rewrites every recorded list in place, so every holder of a list sees the
// merged labels. A null `DimensionLabels` stands for a dimension without labels (none), which is
// distinct from an empty list.
//
// Representation. Every position of every node passes through this state, so it is stored flat:
// all lists live in one arena of 32-bit slots owned by the state; a list that some node records
// holds class numbers, and a class resolves to its label through a union-find forest, so folding
// one label into another is a union (cost independent of how many positions carry either) while
// the label numbers seen outside are exactly those of the rules. A list that no node records
// holds plain label numbers and is never touched by a merge, as a list outside the state would
// not be. Per-label tables are arrays indexed by label (labels come from a counter), per-node
// tables arrays indexed by node id.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "zavo/platform/errors.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::pruning::engine::utils {

using tensor_trace::Shape;
using tensor_trace::ZavoNode;
using zavo::PruningEngineRuntimeException;

using Label = std::int64_t;
using LabelList = std::vector<Label>;

class LabelStore;
struct PruneGraphParserState;
struct AddNodeOutputInfo;
struct GenerateNewChannelLabels;
class NodeLabels;

// A handle on one shared label list of a state, or none. It behaves like a pointer to the list:
// `if (labels)`, `labels->size()`, `(*labels)[i]`, `for (Label l : *labels)`. Copies share the
// list; `==` compares identity. Reading gives the labels as they are now, after every merge.
class DimensionLabels {
 public:
  DimensionLabels() = default;
  DimensionLabels(std::nullptr_t) {}  // NOLINT: none converts implicitly, like a null pointer

  explicit operator bool() const { return store_ != nullptr; }
  bool operator==(const DimensionLabels& other) const = default;
  bool operator==(std::nullptr_t) const { return store_ == nullptr; }

  // Pointer-like access to the list itself.
  const DimensionLabels* operator->() const { return this; }
  const DimensionLabels& operator*() const { return *this; }

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  Label operator[](std::size_t index) const;
  // Raises `LookupError` for an index past the end.
  Label at(std::size_t index) const;
  // The labels as a plain sequence (a copy), or appended to `out`.
  LabelList to_vector() const;
  void append_to(LabelList& out) const;

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Label;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Label;
    const_iterator() = default;
    const_iterator(const DimensionLabels* list, std::size_t index) : list_(list), index_(index) {}
    Label operator*() const { return (*list_)[index_]; }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++index_;
      return before;
    }
    bool operator==(const const_iterator& other) const { return index_ == other.index_; }

   private:
    const DimensionLabels* list_ = nullptr;
    std::size_t index_ = 0;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

  // The list's number inside its state, and the state's arena (for the state's own tables).
  std::uint32_t id() const { return id_; }
  const LabelStore* owner() const { return store_; }

 private:
  friend class LabelStore;
  DimensionLabels(LabelStore* store, std::uint32_t id) : store_(store), id_(id) {}

  LabelStore* store_ = nullptr;
  std::uint32_t id_ = 0;
};

using TensorLabels = std::vector<DimensionLabels>;

// The text form `[None, [0, 1], None]`, for messages and tests.
std::string labels_text(const DimensionLabels& labels);
std::string labels_text(const TensorLabels& labels);

// (dimension, index) inside one node's output.
struct Position {
  std::int64_t dim;
  std::int64_t idx;
  bool operator==(const Position&) const = default;
};
using PositionSet = std::vector<Position>;

// Hears the label events of a parse as they happen (provenance, checks). The state calls it
// synchronously; every method does nothing unless overridden.
class LabelObserver {
 public:
  virtual ~LabelObserver() = default;
  // Fresh labels `first` to `first + count - 1`, registered with `prunable`.
  virtual void labels_created(Label /*first*/, std::size_t /*count*/, bool /*prunable*/) {}
  // A mark wrote false onto a label that was prunable or had no entry.
  virtual void label_marked_non_prunable(Label /*label*/) {}
  // `folded` is about to be folded into `base`; both still have their own flags.
  virtual void labels_merged(Label /*base*/, Label /*folded*/) {}
};

// The state's own bookkeeping disagrees with itself: a fault of the engine (or of a caller that
// bypassed the utilities), never of the graph being parsed.
class StateInvariantError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// The largest number of labels, and of label positions held in lists, that one state can hold.
inline constexpr std::int64_t kMaxLabels = std::numeric_limits<std::uint32_t>::max() - 1;

// A parse would hold more label positions than its budget allows. Raised before the memory is
// taken; not an error of the graph's handling but a limit of the run.
class LabelBudgetError : public std::runtime_error {
 public:
  LabelBudgetError(std::int64_t budget, std::int64_t needed)
      : std::runtime_error("the parse needs more than " + std::to_string(budget) +
                           " label positions (" + std::to_string(needed) + " at this node)"),
        budget_(budget),
        needed_(needed) {}
  std::int64_t budget() const { return budget_; }
  std::int64_t needed() const { return needed_; }

 private:
  std::int64_t budget_;
  std::int64_t needed_;
};

// The default budget of label positions: what fits in half of the memory this process may
// really use (the smallest of the machine's memory, its control group's limit and its own
// address-space limit) at `kBytesPerPosition` each (a position costs about that much through
// parse and report), within what a state can hold.
inline constexpr std::int64_t kBytesPerPosition = 48;
std::int64_t default_label_position_budget();
// The budget for a process that may use `memory` bytes.
std::int64_t label_position_budget_for(std::uint64_t memory);

// A label's entry in its state: its word (prunability and class, see `LabelStore`) and its
// mark (see `PruneGraphParserState::label_marks`), side by side.
struct LabelEntry {
  std::uint32_t word;
  std::uint32_t mark;
};

// The marks of a state's labels.
class LabelMarks {
 public:
  std::uint32_t& operator[](Label label) const {
    return entries_[static_cast<std::size_t>(label)].mark;
  }

 private:
  friend class LabelStore;
  explicit LabelMarks(LabelEntry* entries) : entries_(entries) {}
  LabelEntry* entries_;
};

// The pruning state of one parse. The four relations of the bookkeeping are:
//   the labels recorded per node (`get_prune_labels`), rewritten by merges;
//   the positions of a label in a node (`label_positions`);
//   the nodes whose output carries a label (`label_nodes`, `label_has_nodes`);
//   the prunability flag per label (`prunable_flag`, absent, true or false).
// They always agree: a node carries a label exactly at the positions listed for it.
struct PruneGraphParserState {
  PruneGraphParserState();
  ~PruneGraphParserState();
  PruneGraphParserState(PruneGraphParserState&&) noexcept;
  PruneGraphParserState& operator=(PruneGraphParserState&&) noexcept;
  PruneGraphParserState(const PruneGraphParserState&) = delete;
  PruneGraphParserState& operator=(const PruneGraphParserState&) = delete;

  // The next fresh label; labels are numbered 0, 1, 2, ... in creation order.
  Label next_label = 0;
  // Told of every label event; null when nobody listens.
  LabelObserver* observer = nullptr;
  // The most label positions the state's lists may hold together; a list that would pass it
  // raises `LabelBudgetError` before it is made.
  std::int64_t label_position_budget = kMaxLabels;

  // --- prunability (`is_prunable`) ---
  // The label's flag, or none when it has no entry.
  std::optional<bool> prunable_flag(Label label) const;
  // Sets the label's flag (creating the entry).
  void set_prunable_flag(Label label, bool prunable);
  // Every entry, in ascending label order.
  template <typename Visit>
  void for_each_prunable_entry(Visit&& visit) const;
  // The number of entries.
  std::size_t prunable_entries() const;

  // --- the label indexes, for the label algebra, checks and tests ---
  // True when some recorded node output carries the label.
  bool label_has_nodes(Label label) const;
  // The nodes whose output carries the label, in node-id order. Scans every record: for checks
  // and tests, not for the parse.
  std::vector<const ZavoNode*> label_nodes(Label label) const;
  // The positions of the label in the node's output, in dimension then index order (a scan).
  PositionSet label_positions(const ZavoNode& node, Label label) const;
  // The number of label positions held by recorded lists.
  std::size_t recorded_positions() const;

  // Folds `folded` into `base`: every recorded position of `folded` reads `base` afterwards,
  // and `base` stays prunable only when both were. Raises `LookupError` when `folded` or
  // `base` is carried by no node, or either has no prunability entry; `base` != `folded`.
  void fold_label(Label base, Label folded);
  // The number of folds so far. A list made while it has one value reads only live labels, each
  // the label of the class it will be recorded under, for as long as the value stays the same.
  std::uint64_t folds() const;

  // Verifies, in time linear in the state's size, that its indexes agree: every list lies in
  // the arena and is held by exactly as many node entries as it counts; every recorded position
  // resolves to a live class whose count is the number of recorded positions in its tree; a
  // label is indexed as carried by nodes exactly when some recorded position reads it (the node
  // sets and positions of `label_nodes` and `label_positions` are read from the lists, so this
  // is what makes them agree); every label with an entry or a class lies below the counter, and
  // every label of a list no node records too; no label keeps a mark. Raises `StateInvariantError`
  // naming the rule, the node and the label.
  //
  // One rule the handlers break themselves: every label read at a recorded position should have
  // a prunability entry, but a handler that builds the list of one dimension and then ties
  // another (the binary handler, the concatenation) can retire, in that tie, labels of the list
  // it built, and records them: those positions carry a label without an entry, apart from the
  // class they were tied to. They are counted, not raised: the result is their number (a retired
  // label is one below the counter without an entry; every label starts with one and only a
  // merge removes it).
  std::size_t check_invariants() const;

  // Room for `labels` labels, their classes and as many positions, without regrowth.
  void reserve(std::size_t labels);
  // Room for what `nodes` node records and `labels` labels take, each table sized from what it
  // holds so far per record made or per label made, with an eighth to spare: the rest of a
  // graph is taken to be like its start. Never less room than there is.
  void reserve_ahead(std::size_t nodes, std::size_t labels);

  // Back to the state of a fresh `PruneGraphParserState` (no labels, no records, no observer,
  // the default budget), keeping the tables' room, so that a run of parses does not take and
  // give back the same memory every time. The state must be whole (not moved from).
  void reset();
  // The bytes the tables hold room for, used or not.
  std::size_t capacity_bytes() const;

  LabelStore& store() const { return *store_; }

  // One number per label, zero outside the call that uses it, for the label algebra's per-call
  // numbering of labels; every user leaves them all zeros again. Each lies beside its label's
  // word, so that numbering the labels of a fold loads what the fold then reads. The marks of
  // every label up to `last` and below `next_label`, good until a label gets a new entry.
  LabelMarks label_marks(Label last);

  // Buffers the label algebra reuses from call to call, so that once they have grown a fold of
  // label groups allocates nothing. Their contents mean nothing between calls.
  struct FoldScratch {
    std::vector<DimensionLabels> groups;
    LabelList cells;
    LabelList unique_labels;
    LabelList column_labels;
    LabelList members;
    LabelList base_labels;
    LabelList merged;
    std::vector<std::uint32_t> local;
    std::vector<std::uint32_t> parent;
    std::vector<std::uint32_t> group_of_root;
    std::vector<std::uint32_t> group_start;
    std::vector<std::uint32_t> fill;
  };
  FoldScratch& fold_scratch();

  // The last concatenation whose joined list can stand for the joined lists of its inputs in a
  // later concatenation that starts with the same inputs: it read every input's list along `dim`
  // (each labelled, no other dimension labelled), nothing was folded between that read and its
  // record, and it was recorded as holding its inputs' labels. While no node is recorded again
  // (`holds_input_labels` stays true for it), its list reads, position by position, what its
  // inputs' lists read, since both were recorded through the same classes; and while no label
  // up to `highest` was folded away since it was recorded (`lowest_folded`), that is `labels`,
  // the labels it was made of. Cleared by `reset`.
  struct JoinedInputs {
    const ZavoNode* node = nullptr;
    std::vector<const ZavoNode*> inputs;
    std::size_t dims = 0;
    std::int64_t dim = 0;
    DimensionLabels list;
    LabelList labels;
    Label highest = 0;
  };
  JoinedInputs& joined_inputs();

  // The lowest label folded into another since the last `restart_lowest_folded` (or ever), or
  // `kMaxLabels` when none was. A fold changes what a position reads only where it read the
  // folded label, so a list whose labels all lie below this reads as it did then.
  Label lowest_folded() const;
  void restart_lowest_folded();

 private:
  // The ways a fold fails, kept off its common path.
  [[noreturn, gnu::cold, gnu::noinline]] static void fail_without_nodes(Label label);
  [[noreturn, gnu::cold, gnu::noinline]] static void fail_without_flag(Label label);
  // `base` carries no node: the folded label's class moves to `base`, then the fold raises.
  [[noreturn, gnu::cold, gnu::noinline]] void fold_into_label_without_nodes(Label base,
                                                                            Label folded);

  std::unique_ptr<LabelStore> store_;
};

// ---------------------------------------------------------------------------------------------
// The arena behind a state. Public for the inline reads of `DimensionLabels`; not for handlers,
// which record and read labels through the calls of utils.hpp.
class LabelStore {
 public:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  // Lists.
  DimensionLabels make_list(std::span<const Label> labels);
  // Raises `LabelBudgetError` when `more` positions would pass `budget`.
  void check_budget(std::int64_t budget, std::size_t more) const;
  // A list of `size` labels that its maker would throw away is not made, but it counts toward
  // the budget as if it had been, so that a parse reaches its budget at the same node and with
  // the same message either way. Raises as `check_budget` does.
  void count_unmade_list(std::int64_t budget, std::size_t size);
  std::size_t list_size(std::uint32_t list) const { return lists_[list].size; }
  Label read(std::uint32_t list, std::size_t index) const {
    const ListInfo& info = lists_[list];
    std::uint32_t& slot = slots_[info.begin + index];
    if (info.records == 0)
      return resolve_retired ? current(slot) : slot;
    return classes_[shorten(slot)].label;
  }
  DimensionLabels handle(std::uint32_t list) { return {this, list}; }
  void append(std::uint32_t list, LabelList& out) const {
    const ListInfo& info = lists_[list];
    if (info.size <= 16) {
      // Short lists (a concatenation joins many) are read without resizing `out` first.
      for_each(list, [&out](Label label) { out.push_back(label); });
      return;
    }
    const std::size_t at = out.size();
    out.resize(at + info.size);
    read_all(list, out.data() + at);
  }
  // Calls `visit(label)` for each label of the list, in order.
  template <typename Visit>
  void for_each(std::uint32_t list, Visit&& visit) const {
    const ListInfo& info = lists_[list];
    std::uint32_t* slot = slots_.data() + info.begin;
    std::uint32_t* const end = slot + info.size;
    if (info.records == 0) {
      for (; slot != end; ++slot)
        visit(resolve_retired ? current(*slot) : static_cast<Label>(*slot));
      return;
    }
    for (; slot != end; ++slot)
      visit(static_cast<Label>(classes_[shorten(*slot)].label));
  }

  // Reading a node's lists takes a chain of dependent loads: its record, its entries, each
  // list's place, its slots, the classes they name. A reader of many short lists (a
  // concatenation joins thousands of nodes' lists) starts the loads of lists it reads a few
  // steps later, so that those of different lists overlap; each call needs what the call before
  // it in this order loaded to be in, and none changes anything.
  void prefetch_record(const ZavoNode& node) const {
    const auto id = static_cast<std::size_t>(node.id);
    if (id < records_.size())
      __builtin_prefetch(&records_[id]);
  }
  void prefetch_entries(const ZavoNode& node) const {
    if (const NodeRecord* held = record(node))
      __builtin_prefetch(&node_lists_[held->first]);
  }
  void prefetch_list(std::uint32_t list) const { __builtin_prefetch(&lists_[list]); }
  void prefetch_slots(std::uint32_t list) const {
    __builtin_prefetch(slots_.data() + lists_[list].begin);
  }
  void prefetch_classes(std::uint32_t list) const {
    const ListInfo& info = lists_[list];
    if (info.records == 0)
      return;
    for (std::uint32_t k = 0; k < std::min<std::uint32_t>(info.size, 4); ++k)
      __builtin_prefetch(&classes_[slots_[info.begin + k]]);
  }

  // A run of folds or records reads each label's word and then its class: two dependent loads
  // spread over the label space. A loop over labels it knows ahead loads a label's word some
  // steps before, and its class a few steps before, it reaches the label, so that the loads of
  // different labels overlap. Neither changes anything.
  void prefetch_label(Label label) const {
    if (static_cast<std::size_t>(label) < labels_.size())
      __builtin_prefetch(&labels_[static_cast<std::size_t>(label)]);
  }
  void prefetch_label_class(Label label) const {
    if (static_cast<std::size_t>(label) >= labels_.size())
      return;
    const std::uint32_t cls = label_class(static_cast<std::size_t>(label));
    if (cls != kNoClass)
      __builtin_prefetch(&classes_[cls]);
  }

  // A label's prunability: -1 absent, 0 false, 1 true.
  int flag(std::size_t label) const {
    return label < labels_.size() ? static_cast<int>(labels_[label].word >> kFlagShift) - 1 : -1;
  }
  void set_flag(std::size_t label, int flag) {
    std::uint32_t& word = labels_[label].word;
    word = (word & kClassMask) | static_cast<std::uint32_t>(flag + 1) << kFlagShift;
  }
  // The number of labels with an entry or a class (one past the highest), or a mark.
  std::size_t label_count() const { return labels_.size(); }
  // The marks of labels up to `last` (see `PruneGraphParserState::label_marks`).
  LabelMarks marks(Label last) {
    if (last >= 0 && static_cast<std::size_t>(last) >= labels_.size())
      grow_labels(static_cast<std::size_t>(last));
    return LabelMarks(labels_.data());
  }

  // A label folded into another stands for the label it was folded into: in a list no node
  // records, when read, and in a list that a node records, when recorded. Off, a list made
  // before a merge keeps the folded label, and recording it gives that label a class of its own
  // again (as the catalogue's handlers have always recorded it).
  bool resolve_retired = false;
  // The label that `label` stands for now: itself, or the label its class was folded into.
  Label current(Label label) const {
    const auto index = static_cast<std::size_t>(label);
    if (index >= retired_class_.size() || retired_class_[index] == kNone)
      return label;
    return classes_[root_of(retired_class_[index])].label;
  }

 private:
  friend struct PruneGraphParserState;
  friend class NodeLabels;
  friend void add_node_output_info(const AddNodeOutputInfo& call);
  friend DimensionLabels generate_new_channel_labels(const GenerateNewChannelLabels& call);
  friend TensorLabels get_prune_labels(const PruneGraphParserState&, const ZavoNode&);
  friend DimensionLabels get_prune_labels_by_dim(const PruneGraphParserState&, const ZavoNode&,
                                                 std::int64_t);
  friend std::optional<std::int64_t> get_prune_dimension(const PruneGraphParserState&,
                                                         const ZavoNode&);
  friend bool has_recorded_labels(const PruneGraphParserState&, const ZavoNode&);
  friend bool holds_labels_of(const PruneGraphParserState&, const ZavoNode&, const ZavoNode&);
  friend bool holds_input_labels(const PruneGraphParserState&, const ZavoNode&);
  friend bool keeps_input_labels(const PruneGraphParserState&, const ZavoNode&);
  friend std::size_t get_prune_labels(const PruneGraphParserState&, const ZavoNode&,
                                      std::span<DimensionLabels>);
  template <typename Visit>
  friend void for_each_recorded_label(const PruneGraphParserState&, const ZavoNode&, Visit&&);

  struct ListInfo {
    std::uint32_t begin;    // first slot
    std::uint32_t size;     // number of slots
    std::uint32_t records;  // how many node entries hold it; > 0: slots hold classes
  };
  struct NodeRecord {
    const ZavoNode* node = nullptr;  // null: nothing recorded
    std::uint32_t first = 0;         // into `node_lists_`
    std::uint32_t count = 0;
    // Records are numbered in the order they were made: an input whose record is older than
    // this one is recorded as it was when this node was handled.
    std::uint32_t serial = 0;
    // The output carries every prunable label of the inputs, as they were then recorded.
    bool holds_inputs = false;
    // The output loses no prunable label of the inputs: each is in it, or tied to a parameter.
    bool keeps_inputs = false;
  };
  // One class of the union-find forest, the three fields a fold touches together. A root's
  // label is the label its members read as; `count` is the number of recorded slots in its
  // tree.
  struct ClassEntry {
    std::uint32_t parent;
    std::uint32_t label;
    std::uint32_t count;
  };

  // A label's word: its flag + 1 (0: no entry) in the top two bits, its live class (a root) in
  // the rest, kNoClass when no recorded list carries it. A fold reads and writes both at once.
  static constexpr unsigned kFlagShift = 30;
  static constexpr std::uint32_t kClassMask = (std::uint32_t{1} << kFlagShift) - 1;
  static constexpr std::uint32_t kNoClass = kClassMask;
  std::uint32_t label_class(std::size_t label) const { return labels_[label].word & kClassMask; }
  void set_label_class(std::size_t label, std::uint32_t cls) {
    std::uint32_t& word = labels_[label].word;
    word = (word & ~kClassMask) | cls;
  }

  // The root of `cls`'s tree; the path to it is halved on the way, so that chains stay short. A
  // class whose parent is the root is left as it is: the first read of a table of classes
  // folded once each (a layer's parameter slices) writes none of them back.
  std::uint32_t root_of(std::uint32_t cls) const {
    while (classes_[cls].parent != cls) {
      const std::uint32_t parent = classes_[cls].parent;
      const std::uint32_t grandparent = classes_[parent].parent;
      if (grandparent != parent)
        classes_[cls].parent = grandparent;
      cls = grandparent;
    }
    return cls;
  }
  // The root of a recorded slot's class, written back to the slot when it moved, so that the
  // next read takes one step.
  std::uint32_t shorten(std::uint32_t& slot) const {
    const std::uint32_t root = root_of(slot);
    if (root != slot)
      slot = root;
    return root;
  }
  // `count` as a 32-bit index; raises `LookupError` when one state could not hold that many.
  static std::uint32_t checked_count(std::size_t count, const char* what);
  // Every label of the list, written to `out`.
  void read_all(std::uint32_t list, Label* out) const;
  // The live class of a label within the table that has none of its own: the class it was
  // folded into when retired labels resolve, else a new empty one.
  std::uint32_t new_class(std::size_t label);
  // A new empty class for `label`, whose number is below `kNoClass`.
  std::uint32_t append_class(std::size_t label) {
    const auto cls = static_cast<std::uint32_t>(classes_.size());
    classes_.push_back({cls, static_cast<std::uint32_t>(label), 0});
    set_label_class(label, cls);
    return cls;
  }
  void reserve_label(Label label);
  // Room in `retired_class_` for every label.
  [[gnu::noinline]] void grow_retired();
  // Entries for every label up to `label`, made without a flag or a class.
  [[gnu::noinline]] void grow_labels(std::size_t label);
  void hold(std::uint32_t list);
  void release(std::uint32_t list);
  const NodeRecord* record(const ZavoNode& node) const {
    const auto id = static_cast<std::size_t>(node.id);
    if (node.id < 0 || id >= records_.size() || records_[id].node != &node)
      return nullptr;
    return &records_[id];
  }
  DimensionLabels entry(std::uint32_t list) const {
    return list == kNone ? DimensionLabels() : DimensionLabels(const_cast<LabelStore*>(this), list);
  }

  mutable std::vector<std::uint32_t> slots_;
  std::vector<ListInfo> lists_;
  mutable std::vector<ClassEntry> classes_;  // reads shorten paths in place
  std::vector<LabelEntry> labels_;           // per label, see `label_class`
  // label -> the class it was folded into, kNone when it was not; kept when `resolve_retired`.
  std::vector<std::uint32_t> retired_class_;
  // Per node id: what it recorded; its lists are `node_lists_[first, first + count)`.
  std::vector<NodeRecord> records_;
  std::vector<std::uint32_t> node_lists_;  // list ids, kNone for a dimension without labels
  std::size_t recorded_slots_ = 0;
  std::size_t unmade_slots_ = 0;  // positions of lists counted but not made
  std::uint32_t records_made_ = 0;
  std::uint32_t last_replacement_ = 0;  // the serial of the last record that replaced another
  std::uint64_t folds_ = 0;
  std::uint64_t lowest_folded_ = kMaxLabels;
  PruneGraphParserState::FoldScratch fold_scratch_;
  PruneGraphParserState::JoinedInputs joined_inputs_;
};

inline std::size_t DimensionLabels::size() const {
  return store_->list_size(id_);
}
inline Label DimensionLabels::operator[](std::size_t index) const {
  return store_->read(id_, index);
}

inline LabelMarks PruneGraphParserState::label_marks(Label last) {
  return store_->marks(std::max(last, next_label - 1));
}

inline bool PruneGraphParserState::label_has_nodes(Label label) const {
  const LabelStore& store = *store_;
  return label >= 0 && static_cast<std::size_t>(label) < store.labels_.size() &&
         store.label_class(static_cast<std::size_t>(label)) != LabelStore::kNoClass;
}

template <typename Visit>
void PruneGraphParserState::for_each_prunable_entry(Visit&& visit) const {
  const LabelStore& store = *store_;
  for (std::size_t label = 0; label < store.label_count(); ++label) {
    const int flag = store.flag(label);
    if (flag >= 0)
      visit(static_cast<Label>(label), flag == 1);
  }
}

}  // namespace zavo::pruning::engine::utils
