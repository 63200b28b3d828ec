#pragma once
// Integer sequences written as runs, the compact form in which the report holds label lists,
// index maps and sets of labels. A sequence is a JSON array of items: a number stands for
// itself, `[first, count]` for `count` numbers counting up from `first`, and
// `[first, count, step]` for `count` numbers from `first`, each `step` after the one before
// (a step of 0 repeats `first`). In the report's table of label lists an item may also be
// `{"list": K}`: every label of the table's earlier entry K, in order.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "zavo/pruning/engine/utils.hpp"

namespace zavo::graph {

// `count` numbers from `first`, each `step` after the one before; a run of one is one number.
struct Run {
  std::int64_t first;
  std::int64_t count;
  std::int64_t step;
  bool operator==(const Run&) const = default;
};

// The item that starts at `values[at]`: the longest arithmetic run from there when it holds
// three numbers or more, else the single number. Cutting a sequence item by item from the left
// this way is deterministic and never longer than the plain list.
Run run_at(std::span<const std::int64_t> values, std::size_t at);

// Cuts a sequence handed over number by number into the items `run_at` gives, without holding
// the sequence: only the runs are kept.
class RunBuilder {
 public:
  void push(std::int64_t value);
  // The items of every number pushed so far; the builder is empty again afterwards.
  std::vector<Run> finish();

 private:
  std::vector<Run> runs_;
  Run pending_{0, 0, 0};
};

// `values` cut into items from the left (see `run_at`).
std::vector<Run> runs_of(std::span<const std::int64_t> values);

// Appends the item: `7`, `[0, 64]` or `[0, 16, 0]`.
void append_run(std::string& out, const Run& run);
// Appends `[item, ...]`.
void append_runs(std::string& out, std::span<const Run> runs);

// The table of distinct label lists of a report. Each list is added once, by handle; a list
// whose labels equal an earlier entry's is that entry, and a list that holds whole earlier
// entries in a row (a concatenation of lists that the report already has) refers to them instead
// of repeating their labels, so that a ladder of concatenations costs its new labels only.
class LabelListTable {
 public:
  // One item of an entry: a run of labels, or every label of an earlier entry.
  struct Item {
    Run run;
    std::int64_t list = -1;  // the entry referred to, or -1 for a run
  };

  // The entry index of `labels`. When the list is new, `added()` is true and `items()` holds
  // the new entry's items until the next call. `known`, when not empty, holds the same labels
  // read before (the report's copy of a parameter's labels), which are read from there rather
  // than from the label store, now and whenever the entry is compared later; it must outlive
  // the table.
  std::uint32_t add(const pruning::engine::utils::DimensionLabels& labels,
                    std::span<const std::uint32_t> known = {});
  bool added() const { return added_; }
  std::span<const Item> items() const { return items_; }

 private:
  struct Entry {
    pruning::engine::utils::DimensionLabels labels;
    std::uint64_t hash;
    std::span<const std::uint32_t> known;  // the same labels, when the caller had them
  };
  // Appends the labels of `labels`, or of `known` when it has them, to `out`.
  static void read(const pruning::engine::utils::DimensionLabels& labels,
                   std::span<const std::uint32_t> known, std::vector<std::int64_t>& out);
  static constexpr std::uint32_t kNone = 0xffffffffu;
  // Entries tried as a reference at one place: the longest ones that start with one label.
  static constexpr std::size_t kCandidates = 4;

  // Long entries added last keep a copy of their labels: a concatenation mostly refers to one of
  // them, which is then compared without reading its labels from the store again.
  static constexpr std::size_t kCopiedFrom = 16;  // labels
  struct Copy {
    std::uint32_t entry = kNone;
    std::vector<std::int64_t> labels;
  };

  std::uint64_t hash_of(std::size_t begin, std::size_t count) const;
  // True when entry `index`'s labels are those of the list being added from `at` on (which the
  // caller has checked to be long enough).
  bool holds(std::uint32_t index, std::size_t at);
  void remember(std::uint32_t index);
  void encode();

  std::vector<Entry> entries_;
  std::vector<std::uint32_t> entry_of_list_;  // by list id
  std::unordered_map<std::uint64_t, std::uint32_t> entry_of_hash_;
  // By first label: the slot in `candidates_` of the entries that start with it.
  std::unordered_map<std::int64_t, std::uint32_t> candidate_slot_;
  std::vector<std::uint32_t> candidates_;  // kCandidates per slot, longest first, kNone unused
  std::vector<std::int64_t> labels_;       // the list being added
  std::vector<std::int64_t> scratch_;      // an earlier entry's labels, to compare
  std::vector<std::uint64_t> prefix_;      // its prefix hashes
  std::vector<std::uint64_t> power_{1};    // kBase^n
  std::vector<Item> items_;
  std::array<Copy, 2> copies_;
  std::size_t next_copy_ = 0;
  bool added_ = false;
};

}  // namespace zavo::graph
