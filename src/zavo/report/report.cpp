#include "zavo/report/report.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "zavo/report/explain.hpp"
#include "zavo/report/json_writer.hpp"
#include "zavo/report/runs.hpp"
#include "zavo/report/tied_sets.hpp"

namespace zavo::graph {
namespace {

using pruning::engine::utils::DimensionLabels;
using pruning::engine::utils::PruneGraphParserState;
using pruning::engine::utils::TensorLabels;
using tensor_trace::NodeKind;
using tensor_trace::ZavoNode;

std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product;
  if (__builtin_mul_overflow(a, b, &product))
    return std::numeric_limits<std::uint64_t>::max();
  return product;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  if (__builtin_add_overflow(a, b, &sum))
    return std::numeric_limits<std::uint64_t>::max();
  return sum;
}

// The channels of a parameter per dimension, and its element counts, from its recorded labels:
// `labels_of(d, visit)` calls `visit(label)` for each label of dimension `d`, none when it has
// none. `carried` holds by label 1 for a prunable label seen before, 2 for a kept one, 0 for one
// not seen yet, which is read from `prunable`, entered and handed to `first_seen(prunable)`: a
// label that many parameters carry is looked up in one table, not two.
template <typename LabelsOf, typename FirstSeen>
ParameterChannels parameter_channels(const ZavoNode& node, LabelsOf labels_of,
                                     const std::vector<std::uint8_t>& prunable,
                                     std::vector<std::uint8_t>& carried, FirstSeen first_seen) {
  ParameterChannels out{&node, {}, 0, 0};
  if (!node.result_shape)
    return out;
  out.dims.reserve(node.result_shape->size());
  std::uint64_t elements = 1;
  std::uint64_t kept = 1;  // elements that no prunable class removes
  for (std::size_t d = 0; d < node.result_shape->size(); ++d) {
    DimensionChannels dim{(*node.result_shape)[d], 0};
    labels_of(d, [&](Label label) {
      std::uint8_t& seen = carried[static_cast<std::size_t>(label)];
      if (!seen) [[unlikely]] {
        seen = prunable[static_cast<std::size_t>(label)] ? 1 : 2;
        first_seen(seen == 1);
      }
      dim.prunable += seen == 1 ? 1 : 0;
    });
    elements = saturating_multiply(elements, static_cast<std::uint64_t>(dim.size));
    kept = saturating_multiply(kept, static_cast<std::uint64_t>(dim.size - dim.prunable));
    out.dims.push_back(dim);
  }
  out.elements = elements;
  out.prunable_elements = elements - std::min(kept, elements);
  return out;
}

// The labels of the parameters `for_each_parameter(visit)` hands to `visit` (those with recorded
// labels, in file order), copied once into room counted first (the copy of a ladder of
// concatenations holds tens of millions).
template <typename ForEachParameter>
ParameterLabels copy_parameter_labels(const PruneGraphParserState& state,
                                      ForEachParameter for_each_parameter) {
  TensorLabels scratch;
  std::size_t positions = 0, dims = 0;
  for_each_parameter([&](const ZavoNode& parameter) {
    for (const DimensionLabels& labels : recorded_labels(state, parameter, scratch)) {
      positions += labels ? labels->size() : 0;
      if (labels && !labels->empty())
        ++dims;
    }
  });
  // A parse holds at most 2^32 - 1 positions, so that these fit in 32 bits.
  if (positions > std::numeric_limits<std::uint32_t>::max())
    throw std::length_error("too many parameter channels for one report");
  ParameterLabels copy;
  copy.labels.resize(positions);
  copy.dims.reserve(dims);
  std::uint32_t* copied = copy.labels.data();
  std::uint32_t p = 0;
  for_each_parameter([&](const ZavoNode& parameter) {
    const auto labels = recorded_labels(state, parameter, scratch);
    for (std::size_t d = 0; d < labels.size(); ++d) {
      if (!labels[d] || labels[d]->empty())
        continue;
      const auto begin = static_cast<std::uint32_t>(copied - copy.labels.data());
      for_each_label(labels[d],
                     [&copied](Label label) { *copied++ = static_cast<std::uint32_t>(label); });
      copy.dims.push_back({p, static_cast<std::uint32_t>(d), begin,
                           static_cast<std::uint32_t>(begin + labels[d]->size())});
    }
    ++p;
  });
  return copy;
}

void append_labels(std::string& out, const DimensionLabels& labels) {
  if (!labels) {
    out += "null";
    return;
  }
  out += '[';
  bool first = true;
  for_each_label(labels, [&](Label label) {
    if (!first)
      out += ", ";
    first = false;
    append_int(out, label);
  });
  out += ']';
}

void append_error(std::string& out, const NodeError& error) {
  out += "{\"node\": " + std::to_string(error.node) + ", \"kind\": \"" +
         std::string(error_kind_name(error.kind)) + "\", \"message\": " + json_text(error.message) +
         "}";
}

}  // namespace

