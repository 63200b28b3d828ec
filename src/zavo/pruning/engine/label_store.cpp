#include "zavo/pruning/engine/label_store.hpp"

#include <algorithm>
#include <utility>

#include "zavo/platform/memory_limits.hpp"

namespace zavo::pruning::engine::utils {
namespace {

constexpr std::uint32_t kNone = LabelStore::kNone;

std::uint32_t checked_label(Label label) {
  if (label < 0 || label >= kMaxLabels)
    throw LookupError("label " + std::to_string(label) + " is out of range");
  return static_cast<std::uint32_t>(label);
}

}  // namespace

// --- DimensionLabels ---------------------------------------------------------------------------

Label DimensionLabels::at(std::size_t index) const {
  if (index >= size()) {
    throw LookupError("index " + std::to_string(index) + " is out of range for a list of " +
                      std::to_string(size()) + " labels");
  }
  return (*this)[index];
}

LabelList DimensionLabels::to_vector() const {
  LabelList out;
  out.reserve(size());
  append_to(out);
  return out;
}

void DimensionLabels::append_to(LabelList& out) const {
  store_->append(id_, out);
}

std::string labels_text(const DimensionLabels& labels) {
  if (!labels)
    return "None";
  std::string out = "[";
  for (std::size_t i = 0; i < labels->size(); ++i) {
    if (i)
      out += ", ";
    out += std::to_string((*labels)[i]);
  }
  return out + "]";
}

std::string labels_text(const TensorLabels& labels) {
  std::string out = "[";
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (i)
      out += ", ";
    out += labels_text(labels[i]);
  }
  return out + "]";
}

std::int64_t label_position_budget_for(std::uint64_t memory) {
  return static_cast<std::int64_t>(
      std::min(memory / 2 / static_cast<std::uint64_t>(kBytesPerPosition),
               static_cast<std::uint64_t>(kMaxLabels)));
}

std::int64_t default_label_position_budget() {
  const std::optional<std::uint64_t> memory = platform::process_memory_limits().smallest();
  return memory ? label_position_budget_for(*memory) : kMaxLabels;
}

// --- LabelStore ------------------------------------------------------------------------------

std::uint32_t LabelStore::checked_count(std::size_t count, const char* what) {
  if (count >= static_cast<std::size_t>(kMaxLabels))
    throw LookupError(std::string("too many ") + what + " for one pruning state");
  return static_cast<std::uint32_t>(count);
}

void LabelStore::check_budget(std::int64_t budget, std::size_t more) const {
  const std::int64_t limit = std::min(budget, kMaxLabels);
  if (more > static_cast<std::size_t>(limit) ||
      slots_.size() + unmade_slots_ > static_cast<std::size_t>(limit) - more) {
    throw LabelBudgetError(limit, static_cast<std::int64_t>(std::min<std::size_t>(
                                      more, std::numeric_limits<std::int64_t>::max())));
  }
}

void LabelStore::count_unmade_list(std::int64_t budget, std::size_t size) {
  check_budget(budget, size);
  unmade_slots_ += size;
}

DimensionLabels LabelStore::make_list(std::span<const Label> labels) {
  const auto id = checked_count(lists_.size(), "label lists");
  const auto begin = checked_count(slots_.size() + labels.size(), "label positions") -
                     static_cast<std::uint32_t>(labels.size());
  for (Label label : labels) {
    if (label < 0 || label >= kMaxLabels)
      checked_label(label);  // raises
  }
  slots_.resize(slots_.size() + labels.size());
  std::uint32_t* slot = slots_.data() + begin;
  for (Label label : labels)
    *slot++ = static_cast<std::uint32_t>(label);
  lists_.push_back(ListInfo{begin, static_cast<std::uint32_t>(labels.size()), 0});
  return {this, id};
}

void LabelStore::read_all(std::uint32_t list, Label* out) const {
  const ListInfo& info = lists_[list];
  std::uint32_t* slot = slots_.data() + info.begin;
  std::uint32_t* const end = slot + info.size;
  if (info.records == 0) {
    for (; slot != end; ++slot)
      *out++ = resolve_retired ? current(*slot) : *slot;
    return;
  }
  for (; slot != end; ++slot)
    *out++ = classes_[shorten(*slot)].label;
}

