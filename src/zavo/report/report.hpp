#pragma once
// The report of one parse: the final labels of every node, the prunability of every label, the
// warnings and the error, and the channel classes of the parameters. Everything that reaches
// the report is in file order or sorted, so two parses of one graph give the same bytes.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>

#include <nlohmann/json_fwd.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zavo/parse/parse.hpp"
#include "zavo/pruning/engine/utils.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::graph {

using pruning::engine::utils::Label;

// The node's stored label lists, one per dimension its record has (none for a node without a
// record), read into `scratch` so that reading node after node allocates nothing once it has
// grown. Valid until the next call with the same scratch.
inline std::span<const pruning::engine::utils::DimensionLabels> recorded_labels(
    const pruning::engine::utils::PruneGraphParserState& state, const tensor_trace::ZavoNode& node,
    pruning::engine::utils::TensorLabels& scratch) {
  scratch.resize(pruning::engine::utils::get_prune_labels(state, node, {}));
  pruning::engine::utils::get_prune_labels(state, node, scratch);
  return scratch;
}

// Calls `visit(label)` for each label of `labels` as it is now, in order, without copying them.
template <typename Visit>
void for_each_label(const pruning::engine::utils::DimensionLabels& labels, Visit&& visit) {
  labels.owner()->for_each(labels.id(), visit);
}

// One slice of a parameter tensor: index `index` of dimension `dim`.
struct ChannelSlice {
  const tensor_trace::ZavoNode* parameter;
  std::int64_t dim;
  std::int64_t index;
};

struct Report;

// A forward iterator over `Owner`'s elements by index, each made by `owner[i]` (by value).
template <typename Owner, typename Value>
class IndexIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = Value;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = Value;
  IndexIterator() = default;
  IndexIterator(const Owner* owner, std::size_t i) : owner_(owner), i_(i) {}
  Value operator*() const { return (*owner_)[i_]; }
  IndexIterator& operator++() {
    ++i_;
    return *this;
  }
  IndexIterator operator++(int) {
    IndexIterator before = *this;
    ++i_;
    return before;
  }
  bool operator==(const IndexIterator& other) const { return i_ == other.i_; }

 private:
  const Owner* owner_ = nullptr;
  std::size_t i_ = 0;
};

class ChannelGroups;
ChannelGroups build_channel_groups(const Report& report);

// The slices of one class, parameters in file order, then dimension, then index. Stored as one
// 32-bit number per slice and decoded when read, so iterate by value.
class ChannelRange {
 public:
  ChannelRange(const ChannelGroups* groups, std::size_t begin, std::size_t end)
      : groups_(groups), begin_(begin), end_(end) {}
  std::size_t size() const { return end_ - begin_; }
  bool empty() const { return begin_ == end_; }
  ChannelSlice operator[](std::size_t i) const;

  using const_iterator = IndexIterator<ChannelRange, ChannelSlice>;
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

 private:
  const ChannelGroups* groups_;
  std::size_t begin_;
  std::size_t end_;
};

// A channel class carried by parameters, and every slice that pruning it removes.
struct ChannelGroup {
  Label label;
  bool prunable;
  ChannelRange channels;
};

// The channel classes of a report, sorted by label. Every parameter position (one index of one
// labelled dimension of one parameter) has a number, in file order; the classes are one array
// of those numbers, grouped: four bytes per slice.
class ChannelGroups {
 public:
  std::size_t size() const { return labels_.size(); }
  bool empty() const { return labels_.empty(); }
  ChannelGroup operator[](std::size_t i) const {
    return {labels_[i], prunable_[i] != 0, ChannelRange(this, start_[i], start_[i + 1])};
  }
  // The number of slices of every class together.
  std::size_t slices() const { return positions_.size(); }
  // The slice at `position` of the array of every class's slices.
  ChannelSlice slice(std::size_t position) const;

  using const_iterator = IndexIterator<ChannelGroups, ChannelGroup>;
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

 private:
  friend ChannelGroups build_channel_groups(const Report& report);
  // A labelled dimension of a parameter: its positions are numbered from `first`.
  struct Segment {
    std::uint32_t first;
    std::uint32_t size;
    const tensor_trace::ZavoNode* parameter;
    std::int64_t dim;
  };
  std::vector<Segment> segments_;  // in position order
  std::vector<Label> labels_;
  std::vector<std::uint8_t> prunable_;
  std::vector<std::uint32_t> start_{0};  // class i holds positions_[start_[i], start_[i + 1])
  std::vector<std::uint32_t> positions_;
};

inline ChannelSlice ChannelRange::operator[](std::size_t i) const {
  return groups_->slice(begin_ + i);
}

struct DimensionChannels {
  std::int64_t size;
  std::int64_t prunable;  // indices whose label is prunable
};

struct ParameterChannels {
  const tensor_trace::ZavoNode* parameter;
  std::vector<DimensionChannels> dims;  // empty when the shape is unknown
  // Element counts saturate at the largest value instead of wrapping.
  std::uint64_t elements;
  // Elements that pruning some prunable class removes.
  std::uint64_t prunable_elements;
};