namespace {

// Whether every byte of `text` is printable ASCII other than the quote and the backslash, eight
// bytes at a time.
bool plain_text(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
  auto zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  const char* p = text.data();
  const char* const end = p + text.size();
  for (; end - p >= 8; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    // Below 0x20, 0x7f or above, the quote, the backslash.
    if (((word - kOnes * 0x20) & ~word & kHighs) | (word & kHighs) | zero(word ^ (kOnes * 0x7f)) |
        zero(word ^ (kOnes * '"')) | zero(word ^ (kOnes * '\\')))
      return false;
  }
  return std::all_of(p, end, [](char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; });
}

}  // namespace

void append_json_text(std::string& out, std::string_view text) {
  // Printable ASCII other than the quote and the backslash stands for itself; anything else goes
  // through the JSON library, which escapes it and replaces invalid UTF-8.
  if (!plain_text(text)) {
    out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return;
  }
  out += '"';
  out += text;
  out += '"';
}

std::string json_text(std::string_view text) {
  std::string out;
  append_json_text(out, text);
  return out;
}

nlohmann::ordered_json summary_json(const ReportSummary& s) {
  nlohmann::ordered_json counts = {{"nodes", s.nodes}, {"inputs", s.inputs}};
  // Only graphs that have constants count them, so that other summaries keep their bytes.
  if (s.constants)
    counts["constants"] = s.constants;
  counts.update(nlohmann::ordered_json{
      {"parameters", s.parameters},
      {"calls", s.calls},
      {"channel_classes", s.channel_classes},
      {"prunable_classes", s.prunable_classes},
      {"parameter_elements", s.parameter_elements},
      {"prunable_parameter_elements", s.prunable_parameter_elements},
      {"prunable_share", s.prunable_share()},
      {"warnings", s.warnings},
      {"recovered_errors", s.recovered_errors},
      {"completed", s.completed},
  });
  return counts;
}

namespace {

void append_summary(std::string& out, const ReportSummary& s) {
  const nlohmann::ordered_json summary = summary_json(s);
  out += "  \"summary\": {";
  bool first = true;
  for (const auto& [key, value] : summary.items()) {
    out += first ? "" : ", ";
    first = false;
    out += json_text(key) + ": " + value.dump();
  }
  out += "}\n";
}

}  // namespace

double ReportSummary::prunable_share() const {
  if (parameter_elements == 0)
    return 0.0;
  return static_cast<double>(prunable_parameter_elements) / static_cast<double>(parameter_elements);
}