void LabelStore::reserve_label(Label label) {
  const std::size_t needed = static_cast<std::size_t>(checked_label(label)) + 1;
  if (labels_.size() < needed)
    labels_.resize(needed, LabelEntry{kNoClass, 0});
}

void LabelStore::grow_labels(std::size_t label) {
  reserve_label(static_cast<Label>(std::min<std::size_t>(label, kMaxLabels)));
}

std::uint32_t LabelStore::new_class(std::size_t label) {
  if (label < retired_class_.size() && retired_class_[label] != kNone)
    return root_of(retired_class_[label]);
  // Class numbers share a label's word with its flag, so they stay below `kNoClass`.
  if (classes_.size() >= kNoClass)
    throw LookupError("too many label classes for one pruning state");
  return append_class(label);
}

void LabelStore::hold(std::uint32_t list) {
  ListInfo& info = lists_[list];
  if (info.records++ != 0)
    return;
  std::uint32_t* const first = slots_.data() + info.begin;
  std::uint32_t* const last = first + info.size;
  if (first == last)
    return;
  reserve_label(*std::max_element(first, last));
  // The class limit is checked once for the list: it holds for every class the list can make.
  const bool below_limit = classes_.size() + info.size < kNoClass;
  constexpr std::ptrdiff_t kWordsAhead = 16;
  constexpr std::ptrdiff_t kClassesAhead = 8;
  for (std::uint32_t* slot = first; slot != last; ++slot) {
    if (last - slot > kWordsAhead)
      prefetch_label(slot[kWordsAhead]);
    if (last - slot > kClassesAhead)
      prefetch_label_class(slot[kClassesAhead]);
    std::uint32_t cls = label_class(*slot);
    if (cls == kNoClass) {
      // Most labels a list brings are new ones that were never folded: their class is made
      // here, and only a retired label or a state near its class limit takes the call.
      const std::uint32_t label = *slot;
      const bool retired = label < retired_class_.size() && retired_class_[label] != kNone;
      if (!retired && below_limit)
        cls = append_class(label);
      else
        cls = new_class(label);
    }
    ++classes_[cls].count;
    *slot = cls;
  }
  recorded_slots_ += info.size;
}

void LabelStore::release(std::uint32_t list) {
  ListInfo& info = lists_[list];
  if (--info.records != 0)
    return;
  // No node holds the list any more: it keeps the labels it reads now and merges pass it by.
  for (std::uint32_t i = info.begin; i < info.begin + info.size; ++i) {
    ClassEntry& root = classes_[root_of(slots_[i])];
    if (--root.count == 0)
      set_label_class(root.label, kNoClass);
    slots_[i] = root.label;
  }
  recorded_slots_ -= info.size;
}

// --- PruneGraphParserState ---------------------------------------------------------------------

PruneGraphParserState::PruneGraphParserState() : store_(std::make_unique<LabelStore>()) {}
PruneGraphParserState::~PruneGraphParserState() = default;
PruneGraphParserState::PruneGraphParserState(PruneGraphParserState&&) noexcept = default;
PruneGraphParserState& PruneGraphParserState::operator=(PruneGraphParserState&&) noexcept = default;

std::optional<bool> PruneGraphParserState::prunable_flag(Label label) const {
  if (label < 0)
    return std::nullopt;
  const int flag = store_->flag(static_cast<std::size_t>(label));
  if (flag < 0)
    return std::nullopt;
  return flag == 1;
}

void PruneGraphParserState::set_prunable_flag(Label label, bool prunable) {
  store_->reserve_label(label);
  store_->set_flag(static_cast<std::size_t>(label), prunable ? 1 : 0);
}

std::size_t PruneGraphParserState::prunable_entries() const {
  std::size_t entries = 0;
  for (std::size_t label = 0; label < store_->label_count(); ++label)
    entries += store_->flag(label) >= 0 ? 1u : 0u;
  return entries;
}

std::vector<const ZavoNode*> PruneGraphParserState::label_nodes(Label label) const {
  std::vector<const ZavoNode*> nodes;
  for (const auto& record : store_->records_) {
    if (record.node && !label_positions(*record.node, label).empty())
      nodes.push_back(record.node);
  }
  return nodes;
}

