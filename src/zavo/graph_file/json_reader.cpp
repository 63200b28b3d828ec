#include "zavo/graph_file/json_reader.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <unordered_set>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <nlohmann/json.hpp>

#include "zavo/graph_file/graph_file_error.hpp"

namespace zavo::graph::json_reader {
namespace {

using Json = nlohmann::json;

// The length of the UTF-8 sequence that `lead` begins, or 0 when no sequence begins with it.
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80)
    return 1;
  if (lead >= 0xC2 && lead <= 0xDF)
    return 2;
  if (lead >= 0xE0 && lead <= 0xEF)
    return 3;
  if (lead >= 0xF0 && lead <= 0xF4)
    return 4;
  return 0;
}

// Whether the `length` bytes at `i` are a well-formed UTF-8 sequence (overlong forms, surrogates
// and code points above U+10FFFF are not).
bool well_formed(std::string_view bytes, std::size_t i, std::size_t length) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the first continuation byte
  switch (byte(0)) {
    case 0xE0:
      low = 0xA0;
      break;
    case 0xED:
      high = 0x9F;
      break;
    case 0xF0:
      low = 0x90;
      break;
    case 0xF4:
      high = 0x8F;
      break;
    default:
      break;
  }
  if (byte(1) < low || byte(1) > high)
    return false;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(k) < 0x80 || byte(k) > 0xBF)
      return false;
  }
  return true;
}

// The bytes of a source as the parser reads them: one at a time, the next chunk fetched when the
// current one is used up.
struct Cursor {
  Source& source;
  const char* pos = nullptr;
  const char* end = nullptr;

  bool at_end() {
    if (pos != end)
      return false;
    std::string_view chunk = source.next();
    pos = chunk.data();
    end = pos + chunk.size();
    return pos == end;
  }
};

// An input iterator over a cursor; the default-constructed one is the end.
class CursorIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CursorIterator() = default;
  explicit CursorIterator(Cursor* cursor) : cursor_(cursor) {}

  const char& operator*() const { return *cursor_->pos; }
  CursorIterator& operator++() {
    ++cursor_->pos;
    return *this;
  }
  CursorIterator operator++(int) {
    CursorIterator before = *this;
    ++cursor_->pos;
    return before;
  }
  friend bool operator==(const CursorIterator& a, const CursorIterator& b) {
    return a.done() == b.done();
  }

 private:
  bool done() const { return cursor_ == nullptr || cursor_->at_end(); }

  Cursor* cursor_ = nullptr;
};

}  // namespace

std::string_view type_name(Type type) {
  switch (type) {
    case Type::Null:
      return "null";
    case Type::Boolean:
      return "boolean";
    case Type::Integer:
      return "integer";
    case Type::Number:
      return "number";
    case Type::String:
      return "string";
    case Type::Array:
      return "array";
    case Type::Object:
      return "object";
  }
  return "value";
}