Report build_report(const tensor_trace::Graph& graph, const ParseResult& result,
                    bool with_parameter_labels) {
  const PruneGraphParserState& state = result.state;
  Report report;
  report.graph = &graph;
  report.result = &result;
  ReportSummary& summary = report.summary;

  // The classes are counted here; their slices are gathered only when asked for.
  report.prunable.assign(static_cast<std::size_t>(state.next_label), 0);
  state.for_each_prunable_entry([&](Label label, bool flag) {
    report.prunable[static_cast<std::size_t>(label)] = flag ? 1 : 0;
  });
  std::vector<std::uint8_t> carried(static_cast<std::size_t>(state.next_label), 0);
  report.parameters.reserve(static_cast<std::size_t>(
      std::ranges::count(graph.nodes(), NodeKind::Parameter, &ZavoNode::kind)));
  // With the copy of the parameters' labels made first, they are read from the parse once.
  if (with_parameter_labels) {
    report.parameter_labels_ = copy_parameter_labels(state, [&](auto visit) {
      for (const auto& owned : graph.nodes()) {
        if (owned->kind == NodeKind::Parameter &&
            pruning::engine::utils::has_recorded_labels(state, *owned))
          visit(*owned);
      }
    });
  }
  auto count_class = [&summary](bool prunable) {
    ++summary.channel_classes;
    summary.prunable_classes += prunable ? 1 : 0;
  };
  const ParameterLabels* copy = report.parameter_labels_if_made();
  std::size_t next_copied = 0;  // the first of the copy's dimensions not read yet
  TensorLabels scratch;
  for (const auto& owned : graph.nodes()) {
    const ZavoNode& node = *owned;
    ++summary.nodes;
    if (node.kind == NodeKind::Input)
      ++summary.inputs;
    if (node.kind == NodeKind::Constant)
      ++summary.constants;
    if (node.kind == NodeKind::Call)
      ++summary.calls;
    if (node.kind != NodeKind::Parameter)
      continue;
    ++summary.parameters;
    // A parse that stopped early has not reached the later parameters.
    if (!pruning::engine::utils::has_recorded_labels(state, node))
      continue;
    const auto p = static_cast<std::uint32_t>(report.parameters.size());
    // Dimensions of earlier parameters left unread (beyond their shape) are passed over.
    while (copy && next_copied < copy->dims.size() && copy->dims[next_copied].parameter < p)
      ++next_copied;
    auto from_copy = [&](std::size_t d, auto visit) {
      if (next_copied == copy->dims.size() || copy->dims[next_copied].parameter != p ||
          copy->dims[next_copied].dim != d)
        return;
      const LabelledDimension& at = copy->dims[next_copied++];
      for (std::uint32_t i = at.begin; i < at.end; ++i)
        visit(static_cast<Label>(copy->labels[i]));
    };
    const auto labels =
        copy ? std::span<const DimensionLabels>() : recorded_labels(state, node, scratch);
    auto from_store = [&](std::size_t d, auto visit) {
      if (d < labels.size() && labels[d])
        for_each_label(labels[d], visit);
    };
    report.parameters.push_back(
        copy ? parameter_channels(node, from_copy, report.prunable, carried, count_class)
             : parameter_channels(node, from_store, report.prunable, carried, count_class));
    const auto& channels = report.parameters.back();
    summary.parameter_elements = saturating_add(summary.parameter_elements, channels.elements);
    summary.prunable_parameter_elements =
        saturating_add(summary.prunable_parameter_elements, channels.prunable_elements);
  }
  // Counted first: a graph of a million kept classes would leave the list with room for twice
  // as many.
  report.kept_classes.reserve(static_cast<std::size_t>(std::ranges::count(carried, 2)));
  for (std::size_t label = 0; label < carried.size(); ++label) {
    if (carried[label] == 2)
      report.kept_classes.push_back(static_cast<Label>(label));
  }
  summary.warnings = static_cast<std::int64_t>(result.warnings.size());
  summary.recovered_errors = static_cast<std::int64_t>(result.recovered_errors.size());
  summary.completed = !result.error.has_value();
  return report;
}

const ParameterLabels& Report::parameter_labels() const {
  if (!parameter_labels_)
    parameter_labels_ = copy_parameter_labels(result->state, [this](auto visit) {
      for (const ParameterChannels& parameter : parameters)
        visit(*parameter.parameter);
    });
  return *parameter_labels_;
}

ChannelGroups build_channel_groups(const Report& report) {
  ChannelGroups groups;
  const ParameterLabels& copy = report.parameter_labels();
  // The copy refuses more positions than 32 bits count.
  const std::vector<std::uint32_t>& labels = copy.labels;

  // Positions per label, counted in a first pass and placed in a second, so that the classes
  // come out sorted by label with their slices in file order and no per-class allocation. The
  // positions are those of the report's copy of the parameters' labels.
  std::vector<std::uint32_t> slices_of_label(report.prunable.size(), 0);
  for (const LabelledDimension& dim : copy.dims) {
    groups.segments_.push_back({static_cast<std::uint32_t>(dim.begin),
                                static_cast<std::uint32_t>(dim.end - dim.begin),
                                report.parameters[dim.parameter].parameter, dim.dim});
  }
  for (const std::uint32_t label : labels) {
    if (label >= slices_of_label.size())
      slices_of_label.resize(std::size_t{label} + 1, 0);
    ++slices_of_label[label];
  }

  std::uint32_t total = 0;
  for (std::size_t label = 0; label < slices_of_label.size(); ++label) {
    const std::uint32_t count = slices_of_label[label];
    if (count == 0)
      continue;
    groups.labels_.push_back(static_cast<Label>(label));
    groups.prunable_.push_back(label < report.prunable.size() ? report.prunable[label] : 0);
    // From here on the entry is the label's next free slot.
    slices_of_label[label] = total;
    total += count;
    groups.start_.push_back(total);
  }
  groups.positions_.resize(total);
  for (std::size_t position = 0; position < labels.size(); ++position)
    groups.positions_[slices_of_label[labels[position]]++] = static_cast<std::uint32_t>(position);
  return groups;
}