PositionSet PruneGraphParserState::label_positions(const ZavoNode& node, Label label) const {
  PositionSet positions;
  const LabelStore& store = *store_;
  const auto* record = store.record(node);
  if (!record)
    return positions;
  for (std::uint32_t d = 0; d < record->count; ++d) {
    DimensionLabels list = store.entry(store.node_lists_[record->first + d]);
    if (!list)
      continue;
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (list[i] == label)
        positions.push_back({static_cast<std::int64_t>(d), static_cast<std::int64_t>(i)});
    }
  }
  return positions;
}

std::size_t PruneGraphParserState::recorded_positions() const {
  return store_->recorded_slots_;
}

void PruneGraphParserState::fold_label(Label base, Label folded) {
  LabelStore& store = *store_;
  // Counted before anything can raise: a fold that fails halfway has still moved labels.
  ++store.folds_;
  // Both words and both classes are read once and written once: a fold is the inner step of
  // every tie. A negative label reads as one past the table.
  const auto base_index = static_cast<std::uint64_t>(base);
  const auto folded_index = static_cast<std::uint64_t>(folded);
  store.lowest_folded_ = std::min(store.lowest_folded_, folded_index);
  const std::size_t n_labels = store.labels_.size();
  LabelEntry* entries = store.labels_.data();
  if (folded_index >= n_labels ||
      (entries[folded_index].word & LabelStore::kClassMask) == LabelStore::kNoClass)
    fail_without_nodes(folded);
  if (base_index >= n_labels ||
      (entries[base_index].word & LabelStore::kClassMask) == LabelStore::kNoClass)
    fold_into_label_without_nodes(base, folded);
  LabelStore::ClassEntry* const classes = store.classes_.data();
  const std::uint32_t base_word = entries[base_index].word;
  const std::uint32_t folded_word = entries[folded_index].word;
  const std::uint32_t folded_class = folded_word & LabelStore::kClassMask;
  std::uint32_t root = base_word & LabelStore::kClassMask;
  std::uint32_t child = folded_class;
  // The larger tree stays the root, so a class that keeps growing is never walked again.
  if (classes[root].count < classes[child].count)
    std::swap(root, child);
  classes[child].parent = root;
  classes[root].count += classes[child].count;
  classes[root].label = static_cast<std::uint32_t>(base);
  entries[base_index].word = (base_word & ~LabelStore::kClassMask) | root;
  entries[folded_index].word = (folded_word & ~LabelStore::kClassMask) | LabelStore::kNoClass;
  if (store.resolve_retired) {
    if (store.retired_class_.size() <= folded_index)
      store.grow_retired();
    store.retired_class_[folded_index] = folded_class;
  }

  if (observer)
    observer->labels_merged(base, folded);
  // The flags, each stored + 1 (0: no entry).
  const std::uint32_t base_flag = base_word >> LabelStore::kFlagShift;
  if (base_flag == 0)
    fail_without_flag(base);
  const std::uint32_t folded_flag = folded_word >> LabelStore::kFlagShift;
  if (folded_flag == 0)
    fail_without_flag(folded);
  entries = store.labels_.data();
  if (base_flag == 2) {
    entries[base_index].word =
        (entries[base_index].word & LabelStore::kClassMask) | folded_flag << LabelStore::kFlagShift;
  }
  entries[folded_index].word &= LabelStore::kClassMask;
}

void LabelStore::grow_retired() {
  retired_class_.resize(labels_.size(), kNone);
}

// The failures of a fold live apart from it, so that its common path keeps its values in
// registers.
void PruneGraphParserState::fail_without_nodes(Label label) {
  throw LookupError("label " + std::to_string(label) + " has no entry in nodes_by_channel_labels");
}

void PruneGraphParserState::fail_without_flag(Label label) {
  throw LookupError("label " + std::to_string(label) + " has no entry in is_prunable");
}

void PruneGraphParserState::fold_into_label_without_nodes(Label base, Label folded) {
  LabelStore& store = *store_;
  const auto folded_index = static_cast<std::size_t>(folded);
  const std::uint32_t folded_class = store.label_class(folded_index);
  // The folded label's positions already read `base`; its flags stay as they were.
  store.reserve_label(base);
  store.classes_[folded_class].label = static_cast<std::uint32_t>(base);
  store.set_label_class(static_cast<std::size_t>(base), folded_class);
  store.set_label_class(folded_index, LabelStore::kNoClass);
  fail_without_nodes(base);
}

