#pragma once
// JSON text read as a stream of events, for the graph reader: no document is built, so turning a
// file into a graph holds only the open arrays and objects besides the graph itself. Beyond plain
// JSON the reader guarantees what the graph reader relies on: the text is UTF-8, no object
// repeats a key, every integer fits in 64 bits, every number is finite, and nothing is nested
// deeper than `kMaxNesting`. A text that breaks any of these raises `GraphFileError` naming the
// place; the handler may have seen the events before that place, so it must keep what it builds
// until the whole text is read.
//
// Beside the events, a `Lexer` hands out the tokens of a text to a reader that knows the layout
// it expects and checks them as `read` does, many times faster, but without a message: a reader
// that meets a problem starts again (`Source::restart`) with `read`, which names it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
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

  // A value begins an array or object (`depth()` counts it afterwards).
  void open(bool is_array);
  // The innermost array or object ends.
  void close() { --depth_; }
  // The value being read is complete: the next one has the next index.
  void advance() {
    if (depth_ > 0)
      ++frames_[depth_ - 1].count;
  }

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
  // The bytes of the text handed out so far.
  std::size_t offset() const { return offset_; }

  // Whether the text can be read again from its start (a text in memory, a file).
  bool can_restart() const;
  // Goes back to the start of the text, forgetting any problem; false when it cannot.
  bool restart();
  // Whether lines are counted for the message of a byte that is not UTF-8 (on by default). A
  // reader that starts again on any problem does without.
  void count_lines(bool on) { count_lines_ = on; }

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
  bool count_lines_ = true;
  std::streampos start_ = -1;  // of a stream that can go back to it
  std::optional<std::string> error_;
};

// Reads the JSON text of `source`, one event per value to `handler`; raises `GraphFileError` at
// the first problem of the text, after reading the rest of it for bytes that are not UTF-8
// (which are reported first wherever they are).
void read(Source& source, Handler& handler);

// The tokens of the JSON text of `source`, checked as `read` checks them. Every call skips the
// whitespace before its token and returns false, with no message, at a problem of the text (or
// at a token that is not what the caller asked for); the caller then gives up on this reading.
class Lexer {
 public:
  static constexpr int kEnd = -1;

  explicit Lexer(Source& source);
  Lexer(const Lexer&) = delete;
  Lexer& operator=(const Lexer&) = delete;
  ~Lexer();

  // The first byte of the next token, not consumed; kEnd at the end of the text.
  int peek() {
    if (p_ != end_ && static_cast<unsigned char>(*p_) > ' ')
      return static_cast<unsigned char>(*p_);
    // One space between tokens, the common case, is passed over here.
    if (end_ - p_ >= 2 && *p_ == ' ' && static_cast<unsigned char>(p_[1]) > ' ')
      return static_cast<unsigned char>(*++p_);
    return peek_past_space();
  }
  // Consumes the next token when it is the one-byte token `c` (`{`, `}`, `[`, `]`, `:`, `,`).
  bool consume(char c) {
    if (peek() != static_cast<unsigned char>(c))
      return false;
    ++p_;
    return true;
  }
  // Consumes `bytes` when the text goes on with them, whitespace before them aside, and they
  // lie whole in what is read already; false otherwise, which is no problem of the text: the
  // caller reads the same tokens one by one instead.
  bool take(std::string_view bytes) {
    if (peek() == kEnd || static_cast<std::size_t>(end_ - p_) < bytes.size() ||
        std::memcmp(p_, bytes.data(), bytes.size()) != 0)
      return false;
    p_ += bytes.size();
    return true;
  }
  // The next token, a string; `text` is valid until the next call.
  bool string(std::string_view& text);
  // The next tokens, a string and the colon after it: an object's key, `text` valid until the
  // next call (though the colon was read).
  bool key(std::string_view& text);
  // The next token, a string, a number or a literal.
  bool scalar(Scalar& value);
  // The next token, an integer.
  bool integer(std::int64_t& value);
  // The next value, whatever it holds, checked and passed over: nested at most `depth_left`
  // arrays and objects deep, no object repeating a key.
  bool skip(std::size_t depth_left);
  // Whether the text ends here (whitespace aside) and was UTF-8 throughout.
  bool finished();

  // The keys of one object, for telling a repeated key: keys are told apart by a hash of
  // them, and two that share one are taken for a repeat.
  class Keys {
   public:
    // False when `key` may repeat an earlier key of the object.
    bool add(std::string_view key);

   private:
    std::array<std::size_t, 16> small_;
    std::size_t count_ = 0;
    std::unordered_set<std::size_t> index_;  // past 16 keys: every hash
  };

 private:
  bool fill();
  int peek_past_space();
  // A number of at most 18 digits that ends before the chunk does, into `value`; false (nothing
  // consumed) for any other token.
  bool short_integer(std::int64_t& value);
  int next_byte();
  bool escape();
  bool hex4(std::uint32_t& code);
  bool number(Scalar& value);

  Source& source_;
  const char* p_ = nullptr;
  const char* end_ = nullptr;
  std::string token_;  // a token cut by the end of a chunk, or a string with escapes
};

}  // namespace zavo::graph::json_reader