ChannelSlice ChannelGroups::slice(std::size_t i) const {
  const std::uint32_t position = positions_[i];
  auto segment = std::upper_bound(segments_.begin(), segments_.end(), position,
                                  [](std::uint32_t p, const Segment& s) { return p < s.first; });
  --segment;
  return {segment->parameter, segment->dim, static_cast<std::int64_t>(position - segment->first)};
}

void Report::keep_written(std::shared_ptr<const void> made) const {
  if (keep_what_is_written)
    written_.push_back(std::move(made));
}

const ChannelGroups& Report::groups() const {
  if (!groups_)
    groups_ = build_channel_groups(*this);
  return *groups_;
}

namespace {

// The node's recorded labels: `[null, [0, 1]]` in version 1, list indices in version 2.
template <typename AppendLabels>
void write_nodes(ChunkedWriter& writer, const Report& report, AppendLabels append_labels_of) {
  const PruneGraphParserState& state = report.result->state;
  write_list(writer, "nodes", [&](auto emit) {
    for (const auto& owned : report.graph->nodes()) {
      const ZavoNode& node = *owned;
      if (!pruning::engine::utils::has_recorded_labels(state, node))
        continue;
      emit([&](std::string& o) {
        o += "{\"id\": ";
        append_int(o, node.id);
        o += ", \"name\": ";
        append_json_text(o, node.name);
        o += ", \"labels\": [";
        append_labels_of(o, node);
        o += "]}";
      });
    }
  });
}

// `warnings`, `error` and `recovered_errors`, alike in both versions.
void write_problems(ChunkedWriter& writer, const ParseResult& result) {
  write_list(writer, "warnings", [&](auto emit) {
    for (const NodeWarning& warning : result.warnings) {
      emit([&](std::string& o) {
        o += "{\"node\": ";
        append_int(o, warning.node);
        o += ", \"message\": ";
        append_json_text(o, warning.message);
        o += '}';
      });
    }
  });

  std::string& out = writer.text();
  out += "  \"error\": ";
  if (result.error)
    append_error(out, *result.error);
  else
    out += "null";
  out += ",\n";

  write_list(writer, "recovered_errors", [&](auto emit) {
    for (const NodeError& error : result.recovered_errors)
      emit([&](std::string& o) { append_error(o, error); });
  });
}

void write_version_1(ChunkedWriter& writer, const Report& report) {
  const tensor_trace::Graph& graph = *report.graph;
  const ParseResult& result = *report.result;
  const PruneGraphParserState& state = result.state;
  std::string& out = writer.text();
  out += "{\n  \"format\": \"zavo.report\",\n  \"version\": 1,\n  \"model\": " +
         json_text(graph.model) + ",\n";
  // Reports of the catalogue's rules stay as they always were; others say which rules made them.
  if (result.rules != RuleSet::Core) {
    out += "  \"rules\": \"";
    out += pruning::engine::node_handlers::rule_set_name(result.rules);
    out += "\",\n";
  }

  TensorLabels scratch;
  write_nodes(writer, report, [&](std::string& o, const ZavoNode& node) {
    const auto labels = recorded_labels(state, node, scratch);
    for (std::size_t d = 0; d < labels.size(); ++d) {
      if (d)
        o += ", ";
      append_labels(o, labels[d]);
    }
  });

  write_list(writer, "is_prunable", [&](auto emit) {
    state.for_each_prunable_entry([&](Label label, bool prunable) {
      emit([&](std::string& o) {
        o += '[';
        append_int(o, label);
        o += ", ";
        o += json_boolean(prunable);
        o += ']';
      });
    });
  });

  write_problems(writer, result);

  // A class can hold thousands of slices of few parameters: quote each name once.
  auto quoted = std::make_shared<std::vector<std::string>>(graph.size());
  std::vector<std::string>& quoted_names = *quoted;
  for (const ParameterChannels& parameter : report.parameters) {
    quoted_names[static_cast<std::size_t>(parameter.parameter->id)] =
        json_text(parameter.parameter->name);
  }
  const ChannelGroups& groups = report.groups();
  auto described = std::make_shared<Reasons>(graph, result, report.prunable);
  Reasons& reasons = *described;
  reasons.read_parameters_from(report);
  write_list(writer, "groups", [&](auto emit) {
    for (const ChannelGroup& group : groups) {
      emit([&](std::string& o) {
        o += "{\"label\": ";
        append_int(o, group.label);
        o += ", \"prunable\": ";
        o += json_boolean(group.prunable);
        o += ", \"channels\": [";
        for (std::size_t i = 0; i < group.channels.size(); ++i) {
          const ChannelSlice slice = group.channels[i];
          if (i)
            o += ", ";
          o += "{\"node\": ";
          o += quoted_names[static_cast<std::size_t>(slice.parameter->id)];
          o += ", \"dim\": ";
          append_int(o, slice.dim);
          o += ", \"index\": ";
          append_int(o, slice.index);
          o += '}';
          if ((i & 1023) == 1023)
            writer.maybe_flush();
        }
        o += "]";
        append_group_reason(o, reasons, group);
        o += "}";
      });
    }
  });
  append_dropped(out, report);
  writer.maybe_flush();
  report.keep_written(std::move(quoted));
  report.keep_written(std::move(described));
}

// Runs `work` on a thread of its own when `threads` allows one, else at once on this one; `join`
// waits for it and raises what it raised. A worker shares nothing mutable with the thread that
// started it until it is joined, and is joined before this goes away, also when that thread
// leaves by an exception.
class Worker {
 public:
  Worker(unsigned threads, std::function<void()> work) : work_(std::move(work)) {
    if (threads < 2) {
      run();
      return;
    }
    thread_ = std::jthread([this] { run(); });
  }
  void join() {
    if (thread_.joinable())
      thread_.join();
    if (failure_)
      std::rethrow_exception(std::exchange(failure_, nullptr));
  }