std::string quoted(std::string_view text) {
  return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Position::path_through(std::size_t frames) const {
  if (frames == 0)
    return "top level";
  std::string out;
  for (std::size_t i = 0; i < frames; ++i) {
    const Frame& frame = frames_[i];
    if (frame.is_array) {
      out += '[' + std::to_string(frame.count) + ']';
    } else {
      if (!out.empty())
        out += '.';
      out += frame.key;
    }
  }
  return out;
}

void Position::open(bool is_array) {
  if (frames_.size() == depth_)
    frames_.emplace_back();
  Frame& frame = frames_[depth_];
  frame.is_array = is_array;
  frame.count = 0;
  frame.key.clear();
  ++depth_;
}

Source::Source(std::string_view text) : text_(text) {}

Source::Source(std::istream& in, std::size_t chunk_size)
    : in_(&in),
      buffer_(std::make_unique<char[]>(chunk_size)),
      chunk_size_(chunk_size),
      start_(in.tellg()) {}

bool Source::can_restart() const {
  return !in_ || start_ != std::streampos(-1);
}

bool Source::restart() {
  if (!can_restart())
    return false;
  if (in_) {
    in_->clear();
    if (!in_->seekg(start_))
      return false;
  }
  carried_ = carried_from_ = 0;
  finished_ = false;
  offset_ = line_start_ = 0;
  line_ = 1;
  error_.reset();
  return true;
}

std::string_view Source::next() {
  if (finished_ || error_)
    return {};
  if (!in_) {
    finished_ = true;
    std::size_t good = check(text_, /*at_end=*/true);
    return error_ ? std::string_view{} : text_.substr(0, good);
  }
  char* data = buffer_.get();
  for (;;) {
    // A sequence cut by the end of the last chunk moves to the front, to be completed.
    if (carried_ > 0)
      std::memmove(data, data + carried_from_, carried_);
    in_->read(data + carried_, static_cast<std::streamsize>(chunk_size_ - carried_));
    if (in_->bad()) {
      error_ = std::string("cannot read: ") + std::strerror(errno);
      return {};
    }
    std::size_t size = carried_ + static_cast<std::size_t>(in_->gcount());
    bool at_end = in_->eof();
    std::size_t good = check(std::string_view(data, size), at_end);
    if (error_)
      return {};
    finished_ = at_end;
    carried_ = size - good;
    carried_from_ = good;
    if (good > 0 || at_end)
      return std::string_view(data, good);
  }
}

void Source::drain() {
  while (!next().empty()) {
  }
}

std::size_t Source::check(std::string_view bytes, bool at_end) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (!count_lines_) {
      // Eight bytes at a time while they are all ASCII.
      while (i + 8 <= bytes.size()) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, sizeof word);
        if (word & 0x8080808080808080u)
          break;
        i += 8;
      }
      if (i == bytes.size())
        break;
    }
    auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      if (lead == '\n' && count_lines_) {
        ++line_;
        line_start_ = offset_ + i + 1;
      }
      ++i;
      continue;
    }
    std::size_t length = sequence_length(lead);
    if (length > 0 && i + length > bytes.size() && !at_end)
      break;  // cut by the end of the chunk: checked with the next one
    if (length == 0 || i + length > bytes.size() || !well_formed(bytes, i, length)) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      std::string hex = {'0', 'x', kHex[lead >> 4], kHex[lead & 0xF]};
      std::size_t offset = offset_ + i;
      error_ = "line " + std::to_string(line_) + ", column " +
               std::to_string(offset - line_start_ + 1) + ": not UTF-8 (byte " + hex + ")";
      break;
    }
    i += length;
  }
  offset_ += i;
  return i;
}

// Turns the parser's events into the handler's, checking the reader's guarantees as it goes and
// keeping the position for messages. The first problem stops the parser.
class EventReader {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  explicit EventReader(Handler& handler) : handler_(handler) {}

