#include "zavo/graph/json_reader.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "zavo/graph/graph_file.hpp"

namespace zavo::graph::json_reader {
namespace {

// Line and column (both from 1, the column counted in bytes) of byte `offset` of `text`.
std::string line_column(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(offset - line_start + 1);
}

// The length of the well-formed UTF-8 sequence at `i`, or 0 when there is none (overlong forms,
// surrogates and code points above U+10FFFF are ill-formed).
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  if (lead < 0x80)
    return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0)
      low = 0xA0;
    if (lead == 0xED)
      high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0)
      low = 0x90;
    if (lead == 0xF4)
      high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size())
    return 0;
  if (byte(i + 1) < low || byte(i + 1) > high)
    return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
      return 0;
  }
  return length;
}

void check_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = utf8_sequence_length(text, i);
    if (length == 0) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      auto b = static_cast<unsigned char>(text[i]);
      std::string hex = {'0', 'x', kHex[b >> 4], kHex[b & 0xF]};
      throw GraphFileError(line_column(text, i) + ": not UTF-8 (byte " + hex + ")");
    }
    i += length;
  }
}

// Builds the document from the parser's events, checking the reader's guarantees as it goes and
// keeping the path of the value being read for messages.
class DocumentBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  bool null() { return add(Json(nullptr)) != nullptr; }
  bool boolean(bool value) { return add(Json(value)) != nullptr; }
  bool number_integer(number_integer_t value) { return add(Json(value)) != nullptr; }
  bool number_unsigned(number_unsigned_t value) {
    if (value > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max()))
      return fail_here("integer " + std::to_string(value) + " is out of range");
    return add(Json(static_cast<std::int64_t>(value))) != nullptr;
  }
  bool number_float(number_float_t value, const string_t& text) {
    // The parser hands integers that do not fit in 64 bits over as floating point; the text
    // tells them apart from numbers written with a fraction or an exponent.
    if (text.find_first_of(".eE") == string_t::npos)
      return fail_here("integer " + text + " is out of range");
    if (!std::isfinite(value))
      return fail_here("number " + text + " is out of range");
    return add(Json(value)) != nullptr;
  }
  bool string(string_t& value) { return add(Json(std::move(value))) != nullptr; }
  bool binary(binary_t&) { return fail_here("binary values are not allowed"); }

  bool start_object(std::size_t) { return open(Json::object()); }
  bool start_array(std::size_t) { return open(Json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(string_t& key) {
    Frame& frame = frames_.back();
    auto& object = frame.container->get_ref<Json::object_t&>();
    bool repeated = false;
    // Small objects are searched; large ones get a key index so that reading stays linear.
    if (!frame.indexed && object.size() >= 16) {
      for (const auto& item : object)
        frame.keys.insert(item.first);
      frame.indexed = true;
    }
    if (frame.indexed) {
      repeated = !frame.keys.insert(key).second;
    } else {
      for (const auto& item : object)
        repeated = repeated || item.first == key;
    }
    if (repeated)
      return fail(path_text(current_path()) + ": duplicate key \"" + key + "\"");
    frame.key = std::move(key);
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

  Json take_document() { return std::move(root_); }
  const std::optional<std::string>& error() const { return error_; }

 private:
  struct Frame {
    Json* container;
    Segment segment;  // how the container is reached from its parent
    std::string key;  // objects: the key of the value being read
    std::unordered_set<std::string> keys;
    bool indexed = false;
  };

  // The step from the innermost open container to the value being read.
  Segment next_segment() const {
    const Frame& frame = frames_.back();
    if (frame.container->is_array())
      return Segment{.key = {}, .index = frame.container->size(), .is_key = false};
    return Segment{.key = frame.key, .index = 0, .is_key = true};
  }

  // The path of the value being read.
  std::vector<Segment> current_path() const {
    std::vector<Segment> path;
    for (std::size_t i = 1; i < frames_.size(); ++i)
      path.push_back(frames_[i].segment);
    return path;
  }

  std::vector<Segment> next_path() const {
    std::vector<Segment> path = current_path();
    if (!frames_.empty())
      path.push_back(next_segment());
    return path;
  }

  Json* add(Json value) {
    if (frames_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& container = *frames_.back().container;
    if (container.is_array()) {
      container.get_ref<Json::array_t&>().push_back(std::move(value));
      return &container.get_ref<Json::array_t&>().back();
    }
    // The key was checked for repeats when it was read; append without a second search.
    auto& object = container.get_ref<Json::object_t&>();
    object.emplace_back(std::move(frames_.back().key), std::move(value));
    return &object.back().second;
  }

  bool open(Json container) {
    if (frames_.size() >= kMaxNesting) {
      return fail_here("nested deeper than " + std::to_string(kMaxNesting) + " levels");
    }
    Segment segment = frames_.empty() ? Segment{} : next_segment();
    Json* added = add(std::move(container));
    frames_.push_back(Frame{.container = added,
                            .segment = std::move(segment),
                            .key = {},
                            .keys = {},
                            .indexed = false});
    return true;
  }

  bool close() {
    frames_.pop_back();
    return true;
  }

  bool fail_here(const std::string& message) {
    return fail(path_text(next_path()) + ": " + message);
  }

  bool fail(std::string message) {
    if (!error_)
      error_ = std::move(message);
    return false;
  }

  Json root_;
  std::vector<Frame> frames_;
  std::optional<std::string> error_;
};

}  // namespace

std::string path_text(std::span<const Segment> path) {
  if (path.empty())
    return "top level";
  std::string out;
  for (const auto& segment : path) {
    if (segment.is_key) {
      if (!out.empty())
        out += '.';
      out += segment.key;
    } else {
      out += '[' + std::to_string(segment.index) + ']';
    }
  }
  return out;
}

std::string_view type_name(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return "boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return "integer";
    case Json::value_t::number_float:
      return "number";
    case Json::value_t::string:
      return "string";
    case Json::value_t::array:
      return "array";
    case Json::value_t::object:
      return "object";
    default:
      return "value";
  }
}

Json parse_document(std::string_view text) {
  check_utf8(text);
  DocumentBuilder builder;
  bool ok = Json::sax_parse(text.data(), text.data() + text.size(), &builder,
                            Json::input_format_t::json, /*strict=*/true);
  if (!ok || builder.error())
    throw GraphFileError(builder.error().value_or("not JSON"));
  return builder.take_document();
}

}  // namespace zavo::graph::json_reader
