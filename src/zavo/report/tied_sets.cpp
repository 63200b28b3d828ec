#include "zavo/report/tied_sets.hpp"

#include <algorithm>
#include <bit>

#include "zavo/platform/zeroed_array.hpp"
#include "zavo/report/json_writer.hpp"

namespace zavo::graph {
namespace {

// Union-find over members; the root of a set is its first member.
class DisjointSets {
 public:
  std::uint32_t add() {
    parent_.push_back(static_cast<std::uint32_t>(parent_.size()));
    return parent_.back();
  }
  std::uint32_t find(std::uint32_t k) {
    while (parent_[k] != k) {
      parent_[k] = parent_[parent_[k]];
      k = parent_[k];
    }
    return k;
  }
  void unite(std::uint32_t a, std::uint32_t b) {
    a = find(a);
    b = find(b);
    if (a != b)
      parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<std::uint32_t> parent_;
};

// The numbers of the labels parameters carry, by label. Where those labels are a fair share of
// every label of the parse, a table indexed by label; where they are few and far apart (a parse
// that made a thousand labels for each one a parameter carries), open addressing over twice as
// many slots as labels held, which stays in cache where the table by label would take a page for
// nearly every label read.
class DenseNumbers {
 public:
  static constexpr std::uint32_t kNone = 0xffffffffu;

  DenseNumbers(std::size_t expected, std::size_t labels)
      : hashed_(labels / 64 > expected),
        direct_(platform::zeroed_array<std::uint32_t>(hashed_ ? 0 : labels)) {
    if (hashed_)
      rehash(std::bit_ceil(std::max<std::size_t>(16, 2 * expected)));
  }

  // The number of `label`, or kNone.
  std::uint32_t find(Label label) const {
    if (!hashed_)
      return direct_[static_cast<std::size_t>(label)] - 1;  // 0 (none) wraps to kNone
    for (std::size_t i = slot_of(label);; i = (i + 1) & mask_) {
      if (keys_[i] == kEmpty)
        return kNone;
      if (keys_[i] == label)
        return values_[i];
    }
  }
  // Gives `label`, which has no number yet, the number `number`.
  void add(Label label, std::uint32_t number) {
    if (!hashed_) {
      direct_[static_cast<std::size_t>(label)] = number + 1;
      return;
    }
    if (2 * (size_ + 1) > keys_.size())
      rehash(2 * keys_.size());
    place(label, number);
    ++size_;
  }

 private:
  static constexpr Label kEmpty = -1;

  std::size_t slot_of(Label label) const {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(label) * 0x9E3779B97F4A7C15u) >>
                                    shift_) &
           mask_;
  }
  void place(Label label, std::uint32_t number) {
    std::size_t i = slot_of(label);
    while (keys_[i] != kEmpty)
      i = (i + 1) & mask_;
    keys_[i] = label;
    values_[i] = number;
  }
  void rehash(std::size_t slots) {
    std::vector<Label> keys(slots, kEmpty);
    std::vector<std::uint32_t> values(slots, kNone);
    keys.swap(keys_);
    values.swap(values_);
    mask_ = slots - 1;
    shift_ = 64 - std::countr_zero(slots);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] != kEmpty)
        place(keys[i], values[i]);
    }
  }

  bool hashed_;
  platform::ZeroedArray<std::uint32_t> direct_;  // number + 1, or 0
  std::vector<Label> keys_;
  std::vector<std::uint32_t> values_;
  std::size_t mask_ = 0;
  int shift_ = 64;
  std::size_t size_ = 0;
};

}  // namespace