  bool null() { return scalar(Scalar{}); }
  bool boolean(bool value) {
    Scalar scalar_value;
    scalar_value.type = Type::Boolean;
    scalar_value.boolean = value;
    return scalar(scalar_value);
  }
  bool number_integer(number_integer_t value) { return integer(value); }
  bool number_unsigned(number_unsigned_t value) {
    if (value > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max()))
      return fail_here("integer " + std::to_string(value) + " is out of range");
    return integer(static_cast<std::int64_t>(value));
  }
  bool number_float(number_float_t value, const string_t& text) {
    // The parser hands integers that do not fit in 64 bits over as floating point; the text
    // tells them apart from numbers written with a fraction or an exponent.
    if (text.find_first_of(".eE") == string_t::npos)
      return fail_here("integer " + text + " is out of range");
    if (!std::isfinite(value))
      return fail_here("number " + text + " is out of range");
    Scalar scalar_value;
    scalar_value.type = Type::Number;
    scalar_value.number = value;
    return scalar(scalar_value);
  }
  bool string(string_t& value) {
    Scalar scalar_value;
    scalar_value.type = Type::String;
    scalar_value.text = value;
    return scalar(scalar_value);
  }
  bool binary(binary_t&) { return fail_here("binary values are not allowed"); }

  bool start_object(std::size_t) { return open(Type::Object); }
  bool start_array(std::size_t) { return open(Type::Array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(string_t& key) {
    KeySet& keys = keys_[position_.depth_ - 1];
    bool repeated = false;
    // Small objects are searched; large ones get a key index so that reading stays linear.
    if (!keys.indexed && keys.small.size() >= 16) {
      keys.index.insert(keys.small.begin(), keys.small.end());
      keys.indexed = true;
    }
    if (keys.indexed) {
      repeated = !keys.index.insert(key).second;
    } else {
      for (const auto& seen : keys.small)
        repeated = repeated || seen == key;
      if (!repeated)
        keys.small.push_back(key);
    }
    if (repeated) {
      return fail(position_.path_through(position_.depth_ - 1) + ": duplicate key \"" + key + "\"");
    }
    position_.frames_[position_.depth_ - 1].key.assign(key);
    return true;
  }

  bool parse_error(std::size_t, const std::string& last_token,
                   const nlohmann::detail::exception& error) {
    // The parser reports a number too large for a double as an out-of-range error.
    if (dynamic_cast<const nlohmann::detail::out_of_range*>(&error))
      return fail_here("number " + last_token + " is out of range");
    // The message reads "[json.exception.parse_error.101] parse error at line 1, column 2: ...".
    std::string_view what = error.what();
    std::string_view marker = "parse error at ";
    auto at = what.find(marker);
    if (at == std::string_view::npos)
      return fail("not JSON: " + std::string(what));
    std::string_view rest = what.substr(at + marker.size());
    auto colon = rest.find(": ");
    if (colon == std::string_view::npos)
      return fail("not JSON: " + std::string(rest));
    return fail(std::string(rest.substr(0, colon)) +
                ": not JSON: " + std::string(rest.substr(colon + 2)));
  }

  const std::optional<std::string>& error() const { return error_; }

 private:
  // The keys read so far in one open object.
  struct KeySet {
    std::vector<std::string> small;
    std::unordered_set<std::string> index;
    bool indexed = false;
  };

  bool integer(std::int64_t value) {
    Scalar scalar_value;
    scalar_value.type = Type::Integer;
    scalar_value.integer = value;
    return scalar(scalar_value);
  }

  bool scalar(const Scalar& value) {
    handler_.scalar(position_, value);
    position_.advance();
    return true;
  }

  bool open(Type container) {
    std::size_t depth = position_.depth_;
    if (depth >= kMaxNesting)
      return fail_here("nested deeper than " + std::to_string(kMaxNesting) + " levels");
    handler_.start(position_, container);
    if (keys_.size() == depth)
      keys_.emplace_back();
    position_.open(container == Type::Array);
    KeySet& keys = keys_[depth];
    keys.small.clear();
    if (keys.indexed) {
      keys.index.clear();
      keys.indexed = false;
    }
    return true;
  }

  bool close() {
    position_.close();
    handler_.end(position_);
    position_.advance();
    return true;
  }

  bool fail_here(const std::string& message) { return fail(position_.path() + ": " + message); }

  bool fail(std::string message) {
    if (!error_)
      error_ = std::move(message);
    return false;
  }

  Handler& handler_;
  Position position_;
  std::vector<KeySet> keys_;  // parallel to the position's frames
  std::optional<std::string> error_;
};

// --- Lexer -----------------------------------------------------------------------------------

namespace {

// Where the run of bytes from `p` that a string holds as they are ends: at the first quote,
// backslash or control character, or at the last seven bytes before `end`, which the caller
// looks at one by one. Sixteen bytes are looked at together where the processor can, then
// eight.
const char* plain_run_end(const char* p, const char* end) {
  if constexpr (std::endian::native != std::endian::little)
    return p;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i last_control = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(bytes, last_control), bytes);
    const auto marks = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)), control)));
    if (marks)
      return p + std::countr_zero(marks);
    p += 16;
  }
#endif
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  // The high bit of each byte that is zero (`zero`) or below 0x20 (the third term); a borrow
  // can mark bytes above a marked one, never below it, so the lowest mark is exact.
  auto zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const std::uint64_t marks = zero(word ^ (kOnes * std::uint64_t{'"'})) |
                                zero(word ^ (kOnes * std::uint64_t{'\\'})) |
                                ((word - kOnes * 0x20) & ~word & kHighs);
    if (marks)
      return p + std::countr_zero(marks) / 8;
    p += 8;
  }
  return p;
}

}  // namespace

Lexer::Lexer(Source& source) : source_(source) {
  // A reader that gives up on any problem has no use for line numbers.
  source_.count_lines(false);
}

Lexer::~Lexer() {
  source_.count_lines(true);
}

bool Lexer::fill() {
  const std::string_view chunk = source_.next();
  p_ = chunk.data();
  end_ = p_ + chunk.size();
  return !chunk.empty();
}

