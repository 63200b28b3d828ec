#pragma once
// Tied sets: the parameter dimensions whose channels are pruned together, index by index. Two
// labelled dimensions of parameters are in one set when they share a label, and sets are closed
// under sharing, so every channel class carried by parameters lies in exactly one set. This is
// the unit a pruner ranks, and the shape in which the report and the view write the classes:
// each set once, with its dimensions and how their indices map onto the set's classes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zavo/platform/zeroed_array.hpp"
#include "zavo/report/explain.hpp"
#include "zavo/report/report.hpp"
#include "zavo/report/runs.hpp"

namespace zavo::graph {

// One labelled dimension of a parameter in its set.
struct TiedSetMember {
  std::size_t parameter;  // index into `Report::parameters`
  std::int64_t dim;
  // The class of each index of the dimension, by its index in the set, as runs.
  std::vector<Run> classes;
};

struct TiedSet {
  std::int64_t classes = 0;   // distinct labels of its dimensions
  std::int64_t prunable = 0;  // of those, the prunable ones
  // In file order, then dimension. Class k of the set is the k-th distinct label met reading
  // the members in this order, index by index.
  std::vector<TiedSetMember> members;
};

// A run of classes in label order: labels `label` to `label + count - 1` are the classes `index`
// to `index + count - 1` of set `set`, all prunable, or all kept for reason `reason`.
struct ClassRun {
  Label label;
  std::int64_t count;
  std::uint32_t set;
  std::int64_t index;
  bool prunable;
  std::optional<std::size_t> reason;  // into `kept_reasons(report).table`; none when not recorded
  // When ties carried the reason's event from other labels to these: the label it hit for the
  // first class of the run, and the next ones for the next classes.
  std::optional<Label> hit;
};

struct TiedSets {
  // Numbered in the order of their first member.
  std::vector<TiedSet> sets;
  // For `report.parameters[p].dims[d]`: its set, or -1 for a dimension without labels.
  std::vector<std::vector<std::int64_t>> of_parameter;
  // Every class carried by parameters, in label order.
  std::vector<ClassRun> classes;
  // For `report.parameters[p]`: its name as JSON text, when it has members.
  std::vector<std::string> quoted_names;
  static constexpr std::uint32_t kNoSet = 0xffffffffu;
  // By label: the set of a label that a parameter carries, or kNoSet. Held as the set plus one
  // in a zeroed table, so that only the pages of the labels parameters carry are touched.
  class LabelSets {
   public:
    explicit LabelSets(std::size_t labels = 0)
        : sets_(platform::zeroed_array<std::uint32_t>(labels)) {}
    std::uint32_t operator[](std::size_t label) const { return sets_[label] - 1; }
    void set(std::size_t label, std::uint32_t set) { sets_[label] = set + 1; }

   private:
    platform::ZeroedArray<std::uint32_t> sets_;
  };
  LabelSets set_of_label;
  // Every class carried by parameters, in label order, with its set and its index there: what
  // `classes` is made from.
  struct LabelledClass {
    Label label;
    std::uint32_t set;
    std::uint32_t index;
  };
  std::vector<LabelledClass> by_label;
};

// The tied sets of the parameters of `report` and their classes, from the final labels of its
// parse.
TiedSets tied_sets(const Report& report);
// The same in two steps: the sets, their members and the classes by label, made from the
// report's copy of the parameters' labels alone (it reads neither the parse's label store nor
// the kept classes' reasons, so it may run beside a reader of either); then `classes`, the runs
// with their reasons, which works the reasons out when the report has not yet.
TiedSets tied_set_members(const Report& report);
void add_class_runs(TiedSets& tied, const Report& report);

// JSON text of one entry of each list, as the report writes them:
//   set:    {"classes": N, "prunable": N, "members": [{"node", "dim", "classes": SEQUENCE}]}
//   class:  [label, count, set, index, prunable, reason or null] and, when ties carried the
//           reason's event to these classes from other labels, the first label it hit
//   reason: {"event", "node", "text", "via": [names]}
void append_set_json(std::string& out, const TiedSets& tied, const TiedSet& set);
void append_class_json(std::string& out, const ClassRun& run);
void append_reason_json(std::string& out, const tensor_trace::Graph& graph,
                        const KeptReason& reason);

}  // namespace zavo::graph