std::uint64_t PruneGraphParserState::folds() const {
  return store_->folds_;
}

void PruneGraphParserState::reserve(std::size_t labels) {
  LabelStore& store = *store_;
  store.labels_.reserve(labels);
  store.classes_.reserve(labels);
  store.slots_.reserve(labels);
  if (store.resolve_retired)
    store.retired_class_.reserve(labels);
}

void PruneGraphParserState::reserve_ahead(std::size_t nodes, std::size_t labels) {
  LabelStore& store = *store_;
  // Positions beyond the budget would be refused: no room is taken for them.
  const auto limit = static_cast<double>(std::min(label_position_budget, kMaxLabels));
  auto grow = [limit](auto& table, std::size_t made, std::size_t total) {
    if (made == 0 || total <= made)
      return;
    const double per_item = static_cast<double>(table.size()) / static_cast<double>(made);
    const double room = std::min(per_item * static_cast<double>(total) * 1.125, limit);
    table.reserve(static_cast<std::size_t>(room));
  };
  const auto labels_made = static_cast<std::size_t>(std::max<Label>(next_label, 0));
  store.labels_.reserve(labels);
  store.classes_.reserve(labels);
  if (store.resolve_retired)
    store.retired_class_.reserve(labels);
  grow(store.slots_, labels_made, labels);
  store.records_.reserve(nodes);
  grow(store.node_lists_, store.records_made_, nodes);
  grow(store.lists_, store.records_made_, nodes);
}

void PruneGraphParserState::reset() {
  LabelStore& store = *store_;
  next_label = 0;
  observer = nullptr;
  label_position_budget = kMaxLabels;
  store.resolve_retired = false;
  store.slots_.clear();
  store.lists_.clear();
  store.classes_.clear();
  store.labels_.clear();
  store.retired_class_.clear();
  store.records_.clear();
  store.node_lists_.clear();
  store.recorded_slots_ = 0;
  store.unmade_slots_ = 0;
  store.records_made_ = 0;
  store.last_replacement_ = 0;
  store.folds_ = 0;
  store.lowest_folded_ = kMaxLabels;
  store.joined_inputs_.node = nullptr;
  store.joined_inputs_.inputs.clear();
  store.joined_inputs_.labels.clear();
}

std::size_t PruneGraphParserState::capacity_bytes() const {
  const LabelStore& store = *store_;
  auto bytes = [](const auto& table) { return table.capacity() * sizeof(table[0]); };
  return bytes(store.slots_) + bytes(store.lists_) + bytes(store.classes_) + bytes(store.labels_) +
         bytes(store.retired_class_) + bytes(store.records_) + bytes(store.node_lists_);
}

PruneGraphParserState::FoldScratch& PruneGraphParserState::fold_scratch() {
  return store_->fold_scratch_;
}

PruneGraphParserState::JoinedInputs& PruneGraphParserState::joined_inputs() {
  return store_->joined_inputs_;
}

Label PruneGraphParserState::lowest_folded() const {
  return static_cast<Label>(store_->lowest_folded_);
}

void PruneGraphParserState::restart_lowest_folded() {
  store_->lowest_folded_ = kMaxLabels;
}

// --- self-check ------------------------------------------------------------------------------

