#include "zavo/pruning/engine/node_handlers/label_algebra.hpp"

#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"

#include <algorithm>
#include <deque>
#include <limits>
#include <string>
#include <unordered_set>

namespace zavo::pruning::engine::node_handlers {
namespace {

template <typename Map, typename Key>
auto& entry(Map& map, const Key& key, const char* map_name) {
  auto it = map.find(key);
  if (it == map.end()) {
    if constexpr (std::is_same_v<Key, Label>) {
      throw LookupError("label " + std::to_string(key) + " has no entry in " + map_name);
    } else {
      throw LookupError("node " + key->name + " has no entry in " + map_name);
    }
  }
  return it->second;
}

}  // namespace

Label _merge_labels(PruneGraphParserState& pruning_state, std::span<const Label> labels) {
  if (labels.empty()) {
    throw PruningEngineRuntimeException("Attempting to merge an empty list of labels");
  }
  const Label base_label = labels[0];
  for (Label fix_label : labels.subspan(1)) {
    if (fix_label != base_label)
      pruning_state.fold_label(base_label, fix_label);
  }
  return base_label;
}

ColumnIndicesByLabel _get_column_indices_by_label(const LabelRows& label_groups,
                                                  std::span<const Label> unique_labels) {
  ColumnIndicesByLabel column_indices_by_label;
  column_indices_by_label.reserve(unique_labels.size());
  for (Label label : unique_labels)
    column_indices_by_label[label];
  for (const LabelList* row_labels : label_groups) {
    for (std::size_t column_index = 0; column_index < row_labels->size(); ++column_index) {
      auto& columns =
          entry(column_indices_by_label, (*row_labels)[column_index], "the column index");
      // Rows are read in order, so a repeat within a row is always the last entry; repeats
      // from other rows are removed below.
      if (columns.empty() || columns.back() != column_index)
        columns.push_back(column_index);
    }
  }
  if (label_groups.size() > 1) {
    for (auto& [label, columns] : column_indices_by_label) {
      std::sort(columns.begin(), columns.end());
      columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
    }
  }
  return column_indices_by_label;
}

MergeGroups _breadth_first_find_merge_groups(const LabelRows& label_groups) {
  const std::size_t n_cols = label_groups.empty() ? 0 : label_groups.front()->size();

  std::vector<Label> unique_labels;
  {
    std::unordered_set<Label> seen;
    for (const LabelList* row : label_groups) {
      for (Label label : *row) {
        if (seen.insert(label).second)
          unique_labels.push_back(label);
      }
    }
  }
  const ColumnIndicesByLabel column_indices_by_label =
      _get_column_indices_by_label(label_groups, unique_labels);

  std::vector<bool> column_visited(n_cols, false);
  MergeGroups result;
  result.group_index_by_label.reserve(unique_labels.size());

  std::deque<std::size_t> column_queue;
  std::vector<Label> column_labels;
  for (std::size_t main_col_idx = 0; main_col_idx < n_cols; ++main_col_idx) {
    if (column_visited[main_col_idx])
      continue;
    std::unordered_set<Label> local_labels;
    column_queue.clear();
    column_queue.push_back(main_col_idx);
    while (!column_queue.empty()) {
      const std::size_t local_col_index = column_queue.back();
      column_queue.pop_back();

      column_labels.clear();
      for (const LabelList* row : label_groups) {
        Label label = row->at(local_col_index);
        if (std::find(column_labels.begin(), column_labels.end(), label) == column_labels.end()) {
          column_labels.push_back(label);
        }
      }
      local_labels.insert(column_labels.begin(), column_labels.end());
      column_visited[local_col_index] = true;
      for (Label label : column_labels) {
        for (std::size_t label_col_idx : column_indices_by_label.at(label)) {
          if (!column_visited[label_col_idx])
            column_queue.push_front(label_col_idx);
        }
      }
    }
    const std::size_t group_index = result.merge_groups.size();
    MergeGroup group(local_labels.begin(), local_labels.end());
    std::sort(group.begin(), group.end());
    for (Label label : group)
      result.group_index_by_label[label] = group_index;
    result.merge_groups.push_back(std::move(group));
  }
  return result;
}

MergeGroups _breadth_first_find_merge_groups(const std::vector<LabelList>& label_groups) {
  LabelRows rows;
  rows.reserve(label_groups.size());
  for (const auto& row : label_groups)
    rows.push_back(&row);
  return _breadth_first_find_merge_groups(rows);
}

namespace {

// Appends the labels `list` reads now to `out`: a concatenation's joined list from the labels it
// was made of while they still read so (a layer ties the list its input joined right away),
// any other list read from the state.
void append_labels(PruneGraphParserState& pruning_state, const DimensionLabels& list,
                   LabelList& out) {
  const PruneGraphParserState::JoinedInputs& joined = pruning_state.joined_inputs();
  if (joined.node && list == joined.list && joined.labels.size() == list->size() &&
      pruning_state.lowest_folded() > joined.highest) {
    out.insert(out.end(), joined.labels.begin(), joined.labels.end());
    return;
  }
  list->append_to(out);
}

// What `_merge_label_groups` does; without `keep`, the list of survivors is counted toward the
// budget but not made, and the result is none. Every table of the call is one of the state's
// fold buffers, so that a handler's fold allocates nothing once they have grown.
DimensionLabels merge_label_groups(PruneGraphParserState& pruning_state,
                                   std::span<const DimensionLabels> label_groups, bool keep) {
  PruneGraphParserState::FoldScratch& scratch = pruning_state.fold_scratch();
  bool has_none_labels = false;
  std::vector<DimensionLabels>& groups = scratch.groups;
  groups.clear();
  for (const auto& group : label_groups) {
    if (group) {
      groups.push_back(group);
    } else {
      has_none_labels = true;
    }
  }
  if (groups.empty())
    return nullptr;
  if (has_none_labels)
    _mark_labels_as_non_prunable(pruning_state, groups.front());
  if (groups.size() == 1)
    return groups.front();

  const std::size_t length = groups.front()->size();
  if (std::any_of(groups.begin(), groups.end(),
                  [length](const DimensionLabels& g) { return g->size() != length; })) {
    std::string lengths;
    for (const auto& group : groups) {
      if (!lengths.empty())
        lengths += ", ";
      lengths += std::to_string(group->size());
    }
    throw PruningEngineRuntimeException("Attempting to merge label groups of different sizes: (" +
                                        lengths + ")");
  }

  // Every entry, row-major, read before anything is folded.
  const std::size_t n_rows = groups.size();
  LabelList& cells = scratch.cells;
  cells.clear();
  for (const DimensionLabels& group : groups)
    append_labels(pruning_state, group, cells);

  // The merge groups are the connected components of the labels, two labels being connected
  // when they share a column, in order of their smallest column. Labels are numbered through
  // the state's scratch table (left all zeros again), which first tells whether some label
  // sits in two columns: when none does (a layer's channels tied to its parameters' slices),
  // every column is a group of its own and no search is needed.
  const Label top = cells.empty() ? -1 : *std::max_element(cells.begin(), cells.end());
  const utils::LabelMarks mark = pruning_state.label_marks(top);
  LabelList& unique_labels = scratch.unique_labels;
  unique_labels.clear();
  bool columns_apart = true;
  for (std::size_t row = 0; row < n_rows; ++row) {
    const Label* entry = cells.data() + row * length;
    for (std::size_t column = 0; column < length; ++column) {
      std::uint32_t& number = mark[entry[column]];
      if (number == 0) {
        number = static_cast<std::uint32_t>(column + 1);
        unique_labels.push_back(entry[column]);
      } else if (number != column + 1) {
        columns_apart = false;
      }
    }
  }
  // The two-row fold below clears the marks of the labels it touches itself.
  const bool two_rows_apart = columns_apart && n_rows == 2;
  if (!two_rows_apart) {
    for (Label label : unique_labels)
      mark[label] = 0;
  }

  LabelList& merged_output_labels = scratch.merged;
  merged_output_labels.assign(keep ? length : 0, 0);
  auto survivors = [&]() -> DimensionLabels {
    if (keep)
      return make_labels(pruning_state, merged_output_labels);
    pruning_state.store().count_unmade_list(pruning_state.label_position_budget, length);
    return nullptr;
  };
  if (two_rows_apart) {
    // A layer's channels tied to its weight's slices: the smaller label of each column is the
    // base, the other folded into it. The labels of later columns are loaded ahead.
    const utils::LabelStore& store = pruning_state.store();
    constexpr std::size_t kWordsAhead = 16;
    constexpr std::size_t kClassesAhead = 8;
    std::size_t column = 0;
    // A fold that raises leaves the marks of the columns after it to be cleared here (a fold
    // that raises may have moved the marks).
    struct ClearRest {
      PruneGraphParserState& state;
      const LabelList& cells;
      const std::size_t& column;
      std::size_t length;
      Label top;
      ~ClearRest() {
        const utils::LabelMarks marks = state.label_marks(top);
        for (std::size_t rest = column; rest < length; ++rest) {
          marks[cells[rest]] = 0;
          marks[cells[length + rest]] = 0;
        }
      }
    } clear_rest{pruning_state, cells, column, length, top};
    for (; column < length; ++column) {
      if (column + kWordsAhead < length) {
        store.prefetch_label(cells[column + kWordsAhead]);
        store.prefetch_label(cells[length + column + kWordsAhead]);
      }
      if (column + kClassesAhead < length) {
        store.prefetch_label_class(cells[column + kClassesAhead]);
        store.prefetch_label_class(cells[length + column + kClassesAhead]);
      }
      const Label first = cells[column];
      const Label second = cells[length + column];
      mark[first] = 0;
      mark[second] = 0;
      const Label base = std::min(first, second);
      if (first != second)
        pruning_state.fold_label(base, std::max(first, second));
      if (keep)
        merged_output_labels[column] = base;
    }
    return survivors();
  }
  if (columns_apart) {
    LabelList& column_labels = scratch.column_labels;
    for (std::size_t column = 0; column < length; ++column) {
      column_labels.clear();
      for (std::size_t row = 0; row < n_rows; ++row)
        column_labels.push_back(cells[row * length + column]);
      std::sort(column_labels.begin(), column_labels.end());
      column_labels.erase(std::unique(column_labels.begin(), column_labels.end()),
                          column_labels.end());
      const Label base = _merge_labels(pruning_state, column_labels);
      if (keep)
        merged_output_labels[column] = base;
    }
    return survivors();
  }

  // A union-find over the distinct labels, by their local numbers.
  std::vector<std::uint32_t>& local = scratch.local;
  local.resize(cells.size());
  for (std::uint32_t i = 0; i < unique_labels.size(); ++i)
    mark[unique_labels[i]] = i + 1;
  for (std::size_t i = 0; i < cells.size(); ++i)
    local[i] = mark[cells[i]] - 1;
  for (Label label : unique_labels)
    mark[label] = 0;

  std::vector<std::uint32_t>& parent = scratch.parent;
  parent.resize(unique_labels.size());
  for (std::uint32_t i = 0; i < parent.size(); ++i)
    parent[i] = i;
  auto find = [&parent](std::uint32_t i) {
    while (parent[i] != i) {
      parent[i] = parent[parent[i]];
      i = parent[i];
    }
    return i;
  };
  for (std::size_t row = 1; row < n_rows; ++row) {
    for (std::size_t column = 0; column < length; ++column) {
      const std::uint32_t a = find(local[column]);
      const std::uint32_t b = find(local[row * length + column]);
      if (a != b)
        parent[std::max(a, b)] = std::min(a, b);
    }
  }

  // Groups numbered in order of their smallest column; every column has a label in row 0.
  constexpr std::uint32_t kUnnumbered = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t>& group_of_root = scratch.group_of_root;
  group_of_root.assign(unique_labels.size(), kUnnumbered);
  std::uint32_t n_groups = 0;
  for (std::size_t column = 0; column < length; ++column) {
    std::uint32_t& group = group_of_root[find(local[column])];
    if (group == kUnnumbered)
      group = n_groups++;
  }
  // Members of each group in ascending label order: bucket the labels by group.
  std::vector<std::uint32_t>& group_start = scratch.group_start;
  group_start.assign(n_groups + 1, 0);
  for (std::uint32_t i = 0; i < unique_labels.size(); ++i)
    ++group_start[group_of_root[find(i)] + 1];
  for (std::uint32_t g = 0; g < n_groups; ++g)
    group_start[g + 1] += group_start[g];
  LabelList& members = scratch.members;
  members.resize(unique_labels.size());
  std::vector<std::uint32_t>& fill = scratch.fill;
  fill.assign(group_start.begin(), group_start.end() - 1);
  for (std::uint32_t i = 0; i < unique_labels.size(); ++i)
    members[fill[group_of_root[find(i)]]++] = unique_labels[i];
  LabelList& merge_group_base_labels = scratch.base_labels;
  merge_group_base_labels.resize(n_groups);
  for (std::uint32_t g = 0; g < n_groups; ++g) {
    const std::span<Label> group(members.data() + group_start[g],
                                 group_start[g + 1] - group_start[g]);
    std::sort(group.begin(), group.end());
    merge_group_base_labels[g] = _merge_labels(pruning_state, group);
  }

  for (std::size_t column = 0; column < length && keep; ++column)
    merged_output_labels[column] = merge_group_base_labels[group_of_root[find(local[column])]];
  return survivors();
}

}  // namespace

DimensionLabels _merge_label_groups(PruneGraphParserState& pruning_state,
                                    std::span<const DimensionLabels> label_groups) {
  return merge_label_groups(pruning_state, label_groups, /*keep=*/true);
}

void _tie_label_groups(PruneGraphParserState& pruning_state,
                       std::span<const DimensionLabels> label_groups) {
  merge_label_groups(pruning_state, label_groups, /*keep=*/false);
}

std::pair<Shape, TensorLabels> _broadcast_to(const Shape& shape, const TensorLabels& labels,
                                             std::size_t n) {
  const std::size_t shape_n = shape.size();
  if (shape_n >= n)
    return {shape, labels};
  const std::size_t pad = n - shape_n;
  Shape new_shape(pad, 1);
  new_shape.insert(new_shape.end(), shape.begin(), shape.end());
  TensorLabels new_labels(pad);
  new_labels.insert(new_labels.end(), labels.begin(), labels.end());
  return {std::move(new_shape), std::move(new_labels)};
}

TensorLabels& _swap_prune_dims(TensorLabels& labels, std::int64_t src_dim, std::int64_t dst_dim) {
  if (src_dim == dst_dim)
    return labels;
  auto index = [&labels](std::int64_t dim) -> DimensionLabels& {
    auto n = static_cast<std::int64_t>(labels.size());
    std::int64_t i = dim < 0 ? dim + n : dim;
    if (i < 0 || i >= n) {
      throw LookupError("dimension " + std::to_string(dim) + " is out of range for " +
                        std::to_string(n) + " label entries");
    }
    return labels[static_cast<std::size_t>(i)];
  };
  DimensionLabels& dst = index(dst_dim);
  DimensionLabels& src = index(src_dim);
  if (dst)
    throw PruningEngineRuntimeException("dst_dim is already prunable");
  std::swap(src, dst);
  return labels;
}

}  // namespace zavo::pruning::engine::node_handlers