TiedSets tied_set_members(const Report& report) {
  const std::size_t labels = report.prunable.size();  // every label of the parse
  const std::vector<LabelledDimension>& members = report.parameter_labels().dims;
  const std::vector<std::uint32_t>& values = report.parameter_labels().labels;
  TiedSets tied;
  tied.of_parameter.resize(report.parameters.size());
  tied.quoted_names.resize(report.parameters.size());
  for (std::size_t p = 0; p < report.parameters.size(); ++p)
    tied.of_parameter[p].assign(report.parameters[p].dims.size(), -1);
  for (const LabelledDimension& member : members) {
    if (tied.quoted_names[member.parameter].empty())
      tied.quoted_names[member.parameter] =
          json_text(report.parameters[member.parameter].parameter->name);
  }

  // The classes carried by parameters are few beside the labels of a large parse: each gets a
  // dense number when first met. The bitmap by label is a zeroed one, touched only at the
  // classes' labels.
  DenseNumbers dense_of_label(static_cast<std::size_t>(report.summary.channel_classes), labels);
  const platform::ZeroedArray<std::uint64_t> met =  // bitmap of the classes' labels
      platform::zeroed_array<std::uint64_t>(labels / 64 + 1);
  std::vector<Label> label_of_class;
  std::vector<std::uint32_t> first_member;  // by dense number
  // The class after each class where a member met it last, by dense number.
  std::vector<std::uint32_t> after;
  // The dense number of the label at `position`, after the one at `position - 1` had `last`.
  // Labels mostly come in runs that were numbered together, or in the order an earlier member
  // met them (a concatenation's labels again in the next one): the number after the last one,
  // and the class that followed the last one before, are tried first, which spares a search of
  // the table by label.
  auto dense_at = [&](std::size_t position, std::size_t begin, std::uint32_t last) {
    const Label label = values[position];
    if (position > begin) {
      const std::uint32_t next = label == Label{values[position - 1]} + 1 ? last + 1 : after[last];
      if (next < label_of_class.size() && label_of_class[next] == label) {
        after[last] = next;
        return next;
      }
    }
    const std::uint32_t found = dense_of_label.find(label);
    if (position > begin && found != DenseNumbers::kNone)
      after[last] = found;
    return found;
  };
  // A class met first: numbered, out of the loop below, which stays small enough to be inlined.
  auto add_class = [&](Label label, std::uint32_t k) __attribute__((noinline)) {
    const auto l = static_cast<std::size_t>(label);
    label_of_class.push_back(label);
    first_member.push_back(k);
    met[l / 64] |= std::uint64_t{1} << (l % 64);
    after.push_back(DenseNumbers::kNone);
    const auto dense = static_cast<std::uint32_t>(label_of_class.size() - 1);
    dense_of_label.add(label, dense);
    return dense;
  };
  // Every labelled dimension of a parameter is a member; members that share a label are joined,
  // once per run of labels that one member met first.
  DisjointSets joined;
  for (std::uint32_t k = 0; k < members.size(); ++k) {
    joined.add();
    std::uint32_t joined_last = k;
    std::uint32_t last = DenseNumbers::kNone;
    for (std::size_t i = members[k].begin; i < members[k].end; ++i) {
      std::uint32_t dense = dense_at(i, members[k].begin, last);
      if (dense == DenseNumbers::kNone) [[unlikely]] {
        dense = add_class(values[i], k);
        if (i > members[k].begin)
          after[last] = dense;
      }
      if (first_member[dense] != joined_last) {
        joined_last = first_member[dense];
        joined.unite(joined_last, k);
      }
      last = dense;
    }
  }

  // Sets numbered by their first member, which is the root of its set.
  std::vector<std::uint32_t> set_of_member(members.size());
  for (std::uint32_t k = 0; k < members.size(); ++k) {
    const std::uint32_t root = joined.find(k);
    if (root == k) {
      set_of_member[k] = static_cast<std::uint32_t>(tied.sets.size());
      tied.sets.emplace_back();
    } else {
      set_of_member[k] = set_of_member[root];
    }
    const LabelledDimension& member = members[k];
    auto& dims = tied.of_parameter[member.parameter];
    if (static_cast<std::size_t>(member.dim) < dims.size())
      dims[static_cast<std::size_t>(member.dim)] = set_of_member[k];
  }

  // Classes numbered per set in the order the members meet them; each member's indices mapped.
  constexpr std::uint32_t kUnnumbered = 0xffffffffu;
  std::vector<std::uint32_t> index_in_set(label_of_class.size(), kUnnumbered);  // by dense number
  RunBuilder indices;
  for (std::uint32_t k = 0; k < members.size(); ++k) {
    const LabelledDimension& member = members[k];
    TiedSet& set = tied.sets[set_of_member[k]];
    std::uint32_t dense = DenseNumbers::kNone;
    for (std::size_t i = member.begin; i < member.end; ++i) {
      dense = dense_at(i, member.begin, dense);
      std::uint32_t& index = index_in_set[dense];
      if (index == kUnnumbered) {
        index = static_cast<std::uint32_t>(set.classes++);
        set.prunable += report.prunable[static_cast<std::size_t>(label_of_class[dense])];
      }
      indices.push(index);
    }
    set.members.push_back({member.parameter, member.dim, indices.finish()});
  }

  // The classes in label order, each with its set and its index there.
  tied.set_of_label = TiedSets::LabelSets(labels);
  tied.by_label.reserve(label_of_class.size());
  for (std::size_t word = 0; word <= labels / 64; ++word) {
    for (std::uint64_t bits = met[word]; bits != 0; bits &= bits - 1) {
      const std::size_t l = word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
      const std::uint32_t dense = dense_of_label.find(static_cast<Label>(l));
      const std::uint32_t s = set_of_member[first_member[dense]];
      tied.set_of_label.set(l, s);
      tied.by_label.push_back({static_cast<Label>(l), s, index_in_set[dense]});
    }
  }
  return tied;
}