int Lexer::peek_past_space() {
  for (;;) {
    while (p_ != end_) {
      const char c = *p_;
      if (c != ' ' && c != '\n' && c != '\r' && c != '\t')
        return static_cast<unsigned char>(c);
      ++p_;
    }
    if (!fill())
      return kEnd;
  }
}

int Lexer::next_byte() {
  if (p_ == end_ && !fill())
    return kEnd;
  return static_cast<unsigned char>(*p_++);
}

bool Lexer::finished() {
  return peek() == kEnd && !source_.error();
}

bool Lexer::string(std::string_view& text) {
  if (peek() != '"')
    return false;
  const char* start = ++p_;
  bool gathered = false;  // part of it is in token_ already
  for (;;) {
    while (p_ != end_) {
      p_ = plain_run_end(p_, end_);
      if (p_ == end_)
        break;
      const char c = *p_;
      if (c == '"') {
        if (gathered) {
          token_.append(start, p_);
          text = token_;
        } else {
          text = std::string_view(start, static_cast<std::size_t>(p_ - start));
        }
        ++p_;
        return true;
      }
      if (c == '\\') {
        if (!gathered)
          token_.clear();
        token_.append(start, p_);
        gathered = true;
        ++p_;
        if (!escape())
          return false;
        start = p_;
        continue;
      }
      if (static_cast<unsigned char>(c) < 0x20)
        return false;
      ++p_;
    }
    if (!gathered)
      token_.clear();
    token_.append(start, p_);
    gathered = true;
    if (!fill())
      return false;
    start = p_;
  }
}

bool Lexer::key(std::string_view& text) {
  if (!string(text))
    return false;
  while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
    ++p_;
  // The colon is in the next chunk, which takes the place of this one: the key is kept first.
  if (p_ == end_ && text.data() != token_.data()) {
    token_.assign(text);
    text = token_;
  }
  return consume(':');
}