 private:
  void run() {
    try {
      work_();
    } catch (...) {
      failure_ = std::current_exception();
    }
  }
  std::function<void()> work_;
  std::exception_ptr failure_;
  std::jthread thread_;  // last: joined before the rest goes
};

void write_version_2(ChunkedWriter& writer, const Report& report, unsigned threads) {
  const tensor_trace::Graph& graph = *report.graph;
  const ParseResult& result = *report.result;
  const PruneGraphParserState& state = result.state;
  std::string& out = writer.text();

  // The tied sets are made from the report's copy of the parameters' labels, beside everything
  // below that reads the label store (the lists, the nodes, the kept classes' reasons).
  const ParameterLabels& copy = report.parameter_labels();
  auto made_sets = std::make_shared<TiedSets>();
  TiedSets& tied = *made_sets;
  Worker sets(threads, [&tied, &report] { tied = tied_set_members(report); });
  kept_reasons(report);
  out += "{\n  \"format\": \"zavo.report\",\n  \"version\": 2,\n  \"rules\": \"";
  out += pruning::engine::node_handlers::rule_set_name(result.rules);
  out += "\",\n  \"model\": " + json_text(graph.model) + ",\n";

  // Each distinct label list once, in the order the nodes first hold them; the nodes refer to
  // them by index (-1 for a dimension without labels).
  auto made_lists = std::make_shared<LabelListTable>();
  LabelListTable& lists = *made_lists;
  std::vector<std::int64_t> node_lists;
  TensorLabels scratch;
  // A parameter's labels are read from the report's copy (in the same order as the nodes).
  std::size_t copied = 0;
  write_list(writer, "lists", [&](auto emit) {
    for (const auto& owned : graph.nodes()) {
      if (!pruning::engine::utils::has_recorded_labels(state, *owned))
        continue;
      const auto dims = recorded_labels(state, *owned, scratch);
      for (std::size_t d = 0; d < dims.size(); ++d) {
        const DimensionLabels& labels = dims[d];
        std::span<const std::uint32_t> copied_labels;
        if (copied < copy.dims.size()) {
          const LabelledDimension& at = copy.dims[copied];
          if (report.parameters[at.parameter].parameter == owned && at.dim == d) {
            copied_labels = std::span(copy.labels).subspan(at.begin, at.end - at.begin);
            ++copied;
          }
        }
        node_lists.push_back(labels ? static_cast<std::int64_t>(lists.add(labels, copied_labels))
                                    : -1);
        if (!labels || !lists.added())
          continue;
        emit([&](std::string& o) {
          o += '[';
          bool first = true;
          for (const LabelListTable::Item& item : lists.items()) {
            o += first ? "" : ", ";
            first = false;
            if (item.list < 0) {
              append_run(o, item.run);
            } else {
              o += "{\"list\": ";
              append_int(o, item.list);
              o += '}';
            }
          }
          o += ']';
        });
      }
    }
  });
  std::size_t next = 0;
  write_nodes(writer, report, [&](std::string& o, const ZavoNode& node) {
    const std::size_t dims = pruning::engine::utils::get_prune_labels(state, node, {});
    for (std::size_t d = 0; d < dims; ++d, ++next) {
      if (d)
        o += ", ";
      if (node_lists[next] < 0)
        o += "null";
      else
        append_int(o, node_lists[next]);
    }
  });

  // `is_prunable`, split by its flag into two sorted sequences of labels.
  RunBuilder prunable, kept;
  state.for_each_prunable_entry(
      [&](Label label, bool flag) { (flag ? prunable : kept).push(label); });
  out += "  \"prunable_labels\": ";
  append_runs(out, prunable.finish());
  out += ",\n  \"kept_labels\": ";
  append_runs(out, kept.finish());
  out += ",\n";
  writer.maybe_flush();

  write_problems(writer, result);

  sets.join();
  add_class_runs(tied, report);
  write_list(writer, "reasons", [&](auto emit) {
    for (const KeptReason& reason : kept_reasons(report).table)
      emit([&](std::string& o) { append_reason_json(o, graph, reason); });
  });
  write_list(writer, "sets", [&](auto emit) {
    for (const TiedSet& set : tied.sets)
      emit([&](std::string& o) { append_set_json(o, tied, set); });
  });
  write_list(writer, "classes", [&](auto emit) {
    for (const ClassRun& run : tied.classes)
      emit([&](std::string& o) { append_class_json(o, run); });
  });

  write_list(writer, "dropped", [&](auto emit) {
    for (const DroppedLabels& drop : result.dropped) {
      emit([&](std::string& o) {
        o += "{\"node\": ";
        append_json_text(o, graph.node(static_cast<std::size_t>(drop.node)).name);
        o += ", \"labels\": ";
        append_runs(o, runs_of(drop.labels));
        o += ", \"parameters\": [";
        for (std::size_t i = 0; i < drop.parameters.size(); ++i) {
          o += i ? ", " : "";
          append_json_text(o, graph.node(static_cast<std::size_t>(drop.parameters[i])).name);
        }
        o += "]}";
      });
    }
  });
  report.keep_written(std::move(made_sets));
  report.keep_written(std::move(made_lists));
}

}  // namespace

unsigned default_report_threads() {
  return std::thread::hardware_concurrency() >= 2 ? 2 : 1;
}

void write_report_json(const Report& report, const std::function<void(std::string_view)>& write,
                       ReportVersion version, unsigned threads) {
  ChunkedWriter writer(write);
  if (version == ReportVersion::V1)
    write_version_1(writer, report);
  else
    write_version_2(writer, report, threads);
  append_summary(writer.text(), report.summary);
  writer.text() += "}\n";
  writer.flush();
}

std::string report_json(const Report& report, ReportVersion version, unsigned threads) {
  std::string text;
  write_report_json(
      report, [&text](std::string_view piece) { text += piece; }, version, threads);
  return text;
}

}  // namespace zavo::graph