void add_class_runs(TiedSets& tied, const Report& report) {
  // The kept classes are the report's kept classes, also in label order.
  const KeptReasons& reasons = kept_reasons(report);
  std::size_t kept = 0;
  std::size_t next_hit = 0;
  tied.classes.clear();
  for (const TiedSets::LabelledClass& c : tied.by_label) {
    const Label label = c.label;
    const bool prunable = report.prunable[static_cast<std::size_t>(label)] != 0;
    std::optional<std::size_t> reason;
    std::optional<Label> hit;
    if (!prunable) {
      while (kept < report.kept_classes.size() && report.kept_classes[kept] < label)
        ++kept;
      if (kept < report.kept_classes.size() && report.kept_classes[kept] == label &&
          reasons.of_class[kept] != KeptReasons::kNotRecorded) {
        reason = reasons.of_class[kept];
        while (next_hit < reasons.hits.size() && reasons.hits[next_hit].first < kept)
          ++next_hit;
        if (next_hit < reasons.hits.size() && reasons.hits[next_hit].first == kept)
          hit = reasons.hits[next_hit].second;
      }
    }
    const std::int64_t index = c.index;
    if (!tied.classes.empty()) {
      ClassRun& last = tied.classes.back();
      if (last.set == c.set && last.label + last.count == label &&
          last.index + last.count == index && last.prunable == prunable && last.reason == reason &&
          last.hit.has_value() == hit.has_value() && (!hit || *last.hit + last.count == *hit)) {
        ++last.count;
        continue;
      }
    }
    tied.classes.push_back({label, 1, c.set, index, prunable, reason, hit});
  }
}

TiedSets tied_sets(const Report& report) {
  TiedSets tied = tied_set_members(report);
  add_class_runs(tied, report);
  return tied;
}

void append_set_json(std::string& out, const TiedSets& tied, const TiedSet& set) {
  out += "{\"classes\": ";
  append_int(out, set.classes);
  out += ", \"prunable\": ";
  append_int(out, set.prunable);
  out += ", \"members\": [";
  for (std::size_t i = 0; i < set.members.size(); ++i) {
    const TiedSetMember& member = set.members[i];
    out += i ? ", {\"node\": " : "{\"node\": ";
    out += tied.quoted_names[member.parameter];
    out += ", \"dim\": ";
    append_int(out, member.dim);
    out += ", \"classes\": ";
    append_runs(out, member.classes);
    out += '}';
  }
  out += "]}";
}

void append_class_json(std::string& out, const ClassRun& run) {
  out += '[';
  append_int(out, run.label);
  out += ", ";
  append_int(out, run.count);
  out += ", ";
  append_int(out, run.set);
  out += ", ";
  append_int(out, run.index);
  out += ", ";
  out += json_boolean(run.prunable);
  out += ", ";
  if (run.reason)
    append_int(out, static_cast<std::int64_t>(*run.reason));
  else
    out += "null";
  if (run.hit) {
    out += ", ";
    append_int(out, *run.hit);
  }
  out += ']';
}

void append_reason_json(std::string& out, const tensor_trace::Graph& graph,
                        const KeptReason& reason) {
  auto name = [&graph, &out](std::int64_t node) {
    append_json_text(out, graph.node(static_cast<std::size_t>(node)).name);
  };
  out += "{\"event\": \"";
  out += reason_kind_name(reason.kind);
  out += "\", \"node\": ";
  name(reason.node);
  out += ", \"text\": ";
  out += reason.quoted_text;
  out += ", \"via\": [";
  for (std::size_t i = 0; i < reason.via.size(); ++i) {
    if (i)
      out += ", ";
    name(reason.via[i]);
  }
  out += "]}";
}

}  // namespace zavo::graph
