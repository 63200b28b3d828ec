#pragma once
// JSON text read as a stream of events, for the graph reader: no document is built, so turning a
// file into a graph holds only the open arrays and objects besides the graph itself. Beyond plain
// JSON the reader guarantees what the graph reader relies on: the text is UTF-8, no object
// repeats a key, every integer fits in 64 bits, every number is finite, and nothing is nested
// deeper than `kMaxNesting`. A text that breaks any of these raises `GraphFileError` naming the
// place; the handler may have seen the events before that place, so it must keep what it builds
// until the whole text is read.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zavo::graph::json_reader {

enum class Type : unsigned char { Null, Boolean, Integer, Number, String, Array, Object };

// `null`, `boolean`, `integer`, `number`, `string`, `array`, `object`.
std::string_view type_name(Type type);

// `text` as a JSON string (quoted and escaped), for messages.
std::string quoted(std::string_view text);

// A value that is neither an array nor an object.
struct Scalar {
  Type type = Type::Null;
  bool boolean = false;
  std::int64_t integer = 0;
  double number = 0;
  std::string_view text;  // strings; valid during the event only
};

// Where the reader is: the open arrays and objects and, in each, the key or index of the value
// being read.
class Position {
 public:
  // The number of open arrays and objects.
  std::size_t depth() const { return depth_; }
  // The key of the value being read, in the innermost open object.
  const std::string& key() const { return frames_[depth_ - 1].key; }
  // The index of the value being read, in the innermost open array.
  std::size_t index() const { return frames_[depth_ - 1].count; }
  // The path of the value being read, as messages name it: `nodes[3].args[0]`, or `top level`
  // outside every array and object.
  std::string path() const { return path_through(depth_); }

 private:
  friend class EventReader;

  struct Frame {
    bool is_array = false;
    std::size_t count = 0;  // values read so far
    std::string key;        // objects: the key of the value being read
  };

  std::string path_through(std::size_t frames) const;

  std::vector<Frame> frames_;  // the first `depth_` are open; the rest keep their buffers
  std::size_t depth_ = 0;
};

// Receives the events of a text; `at` names the value each event is about.
class Handler {
 public:
  // A value that is not an array or object.
  virtual void scalar(const Position& at, const Scalar& value) = 0;
  // An array or object begins (`at` does not include it yet).
  virtual void start(const Position& at, Type container) = 0;
  // The innermost array or object ends (`at` no longer includes it).
  virtual void end(const Position& at) = 0;

 protected:
  ~Handler() = default;
};

// The bytes of a JSON text, from memory or from a stream, handed out in chunks. Each chunk is
// checked to be UTF-8 before any of its bytes is handed out; the text ends early at a byte that
// is not, or at a failed read, and `error()` says which.
class Source {
 public:
  explicit Source(std::string_view text);
  // Reads `in` in chunks of `chunk_size` bytes; the text is never held whole.
  explicit Source(std::istream& in, std::size_t chunk_size = std::size_t{1} << 16);

  // The next chunk; empty at the end of the text.
  std::string_view next();
  // Reads and checks the rest of the text, so that a byte that is not UTF-8 is found after the
  // reader stopped early.
  void drain();
  const std::optional<std::string>& error() const { return error_; }

 private:
  // The length of the prefix of `bytes` made of whole UTF-8 sequences; sets `error_` at the
  // first ill-formed one. A sequence cut by the end of `bytes` ends the prefix unless `at_end`.
  std::size_t check(std::string_view bytes, bool at_end);

  std::string_view text_;
  std::istream* in_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  std::size_t chunk_size_ = 0;
  std::size_t carried_ = 0;       // bytes of a sequence cut by the end of the last chunk
  std::size_t carried_from_ = 0;  // where they are in the buffer
  bool finished_ = false;
  std::size_t offset_ = 0;      // of the next byte to check, from the start of the text
  std::size_t line_ = 1;        // of that byte
  std::size_t line_start_ = 0;  // offset of the first byte of that line
  std::optional<std::string> error_;
};

// Reads the JSON text of `source`, one event per value to `handler`; raises `GraphFileError` at
// the first problem of the text, after reading the rest of it for bytes that are not UTF-8
// (which are reported first wherever they are).
void read(Source& source, Handler& handler);

}  // namespace zavo::graph::json_reader
