// The provenance recorder against a plain record of what it hears: a long random run of
// creations, marks and merges over a few nodes (merges at the node of the one before, at a new
// node, of labels past the table, across the merge table's regrowth) gives the same events, the
// same merges with their nodes and the same cause of every label.

#include "zavo/parse/provenance.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace zavo::graph {
namespace {

TEST(ProvenanceRecorder, EventsMergesAndCausesAgreeWithAPlainRecordOfTheRun) {
  tensor_trace::Graph graph;
  std::vector<const tensor_trace::ZavoNode*> nodes;
  for (int i = 0; i < 5; ++i)
    nodes.push_back(&graph.add_input("n" + std::to_string(i), tensor_trace::Shape{1}));

  // The plain record: each label's own event or the merge it inherited its refusal through.
  std::vector<LabelEvent> events;
  std::map<Label, std::size_t> event_of;
  std::map<Label, std::size_t> inherited;
  std::vector<LabelMerge> merges;
  auto refused = [&](Label label) { return event_of.contains(label) || inherited.contains(label); };
  auto add_event = [&](const LabelEvent& event) {
    if (events.empty() || !(events.back() == event))
      events.push_back(event);
    return events.size() - 1;
  };

  ProvenanceRecorder recorder;
  std::mt19937 random(11);
  std::uint32_t node = 0;
  LabelPhase phase = LabelPhase::Parameter;
  recorder.enter(*nodes[node], phase);
  Label next = 0;
  for (int step = 0; step < 5000; ++step) {
    const auto what = random() % 10;
    if (what == 0) {
      node = static_cast<std::uint32_t>(random() % nodes.size());
      phase = random() % 2 ? LabelPhase::Handler : LabelPhase::NoHandler;
      recorder.enter(*nodes[node], phase);
    } else if (what <= 2 || next < 2) {
      const auto count = static_cast<Label>(1 + random() % 4);
      const bool prunable = random() % 3 != 0;
      recorder.labels_created(next, static_cast<std::size_t>(count), prunable);
      for (Label label = next; label < next + count && !prunable; ++label)
        event_of[label] = add_event({node, phase, true});
      next += count;
    } else if (what == 3) {
      const auto label = static_cast<Label>(random() % static_cast<std::uint64_t>(next));
      recorder.label_marked_non_prunable(label);
      if (!refused(label))
        event_of[label] = add_event({node, phase, false});
    } else {
      // Now and then a label no creation reached, past the table.
      const Label top = what == 9 ? next + 3 : next;
      const auto base = static_cast<Label>(random() % static_cast<std::uint64_t>(top));
      const auto folded = static_cast<Label>(random() % static_cast<std::uint64_t>(top));
      if (base == folded)
        continue;
      recorder.labels_merged(base, folded);
      merges.push_back(
          {static_cast<std::uint32_t>(base), static_cast<std::uint32_t>(folded), node});
      if (refused(folded) && !refused(base))
        inherited[base] = merges.size() - 1;
      next = std::max(next, std::max(base, folded) + 1);
    }
  }

  ASSERT_TRUE(recorder.complete());
  EXPECT_EQ(recorder.events(), events);
  ASSERT_EQ(recorder.merge_count(), merges.size());
  for (std::size_t i = 0; i < merges.size(); ++i) {
    const LabelMerge merge = recorder.merge(i);
    EXPECT_EQ(merge.base, merges[i].base) << "merge " << i;
    EXPECT_EQ(merge.folded, merges[i].folded) << "merge " << i;
    EXPECT_EQ(merge.node, merges[i].node) << "merge " << i;
  }
  for (Label label = 0; label < next; ++label) {
    const std::optional<LabelCause> cause = recorder.cause(label);
    ASSERT_EQ(cause.has_value(), refused(label)) << "label " << label;
    if (!cause)
      continue;
    std::vector<std::size_t> via;
    Label from = label;
    for (auto it = inherited.find(from); it != inherited.end(); it = inherited.find(from)) {
      via.insert(via.begin(), it->second);
      from = merges[it->second].folded;
    }
    EXPECT_EQ(cause->label, from) << "label " << label;
    EXPECT_EQ(cause->event, event_of.at(from)) << "label " << label;
    EXPECT_EQ(cause->via, via) << "label " << label;
  }
}

}  // namespace
}  // namespace zavo::graph
