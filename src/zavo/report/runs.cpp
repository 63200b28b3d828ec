#include "zavo/report/runs.hpp"

#include <algorithm>
#include <utility>

#include "zavo/report/json_writer.hpp"

namespace zavo::graph {
namespace {

// A polynomial hash over 64-bit words (wrapping arithmetic); equal hashes are always confirmed
// label by label, so a collision costs a comparison, never a wrong reference.
constexpr std::uint64_t kBase = 0x100000001b3u;

std::uint64_t mix(std::int64_t value) {
  return static_cast<std::uint64_t>(value) * 0x9e3779b97f4a7c15u + 0x632be59bd9b4e019u;
}

}  // namespace

Run run_at(std::span<const std::int64_t> values, std::size_t at) {
  // Values are labels and indices, far from the ends of the 64-bit range: differences fit.
  if (at + 2 < values.size()) {
    const std::int64_t step = values[at + 1] - values[at];
    std::size_t count = 2;
    while (at + count < values.size() && values[at + count] - values[at + count - 1] == step)
      ++count;
    if (count >= 3)
      return {values[at], static_cast<std::int64_t>(count), step};
  }
  return {values[at], 1, 0};
}

void RunBuilder::push(std::int64_t value) {
  Run& run = pending_;
  if (run.count == 0) {
    run = {value, 1, 0};
  } else if (run.count == 1) {
    run.step = value - run.first;
    run.count = 2;
  } else if (value - (run.first + (run.count - 1) * run.step) == run.step) {
    ++run.count;
  } else if (run.count >= 3) {
    runs_.push_back(run);
    run = {value, 1, 0};
  } else {
    // Two numbers are no run: the first stands alone, the second may start one with `value`.
    runs_.push_back({run.first, 1, 0});
    run = {run.first + run.step, 2, value - (run.first + run.step)};
  }
}

std::vector<Run> RunBuilder::finish() {
  Run& run = pending_;
  if (run.count >= 3) {
    runs_.push_back(run);
  } else {
    for (std::int64_t i = 0; i < run.count; ++i)
      runs_.push_back({run.first + i * run.step, 1, 0});
  }
  run = {0, 0, 0};
  return std::exchange(runs_, {});
}

std::vector<Run> runs_of(std::span<const std::int64_t> values) {
  RunBuilder builder;
  for (std::int64_t value : values)
    builder.push(value);
  return builder.finish();
}

void append_run(std::string& out, const Run& run) {
  if (run.count == 1) {
    append_int(out, run.first);
    return;
  }
  out += '[';
  append_int(out, run.first);
  out += ", ";
  append_int(out, run.count);
  if (run.step != 1) {
    out += ", ";
    append_int(out, run.step);
  }
  out += ']';
}

void append_runs(std::string& out, std::span<const Run> runs) {
  out += '[';
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (i)
      out += ", ";
    append_run(out, runs[i]);
  }
  out += ']';
}

void LabelListTable::read(const pruning::engine::utils::DimensionLabels& labels,
                          std::span<const std::uint32_t> known, std::vector<std::int64_t>& out) {
  if (known.empty()) {
    labels.append_to(out);
    return;
  }
  out.insert(out.end(), known.begin(), known.end());
}

std::uint32_t LabelListTable::add(const pruning::engine::utils::DimensionLabels& labels,
                                  std::span<const std::uint32_t> known) {
  added_ = false;
  const std::uint32_t id = labels.id();
  if (id >= entry_of_list_.size())
    entry_of_list_.resize(static_cast<std::size_t>(id) + 1, kNone);
  if (entry_of_list_[id] != kNone)
    return entry_of_list_[id];

  labels_.clear();
  read(labels, known, labels_);
  const std::size_t n = labels_.size();
  prefix_.resize(n + 1);
  prefix_[0] = 0;
  for (std::size_t i = 0; i < n; ++i)
    prefix_[i + 1] = prefix_[i] * kBase + mix(labels_[i]);
  while (power_.size() <= n)
    power_.push_back(power_.back() * kBase);

  const std::uint64_t hash = prefix_[n];
  auto same = entry_of_hash_.find(hash);
  if (same != entry_of_hash_.end()) {
    if (entries_[same->second].labels.size() == n && holds(same->second, 0))
      return entry_of_list_[id] = same->second;
  }
  const auto index = static_cast<std::uint32_t>(entries_.size());
  entry_of_list_[id] = index;
  if (same == entry_of_hash_.end())
    entry_of_hash_.emplace(hash, index);
  encode();
  entries_.push_back({labels, hash, known});
  remember(index);
  if (n >= kCopiedFrom) {
    Copy& copy = copies_[next_copy_];
    next_copy_ = (next_copy_ + 1) % copies_.size();
    copy.entry = index;
    copy.labels.swap(labels_);  // `labels_` is filled anew by the next call
  }
  added_ = true;
  return index;
}

std::uint64_t LabelListTable::hash_of(std::size_t begin, std::size_t count) const {
  return prefix_[begin + count] - prefix_[begin] * power_[count];
}

bool LabelListTable::holds(std::uint32_t index, std::size_t at) {
  const std::vector<std::int64_t>* labels = &scratch_;
  for (const Copy& copy : copies_) {
    if (copy.entry == index)
      labels = &copy.labels;
  }
  if (labels == &scratch_) {
    scratch_.clear();
    read(entries_[index].labels, entries_[index].known, scratch_);
  }
  return std::equal(labels->begin(), labels->end(),
                    labels_.begin() + static_cast<std::ptrdiff_t>(at));
}

void LabelListTable::encode() {
  items_.clear();
  const std::size_t n = labels_.size();
  for (std::size_t at = 0; at < n;) {
    const Run run = run_at(labels_, at);
    std::int64_t reference = -1;
    auto found = candidate_slot_.find(labels_[at]);
    const std::uint32_t slot = found == candidate_slot_.end() ? kNone : found->second;
    for (std::size_t k = 0; slot != kNone && k < kCandidates; ++k) {
      const std::uint32_t candidate = candidates_[slot * kCandidates + k];
      if (candidate == kNone)
        break;
      const Entry& entry = entries_[candidate];
      const std::size_t size = entry.labels.size();
      // Longest first: once a reference would not cover more than the run, none will.
      if (size < 3 || size <= static_cast<std::size_t>(run.count))
        break;
      if (at + size <= n && hash_of(at, size) == entry.hash && holds(candidate, at)) {
        reference = candidate;
        at += size;
        break;
      }
    }
    if (reference >= 0) {
      items_.push_back({{}, reference});
    } else {
      items_.push_back({run, -1});
      at += static_cast<std::size_t>(run.count);
    }
  }
}

void LabelListTable::remember(std::uint32_t index) {
  if (labels_.empty())
    return;
  auto [found, added] = candidate_slot_.try_emplace(
      labels_[0], static_cast<std::uint32_t>(candidates_.size() / kCandidates));
  if (added)
    candidates_.resize(candidates_.size() + kCandidates, kNone);
  const std::uint32_t slot = found->second;
  std::uint32_t* begin = candidates_.data() + std::size_t{slot} * kCandidates;
  const std::size_t size = labels_.size();
  std::size_t k = 0;
  while (k < kCandidates && begin[k] != kNone && entries_[begin[k]].labels.size() > size)
    ++k;
  if (k == kCandidates)
    return;
  for (std::size_t j = kCandidates - 1; j > k; --j)
    begin[j] = begin[j - 1];
  begin[k] = index;
}

}  // namespace zavo::graph