std::size_t PruneGraphParserState::check_invariants() const {
  const LabelStore& s = *store_;
  auto fail = [](const std::string& rule) {
    throw StateInvariantError("state invariant: " + rule);
  };
  auto num = [](auto n) { return std::to_string(n); };
  const std::size_t n_labels = s.labels_.size();
  const std::size_t n_classes = s.classes_.size();
  const std::size_t n_lists = s.lists_.size();
  if (next_label < 0 || n_labels > static_cast<std::size_t>(next_label))
    fail("label " + num(n_labels - 1) + " has an entry but the counter is at " + num(next_label) +
         ": a fresh label would repeat it");
  for (std::size_t i = 0; i < n_lists; ++i) {
    if (std::size_t{s.lists_[i].begin} + s.lists_[i].size > s.slots_.size())
      fail("list " + num(i) + " ends past the arena");
  }
  for (std::size_t label = 0; label < n_labels; ++label) {
    if (s.labels_[label].mark != 0)
      fail("label " + num(label) + " keeps a mark after the call that set it");
  }

  // Node entries: each record under its node's id, its entries its own, each list held by as
  // many entries as it counts. The first holder of a list names it in the messages below.
  struct Holder {
    std::size_t node = 0;
    std::uint32_t dim = kNone;
  };
  std::vector<Holder> holder(n_lists);
  std::vector<std::uint32_t> holds(n_lists, 0);
  std::vector<std::uint8_t> entry_owned(s.node_lists_.size(), 0);
  for (std::size_t id = 0; id < s.records_.size(); ++id) {
    const LabelStore::NodeRecord& record = s.records_[id];
    if (!record.node)
      continue;
    const std::string& name = record.node->name;
    if (record.node->id != static_cast<std::int64_t>(id))
      fail("the record at id " + num(id) + " is node " + name + " with id " + num(record.node->id));
    if (std::size_t{record.first} + record.count > s.node_lists_.size())
      fail("node " + name + ": its entries end past the entry table");
    for (std::uint32_t d = 0; d < record.count; ++d) {
      if (entry_owned[record.first + d]++)
        fail("node " + name + " shares its entries with another node");
      const std::uint32_t list = s.node_lists_[record.first + d];
      if (list == kNone)
        continue;
      if (list >= n_lists)
        fail("node " + name + " dim " + num(d) + ": no list " + num(list));
      if (holds[list]++ == 0)
        holder[list] = {id, d};
    }
  }
  std::size_t recorded = 0;
  for (std::size_t i = 0; i < n_lists; ++i) {
    if (holds[i] != s.lists_[i].records)
      fail("list " + num(i) + " is held by " + num(holds[i]) + " node entries but counts " +
           num(s.lists_[i].records));
    if (holds[i])
      recorded += s.lists_[i].size;
  }
  if (recorded != s.recorded_slots_)
    fail(num(recorded) + " positions are recorded but the state counts " + num(s.recorded_slots_));

  // The forest: every class's root, found without trusting it to be acyclic.
  constexpr std::uint32_t kUnset = kNone;
  constexpr std::uint32_t kOnPath = kNone - 1;
  std::vector<std::uint32_t> root(n_classes, kUnset);
  std::vector<std::uint32_t> path;
  for (std::uint32_t c = 0; c < n_classes; ++c) {
    std::uint32_t x = c;
    while (root[x] == kUnset && s.classes_[x].parent != x) {
      root[x] = kOnPath;
      path.push_back(x);
      x = s.classes_[x].parent;
      if (x >= n_classes)
        fail("class " + num(path.back()) + " has parent " + num(x) + ", not a class");
      if (root[x] == kOnPath)
        fail("class " + num(x) + " is its own ancestor");
    }
    const std::uint32_t r = s.classes_[x].parent == x ? x : root[x];
    root[x] = r;
    for (std::uint32_t p : path)
      root[p] = r;
    path.clear();
  }

  // Recorded positions, tallied per root class.
  auto list_at = [&](std::size_t list) {
    const Holder& h = holder[list];
    return "node " + s.records_[h.node].node->name + " dim " + num(h.dim);
  };
  std::vector<std::uint32_t> tally(n_classes, 0);
  std::vector<std::uint32_t> sample(n_classes, kNone);  // a list reading each class, for messages
  for (std::size_t i = 0; i < n_lists; ++i) {
    const LabelStore::ListInfo& info = s.lists_[i];
    for (std::uint32_t k = 0; k < info.size; ++k) {
      const std::uint32_t slot = s.slots_[info.begin + k];
      if (info.records == 0) {
        if (slot >= static_cast<std::size_t>(next_label))
          fail("list " + num(i) + " (held by no node) holds label " + num(slot) +
               ", at or past the counter " + num(next_label));
        continue;
      }
      if (slot >= n_classes)
        fail(list_at(i) + " index " + num(k) + " holds class " + num(slot) + ", not a class");
      if (tally[root[slot]]++ == 0)
        sample[root[slot]] = static_cast<std::uint32_t>(i);
    }
  }

  // Live classes and labels: one to one, each class counting its recorded positions.
  std::size_t retired = 0;
  for (std::uint32_t c = 0; c < n_classes; ++c) {
    if (root[c] != c)
      continue;
    if (s.classes_[c].count != tally[c])
      fail("the class of label " + num(s.classes_[c].label) + " counts " +
           num(s.classes_[c].count) + " recorded positions, but " + num(tally[c]) + " read it");
    if (tally[c] == 0)
      continue;
    const std::uint32_t label = s.classes_[c].label;
    auto at = [&] { return "label " + num(label) + " (read at " + list_at(sample[c]) + ")"; };
    if (label >= n_labels)
      fail(at() + " has no per-label entry");
    if (s.label_class(label) != c)
      fail(at() + " is read through class " + num(c) + " but indexed under class " +
           num(s.label_class(label)));
    if (s.flag(label) < 0)
      retired += tally[c];
  }
  for (std::size_t label = 0; label < n_labels; ++label) {
    const std::uint32_t c = s.label_class(label);
    if (c == LabelStore::kNoClass)
      continue;
    if (c >= n_classes || root[c] != c || tally[c] == 0)
      fail("label " + num(label) +
           " is indexed as carried by nodes but no recorded position reads it");
    if (s.classes_[c].label != label)
      fail("labels " + num(label) + " and " + num(s.classes_[c].label) +
           " are indexed under one class");
  }

  // A node recorded as holding its inputs' labels carries every prunable label of each input
  // whose record is older than its own; one recorded as keeping them carries each such label,
  // or two of its inputs do, one of them a parameter.
  std::vector<std::uint32_t> held_in(n_labels, 0);
  struct Carried {
    std::uint32_t round = 0;
    std::uint32_t first = 0;  // the first input that carries the label
    bool parameter = false;   // a parameter among its carriers
    bool tied = false;        // carried by two inputs, one of them a parameter
  };
  const bool any_keeper = std::ranges::any_of(
      s.records_, [](const auto& record) { return record.keeps_inputs && !record.holds_inputs; });
  std::vector<Carried> carried(any_keeper ? n_labels : 0);
  std::uint32_t round = 0;
  std::vector<const LabelStore::NodeRecord*> older;
  auto each_label = [&s](const LabelStore::NodeRecord& record, auto&& visit) {
    for (std::uint32_t d = 0; d < record.count; ++d) {
      const std::uint32_t list = s.node_lists_[record.first + d];
      if (list != kNone)
        s.for_each(list, visit);
    }
  };
  for (const LabelStore::NodeRecord& record : s.records_) {
    if (!record.node || !(record.holds_inputs || record.keeps_inputs))
      continue;
    const auto* call = record.node->as_op_node();
    if (!call)
      fail("node " + record.node->name + " holds its inputs' labels but has no inputs");
    ++round;
    each_label(record, [&](Label label) { held_in[static_cast<std::size_t>(label)] = round; });
    const std::vector<const ZavoNode*> inputs = call->distinct_input_nodes();
    older.assign(inputs.size(), nullptr);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      const LabelStore::NodeRecord* input = s.record(*inputs[i]);
      if (input && input->serial < record.serial)
        older[i] = input;
    }
    const bool ties_count = !record.holds_inputs;
    for (std::uint32_t i = 0; ties_count && i < inputs.size(); ++i) {
      if (!older[i])
        continue;
      const bool parameter = inputs[i]->kind == tensor_trace::NodeKind::Parameter;
      each_label(*older[i], [&](Label label) {
        Carried& c = carried[static_cast<std::size_t>(label)];
        if (c.round != round) {
          c = {round, i, parameter, false};
        } else if (c.first != i) {
          c.parameter = c.parameter || parameter;
          c.tied = c.tied || c.parameter;
        }
      });
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      if (!older[i])
        continue;
      each_label(*older[i], [&](Label label) {
        const auto index = static_cast<std::size_t>(label);
        if (s.flag(index) != 1 || held_in[index] == round)
          return;
        if (ties_count && carried[index].round == round && carried[index].tied)
          return;
        fail("node " + record.node->name + " is recorded as " +
             (ties_count ? "keeping" : "holding") + " its inputs' labels but lacks label " +
             num(label) + " of " + inputs[i]->name);
      });
    }
  }
  return retired;
}

}  // namespace zavo::pruning::engine::utils