struct ReportSummary {
  std::int64_t nodes = 0;
  std::int64_t inputs = 0;
  std::int64_t constants = 0;
  std::int64_t parameters = 0;
  std::int64_t calls = 0;
  std::int64_t channel_classes = 0;
  std::int64_t prunable_classes = 0;
  std::uint64_t parameter_elements = 0;
  std::uint64_t prunable_parameter_elements = 0;
  std::int64_t warnings = 0;
  std::int64_t recovered_errors = 0;
  // True when every node was handled (the parse did not stop on an error).
  bool completed = false;

  // prunable_parameter_elements / parameter_elements; 0 without parameter elements.
  double prunable_share() const;
};

struct KeptReasons;

// A labelled dimension of a parameter as the report read it: its labels are
// `ParameterLabels::labels[begin, end)`.
struct LabelledDimension {
  std::uint32_t parameter;  // index into `Report::parameters`
  std::uint32_t dim;
  std::uint32_t begin;
  std::uint32_t end;
};

// The labels of every parameter dimension that holds any, read once from the parse: the
// dimensions in file order, then dimension order.
struct ParameterLabels {
  std::vector<LabelledDimension> dims;
  std::vector<std::uint32_t> labels;
};

struct Report {
  const tensor_trace::Graph* graph = nullptr;
  const ParseResult* result = nullptr;
  std::vector<ParameterChannels> parameters;  // those with recorded labels, in file order
  ReportSummary summary;
  // The labels of the classes that parameters carry and that are kept, ascending.
  std::vector<Label> kept_classes;
  // By label (every label of the parse): 1 when it is prunable.
  std::vector<std::uint8_t> prunable;

  // The parameters' labels, copied out of the parse on first use: the report file and the
  // channel classes read them, the printed summary does not. What is made from them (the tied
  // sets) never reads the parse's label store, whose reads are not safe alongside other readers;
  // a thread that hands them to another makes them first.
  const ParameterLabels& parameter_labels() const;
  // The same when made already; else none.
  const ParameterLabels* parameter_labels_if_made() const {
    return parameter_labels_ ? &*parameter_labels_ : nullptr;
  }

  // The channel classes carried by parameters, sorted by label: made on first use (the printed
  // summary needs only their counts).
  const ChannelGroups& groups() const;

  // When set, what writing the report file makes for itself (the tied sets, the table of label
  // lists, the described reasons) is held with the report once written rather than freed piece
  // by piece: for a process that ends after writing and lets the system take its memory back.
  bool keep_what_is_written = false;
  // Holds `made` for as long as the report when `keep_what_is_written`; else lets it go.
  void keep_written(std::shared_ptr<const void> made) const;

 private:
  friend const KeptReasons& kept_reasons(const Report& report);
  friend Report build_report(const tensor_trace::Graph& graph, const ParseResult& result,
                             bool with_parameter_labels);
  friend const KeptReasons* kept_reasons_if_made(const Report& report);
  mutable std::optional<ParameterLabels> parameter_labels_;
  mutable std::optional<ChannelGroups> groups_;
  mutable std::shared_ptr<const KeptReasons> kept_reasons_;
  mutable std::vector<std::shared_ptr<const void>> written_;
};

// The report of `result`, a parse of `graph`; it refers to both, which must outlive it. With
// `with_parameter_labels` the copy of the parameters' labels is made at once, for a report file
// that will be written: the parameters' labels are then read from the parse once, not twice.
Report build_report(const tensor_trace::Graph& graph, const ParseResult& result,
                    bool with_parameter_labels = false);

// The summary's fields as a JSON object, in the report's order.
nlohmann::ordered_json summary_json(const ReportSummary& summary);

// The layouts of the report file. Version 1 lists every class with every slice it removes and
// every label of every node; version 2 writes each tied set of dimensions once, with how their
// indices map onto its classes, each distinct label list once, and sequences as runs, so that
// its size follows the structure of the model rather than its channel count.
enum class ReportVersion { V1 = 1, V2 = 2 };

// The threads a report is written with by default: two where the machine has two processors,
// else one.
unsigned default_report_threads();

// The report as JSON (format "zavo.report"), one line per entry of each list, handed to `write`
// piece by piece as it is produced (pieces of about a megabyte), so that no copy of the whole
// text is ever held. With two `threads`, version 2 makes its tied sets on a second thread while
// this one writes what comes before them; `write` is only ever called on this thread, and the
// bytes are the same with one thread or two.
void write_report_json(const Report& report, const std::function<void(std::string_view)>& write,
                       ReportVersion version = ReportVersion::V2,
                       unsigned threads = default_report_threads());
// The same text as one string.
std::string report_json(const Report& report, ReportVersion version = ReportVersion::V2,
                        unsigned threads = default_report_threads());

}  // namespace zavo::graph
