#include "zavo/report/tied_sets.hpp"

#include <algorithm>

#include "zavo/platform/zeroed_array.hpp"
#include "zavo/report/json_writer.hpp"

namespace zavo::graph {
namespace {

using pruning::engine::utils::DimensionLabels;
using pruning::engine::utils::PruneGraphParserState;
using pruning::engine::utils::TensorLabels;

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

}  // namespace

TiedSets tied_sets(const Report& report) {
  const PruneGraphParserState& state = report.result->state;
  const auto labels = static_cast<std::size_t>(state.next_label);
  TiedSets tied;

  // Every labelled dimension of a parameter is a member; members that share a label are joined.
  struct Member {
    std::size_t parameter;
    std::int64_t dim;
    DimensionLabels labels;
  };
  std::vector<Member> members;
  DisjointSets joined;
  // By label: one past the first member that carries it (0 for none yet); later, its index in
  // its set. Only the pages of the labels met are touched: the parameters carry few of the labels
  // a large parse has made.
  const platform::ZeroedArray<std::uint32_t> slot = platform::zeroed_array<std::uint32_t>(labels);
  TensorLabels dims_scratch;
  tied.of_parameter.resize(report.parameters.size());
  tied.quoted_names.resize(report.parameters.size());
  for (std::size_t p = 0; p < report.parameters.size(); ++p) {
    const ParameterChannels& parameter = report.parameters[p];
    tied.of_parameter[p].assign(parameter.dims.size(), -1);
    const auto dims = recorded_labels(state, *parameter.parameter, dims_scratch);
    for (std::size_t d = 0; d < dims.size(); ++d) {
      if (!dims[d] || dims[d]->empty())
        continue;
      if (tied.quoted_names[p].empty())
        tied.quoted_names[p] = json_text(parameter.parameter->name);
      const std::uint32_t k = joined.add();
      members.push_back({p, static_cast<std::int64_t>(d), dims[d]});
      for_each_label(dims[d], [&](Label label) {
        std::uint32_t& first = slot[static_cast<std::size_t>(label)];
        if (first == 0)
          first = k + 1;
        else
          joined.unite(first - 1, k);
      });
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
    const Member& member = members[k];
    auto& dims = tied.of_parameter[member.parameter];
    if (static_cast<std::size_t>(member.dim) < dims.size())
      dims[static_cast<std::size_t>(member.dim)] = set_of_member[k];
  }

  // Classes numbered per set in the order the members meet them; each member's indices mapped.
  tied.set_of_label.assign(labels, TiedSets::kNoSet);
  RunBuilder indices;
  for (std::uint32_t k = 0; k < members.size(); ++k) {
    const Member& member = members[k];
    const std::uint32_t s = set_of_member[k];
    TiedSet& set = tied.sets[s];
    for_each_label(member.labels, [&](Label label) {
      const auto l = static_cast<std::size_t>(label);
      if (tied.set_of_label[l] == TiedSets::kNoSet) {
        tied.set_of_label[l] = s;
        slot[l] = static_cast<std::uint32_t>(set.classes++);
        set.prunable += report.prunable[l];
      }
      indices.push(slot[l]);
    });
    set.members.push_back({member.parameter, member.dim, indices.finish()});
  }

  // The classes in label order, in runs, with their reasons. The kept ones are the report's
  // kept classes, also in label order.
  const KeptReasons& reasons = kept_reasons(report);
  std::size_t kept = 0;
  std::size_t next_hit = 0;
  for (std::size_t l = 0; l < labels; ++l) {
    const std::uint32_t s = tied.set_of_label[l];
    if (s == TiedSets::kNoSet)
      continue;
    const auto label = static_cast<Label>(l);
    const bool prunable = report.prunable[l] != 0;
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
    const std::int64_t index = slot[l];
    if (!tied.classes.empty()) {
      ClassRun& last = tied.classes.back();
      if (last.set == s && last.label + last.count == label && last.index + last.count == index &&
          last.prunable == prunable && last.reason == reason &&
          last.hit.has_value() == hit.has_value() && (!hit || *last.hit + last.count == *hit)) {
        ++last.count;
        continue;
      }
    }
    tied.classes.push_back({label, 1, s, index, prunable, reason, hit});
  }
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