bool Lexer::escape() {
  const int c = next_byte();
  switch (c) {
    case '"':
    case '\\':
    case '/':
      token_ += static_cast<char>(c);
      return true;
    case 'b':
      token_ += '\b';
      return true;
    case 'f':
      token_ += '\f';
      return true;
    case 'n':
      token_ += '\n';
      return true;
    case 'r':
      token_ += '\r';
      return true;
    case 't':
      token_ += '\t';
      return true;
    case 'u':
      break;
    default:
      return false;
  }
  std::uint32_t code = 0;
  if (!hex4(code) || (code >= 0xDC00 && code <= 0xDFFF))
    return false;
  if (code >= 0xD800 && code <= 0xDBFF) {
    std::uint32_t low = 0;
    if (next_byte() != '\\' || next_byte() != 'u' || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
      return false;
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  auto put = [this](std::uint32_t byte) { token_ += static_cast<char>(byte); };
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xC0 | (code >> 6));
    put(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    put(0xE0 | (code >> 12));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  } else {
    put(0xF0 | (code >> 18));
    put(0x80 | ((code >> 12) & 0x3F));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  }
  return true;
}

bool Lexer::hex4(std::uint32_t& code) {
  for (int i = 0; i < 4; ++i) {
    const int c = next_byte();
    std::uint32_t digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<std::uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    else
      return false;
    code = code * 16 + digit;
  }
  return true;
}

bool Lexer::scalar(Scalar& value) {
  const int c = peek();
  value = Scalar{};
  if (c == '"') {
    value.type = Type::String;
    return string(value.text);
  }
  if (c == '-' || (c >= '0' && c <= '9'))
    return number(value);
  if (c != 't' && c != 'f' && c != 'n')
    return false;
  const std::string_view word = c == 't' ? "true" : c == 'f' ? "false" : "null";
  for (char expected : word) {
    if (next_byte() != static_cast<unsigned char>(expected))
      return false;
  }
  value.type = c == 'n' ? Type::Null : Type::Boolean;
  value.boolean = c == 't';
  return true;
}

namespace {

// Whether `c` may be part of a number token.
bool in_number(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

}  // namespace

bool Lexer::short_integer(std::int64_t& value) {
  // Eighteen digits always fit in 64 bits.
  const char* stop = end_ - p_ > 18 ? p_ + 18 : end_;
  const char* q = p_;
  std::int64_t integer = 0;
  while (q != stop && static_cast<unsigned char>(*q - '0') < 10) {
    integer = integer * 10 + (*q - '0');
    ++q;
  }
  if (q == p_ || q == end_ || in_number(*q) || (q - p_ > 1 && *p_ == '0'))
    return false;
  p_ = q;
  value = integer;
  return true;
}

bool Lexer::integer(std::int64_t& value) {
  const int c = peek();
  if (c >= '0' && c <= '9' && short_integer(value))
    return true;
  Scalar scalar_value;
  if (!scalar(scalar_value) || scalar_value.type != Type::Integer)
    return false;
  value = scalar_value.integer;
  return true;
}

// An integer that fits in 64 bits, or a finite floating-point number, in JSON's grammar:
// -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
bool Lexer::number(Scalar& value) {
  if (short_integer(value.integer)) {
    value.type = Type::Integer;
    return true;
  }
  const char* start = p_;
  while (p_ != end_ && in_number(*p_))
    ++p_;
  std::string_view text(start, static_cast<std::size_t>(p_ - start));
  if (p_ == end_) {
    token_.assign(text);
    while (fill()) {
      start = p_;
      while (p_ != end_ && in_number(*p_))
        ++p_;
      token_.append(start, p_);
      if (p_ != end_)
        break;
    }
    text = token_;
  }
  // The common case first: a few digits.
  if (text.size() <= 18 && (text.size() == 1 || text[0] != '0')) {
    std::int64_t integer = 0;
    bool digits_only = true;
    for (char c : text) {
      digits_only = digits_only && c >= '0' && c <= '9';
      integer = integer * 10 + (c - '0');
    }
    if (digits_only) {
      value.type = Type::Integer;
      value.integer = integer;
      return true;
    }
  }
  std::size_t i = text[0] == '-' ? 1 : 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
      ++i;
    return i - from;
  };
  const std::size_t int_start = i;
  const std::size_t int_digits = digits();
  if (int_digits == 0 || (int_digits > 1 && text[int_start] == '0'))
    return false;
  bool integer = true;
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (digits() == 0)
      return false;
    integer = false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
      ++i;
    if (digits() == 0)
      return false;
    integer = false;
  }
  if (i != text.size())
    return false;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (integer) {
    value.type = Type::Integer;
    auto [end, ec] = std::from_chars(first, last, value.integer);
    return ec == std::errc() && end == last;
  }
  value.type = Type::Number;
  auto [end, ec] = std::from_chars(first, last, value.number);
  return ec == std::errc() && end == last && std::isfinite(value.number);
}

bool Lexer::skip(std::size_t depth_left) {
  const int c = peek();
  if (c != '[' && c != '{') {
    Scalar value;
    return scalar(value);
  }
  if (depth_left == 0)
    return false;
  ++p_;
  const bool array = c == '[';
  if (consume(array ? ']' : '}'))
    return true;
  Keys keys;
  do {
    if (!array) {
      std::string_view key;
      if (!string(key) || !keys.add(key) || !consume(':'))
        return false;
    }
    if (!skip(depth_left - 1))
      return false;
  } while (consume(','));
  return consume(array ? ']' : '}');
}

bool Lexer::Keys::add(std::string_view key) {
  // Keys are short: a cheap hash of their bytes (FNV-1a) is enough to tell them apart.
  std::size_t hash = 0xcbf29ce484222325u;
  for (char c : key)
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  if (count_ < small_.size()) {
    if (std::find(small_.begin(), small_.begin() + count_, hash) != small_.begin() + count_)
      return false;
    small_[count_++] = hash;
    return true;
  }
  if (index_.empty())
    index_.insert(small_.begin(), small_.end());
  return index_.insert(hash).second;
}

void read(Source& source, Handler& handler) {
  EventReader reader(handler);
  Cursor cursor{source};
  bool parsed = Json::sax_parse(CursorIterator(&cursor), CursorIterator(), &reader,
                                Json::input_format_t::json, /*strict=*/true);
  if (!parsed || reader.error())
    source.drain();
  if (source.error())
    throw GraphFileError(*source.error());
  if (!parsed || reader.error())
    throw GraphFileError(reader.error().value_or("not JSON"));
}

}  // namespace zavo::graph::json_reader
