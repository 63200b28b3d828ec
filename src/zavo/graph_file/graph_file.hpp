#pragma once
// Graph files: a traced graph stored as JSON (format "zavo.graph", version 1). Reading either
// yields a complete graph or raises `GraphFileError` with one message that names the place of
// the first problem (`nodes[12].args[0]: node 40 is used before it is defined`); a file is never
// half read.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "zavo/graph_file/graph_file_error.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::graph {

// Bounds that keep a hostile or broken file from exhausting the memory (`kMaxNesting` guards the
// stack).
// The longest node name, in bytes. Messages about a node quote the names of the nodes it uses,
// so that one long name could otherwise be copied into a message for every use.
inline constexpr std::size_t kMaxNameLength = 1024;
// The largest number of dimensions of one shape. Handlers keep a label entry per dimension for
// every node they record, so a node's cost follows its shape's length.
inline constexpr std::size_t kMaxDimensions = 64;
// The largest size of one dimension.
inline constexpr std::int64_t kMaxDimensionSize = 2'147'483'647;
// The node kinds a graph file may use, as an unknown kind's message lists them.
inline constexpr std::string_view kNodeKinds = "input, parameter, call or constant";

// How a file is read. The fast reader goes through the file once, straight into the graph, and
// hands a file with any problem to the checking reader, which reads it again and names the
// problem: both give the same graph, or the same message. The choice is for tests.
enum class GraphReader { Fast, Checking };

// Reads the graph in `text`, the whole content of a graph file.
tensor_trace::Graph read_graph_text(std::string_view text, GraphReader reader = GraphReader::Fast);

// Reads the graph file at `path`.
tensor_trace::Graph read_graph_file(const std::filesystem::path& path,
                                    GraphReader reader = GraphReader::Fast);

// Everything `graph` holds, as text: per node its id, kind, name, shape and, for a call, its
// operation, operation name and arguments (each by type and text form, nodes by name), then the
// outputs. Two readings give the same text exactly when they give the same graph.
std::string graph_text(const tensor_trace::Graph& graph);

// Reads a graph from `in`, `chunk_size` bytes at a time (a file: 64 KiB); the stream is read again
// from where it started when the fast reader hands it on.
tensor_trace::Graph read_graph_stream(std::istream& in, GraphReader reader = GraphReader::Fast,
                                      std::size_t chunk_size = std::size_t{1} << 16);

// How a graph file is read while its nodes are parsed.
struct OverlapOptions {
  // The smallest file read on a thread of its own; a smaller one is read whole first, in less
  // time than a thread takes to pay for itself.
  std::uintmax_t thread_from_bytes = std::uintmax_t{1} << 20;
  // The nodes handed over at a time: the parse is woken once per batch.
  std::size_t batch = 2048;
};

// A graph file read while its nodes are parsed (`parse_graph(feed)`): a large file on a thread
// of its own, which builds the nodes into the graph and hands them over in batches, a small one
// whole on the first request. The graph, its error and its message are the ones
// `read_graph_file` gives: a file the fast reader gives up on is read again by the checking
// reader once the first reading has ended.
class GraphFileReading final : public tensor_trace::NodeFeed {
 public:
  // Opens the file at `path` and starts reading it; raises `GraphFileError` when it cannot be
  // opened.
  explicit GraphFileReading(const std::filesystem::path& path, OverlapOptions overlap = {});
  // Stops a reading still under way, and waits for its thread.
  ~GraphFileReading() override;
  GraphFileReading(const GraphFileReading&) = delete;
  GraphFileReading& operator=(const GraphFileReading&) = delete;

  std::span<const tensor_trace::ZavoNode* const> after(std::size_t seen) override;
  bool complete() const override;
  double read_share() const override;
  const tensor_trace::Graph& whole() override;
  bool read_again() const override;
  // The whole graph, moved out (its nodes stay where they are); raises as `whole` does.
  tensor_trace::Graph take();

 private:
  struct Reading;
  std::unique_ptr<Reading> reading_;
};

}  // namespace zavo::graph
