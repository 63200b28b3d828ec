#include "graph_generator.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <stdexcept>
#include <unordered_map>

namespace zavo::benchmarks {
namespace {

using Id = std::size_t;
using Shape = std::vector<std::size_t>;

// Positions of a tensor whose every dimension of size two or more carries labels: what the
// parse records for a parameter.
std::uint64_t labelled(std::initializer_list<std::size_t> shape) {
  std::uint64_t sum = 0;
  for (std::size_t size : shape)
    sum += size > 1 ? size : 0;
  return sum;
}

// Writes one node per line in the exporter's key order. The text is collected in a buffer
// that goes to the file whenever it grows past a megabyte, so graphs of any size are written
// in constant memory.
class Writer {
 public:
  Writer(std::FILE* out, std::string_view model) : out_(out) {
    text_ = "{\n  \"format\": \"zavo.graph\",\n  \"version\": 1,\n  \"model\": \"";
    text_ += model;
    text_ += "\",\n  \"nodes\": [\n";
  }

  Id input(std::string_view name, const Shape& shape) {
    begin("input", name);
    end(shape);
    return count_++;
  }

  Id parameter(std::string_view name, const Shape& shape) {
    begin("parameter", name);
    end(shape);
    return count_++;
  }

  // A call: `args` and `kwargs` are JSON text ("[...]", "{...}"); a null `shape` is written
  // for results that are not tensors.
  Id call(std::string_view name, std::string_view op, std::string_view args,
          std::string_view kwargs, const std::optional<Shape>& shape) {
    begin("call", name);
    text_ += ", \"op\": \"";
    text_ += op;
    text_ += "\", \"args\": ";
    text_ += args;
    text_ += ", \"kwargs\": ";
    text_ += kwargs;
    if (shape)
      end(*shape);
    else
      text_ += ", \"shape\": null}";
    return count_++;
  }

  void finish(Id output) {
    text_ += "\n  ],\n  \"outputs\": [" + std::to_string(output) + "]\n}\n";
    flush();
  }

  std::string take() { return std::move(text_); }

 private:
  void begin(std::string_view kind, std::string_view name) {
    if (count_)
      text_ += ",\n";
    if (out_ && text_.size() > (1u << 20))
      flush();
    text_ += "    {\"id\": ";
    append_number(text_, count_);
    text_ += ", \"kind\": \"";
    text_ += kind;
    text_ += "\", \"name\": \"";
    text_ += name;
    text_ += "\"";
  }

  void end(const Shape& shape) {
    text_ += ", \"shape\": [";
    for (std::size_t i = 0; i < shape.size(); ++i) {
      if (i)
        text_ += ", ";
      append_number(text_, shape[i]);
    }
    text_ += "]}";
  }

  void flush() {
    if (!out_)
      return;
    if (std::fwrite(text_.data(), 1, text_.size(), out_) != text_.size())
      throw std::runtime_error("cannot write the graph file");
    text_.clear();
  }

 public:
  static void append_number(std::string& text, std::size_t value) {
    std::array<char, 24> digits{};
    auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    text.append(digits.data(), end);
  }

 private:
  std::FILE* out_;
  std::string text_;
  Id count_ = 0;
};

std::string ref(Id id) {
  std::string text = "{\"node\": ";
  Writer::append_number(text, id);
  return text + "}";
}

std::string num(std::size_t value) {
  return std::to_string(value);
}

// A floating-point number as Python's repr writes it: the shortest text that reads back
// exactly, always with a fraction or an exponent.
std::string real(double value) {
  std::array<char, 32> digits{};
  auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  std::string text(digits.data(), end);
  if (text.find_first_of(".e") == std::string::npos)
    text += ".0";
  return text;
}

std::string slice(std::string_view start, std::string_view stop) {
  return "{\"const\": \"slice(" + std::string(start) + ", " + std::string(stop) +
         ", None)\", \"type\": \"slice\"}";
}

const std::string kFullSlice = slice("None", "None");
const std::string kEllipsis = "{\"const\": \"Ellipsis\", \"type\": \"ellipsis\"}";
const std::string kFloat32 = "{\"const\": \"torch.float32\", \"type\": \"torch.dtype\"}";

// Names made unique the way the exporter makes them: a repeated base gets _1, _2, ...
class Names {
 public:
  std::string operator()(const std::string& base) {
    std::size_t& n = seen_[base];
    std::string name = n ? base + "_" + num(n) : base;
    ++n;
    return name;
  }

 private:
  std::unordered_map<std::string, std::size_t> seen_;
};

// --- convolutional families -------------------------------------------------------------

constexpr std::size_t kSpatial = 8;  // activations are 8 x 8

Shape activation(std::size_t channels) {
  return {1, channels, kSpatial, kSpatial};
}

Id conv(Writer& w, const std::string& name, Id x, std::size_t in, std::size_t out,
        std::size_t kernel, std::size_t groups) {
  Id weight = w.parameter(name + ".weight", {out, in / groups, kernel, kernel});
  std::string padding = kernel == 1 ? "[0, 0]" : "[1, 1]";
  return w.call(name, "torch.nn.functional.conv2d",
                "[" + ref(x) + ", " + ref(weight) + ", null, [1, 1], " + padding + ", [1, 1], " +
                    num(groups) + "]",
                "{}", activation(out));
}

Id batch_norm(Writer& w, const std::string& name, Id x, std::size_t channels) {
  std::array<Id, 4> p{};
  const std::array<const char*, 4> fields = {"running_mean", "running_var", "weight", "bias"};
  for (std::size_t i = 0; i < p.size(); ++i)
    p[i] = w.parameter(name + "." + fields[i], {channels});
  return w.call(name, "torch.nn.functional.batch_norm",
                "[" + ref(x) + ", " + ref(p[0]) + ", " + ref(p[1]) + "]",
                "{\"weight\": " + ref(p[2]) + ", \"bias\": " + ref(p[3]) +
                    ", \"training\": false, \"momentum\": 0.1, \"eps\": 1e-05}",
                activation(channels));
}

Id relu(Writer& w, const std::string& name, Id x, std::size_t channels) {
  return w.call(name, "torch.nn.functional.relu", "[" + ref(x) + "]", "{\"inplace\": true}",
                activation(channels));
}

Id stem(Writer& w, std::size_t channels) {
  Id x = w.input("x", {1, 3, kSpatial, kSpatial});
  return conv(w, "stem", x, 3, channels, 3, 1);
}

// Per node of a convolution of `in` -> `out` channels (kernel k, weight and output), of a
// batch norm (four parameters and output) and of a relu.
std::uint64_t conv_positions(std::size_t in, std::size_t out, std::size_t kernel,
                             std::size_t groups) {
  return labelled({out, in / groups, kernel, kernel}) + out;
}
std::uint64_t norm_relu_positions(std::size_t channels) {
  return 4 * labelled({channels}) + 2 * channels;
}

void write_residual(Writer& w, const ResidualConfig& c) {
  Id prev = stem(w, c.channels);
  for (std::size_t b = 0; b < c.blocks; ++b) {
    std::string p = "layers." + num(b) + ".";
    Id x = prev;
    if (c.plain) {
      x = conv(w, p + "conv", x, c.channels, c.channels, 3, 1);
    } else {
      x = conv(w, p + "conv1", x, c.channels, c.channels, 3, 1);
      x = batch_norm(w, p + "bn1", x, c.channels);
      x = relu(w, p + "relu", x, c.channels);
      x = conv(w, p + "conv2", x, c.channels, c.channels, 3, 1);
    }
    std::string operands = c.input_first ? ref(prev) + ", " + ref(x) : ref(x) + ", " + ref(prev);
    prev =
        w.call(p + "add", "torch.Tensor.add", "[" + operands + "]", "{}", activation(c.channels));
  }
  w.finish(prev);
}

std::uint64_t residual_positions(const ResidualConfig& c) {
  std::uint64_t block = c.plain ? conv_positions(c.channels, c.channels, 3, 1) + c.channels
                                : 2 * conv_positions(c.channels, c.channels, 3, 1) +
                                      norm_relu_positions(c.channels) + c.channels;
  return conv_positions(3, c.channels, 3, 1) + c.blocks * block;
}

void write_ladder(Writer& w, const LadderConfig& c) {
  std::vector<Id> maps = {stem(w, c.stem)};
  std::size_t channels = c.stem;
  std::string tensors;
  for (std::size_t b = 0; b < c.blocks; ++b) {
    std::string p = "layers." + num(b) + ".";
    if (b)
      tensors += ", ";
    tensors += ref(maps.back());
    Id x = w.call(p + "cat", "torch.cat", "[[" + tensors + "], 1]", "{}", activation(channels));
    x = conv(w, p + "conv", x, channels, c.growth, 3, 1);
    x = batch_norm(w, p + "norm", x, c.growth);
    maps.push_back(relu(w, p + "relu", x, c.growth));
    channels += c.growth;
  }
  w.finish(maps.back());
}

std::uint64_t ladder_positions(const LadderConfig& c) {
  std::uint64_t sum = conv_positions(3, c.stem, 3, 1);
  for (std::size_t b = 0; b < c.blocks; ++b) {
    std::size_t channels = c.stem + b * c.growth;
    sum += channels + conv_positions(channels, c.growth, 3, 1) + norm_relu_positions(c.growth);
  }
  return sum;
}

void write_depthwise(Writer& w, const DepthwiseConfig& c) {
  Id prev = stem(w, c.channels);
  for (std::size_t b = 0; b < c.blocks; ++b) {
    std::string p = "layers." + num(b) + ".";
    Id x = conv(w, p + "depthwise", prev, c.channels, c.channels, 3, c.channels);
    x = conv(w, p + "pointwise", x, c.channels, c.channels, 1, 1);
    x = batch_norm(w, p + "bn", x, c.channels);
    prev = relu(w, p + "relu", x, c.channels);
  }
  w.finish(prev);
}

std::uint64_t depthwise_positions(const DepthwiseConfig& c) {
  std::uint64_t block = conv_positions(c.channels, c.channels, 3, c.channels) +
                        conv_positions(c.channels, c.channels, 1, 1) +
                        norm_relu_positions(c.channels);
  return conv_positions(3, c.channels, 3, 1) + c.blocks * block;
}

// --- decoder ----------------------------------------------------------------------------

// One decoder layer or the model's top level: the exporter names a call after the module
// that makes it, adding the operation's name inside modules with children.
class DecoderWriter {
 public:
  DecoderWriter(Writer& w, const DecoderConfig& c) : w_(w), c_(c), head_dim_(c.width / c.heads) {}

  void write() {
    const std::size_t t = c_.seq;
    Id x = w_.input("x", {1, t});
    w_.call(top_("shape"), "torch.Tensor.shape.__get__", "[" + ref(x) + "]", "{}", std::nullopt);
    Id embed_weight = w_.parameter("embed_tokens.weight", {c_.vocab, c_.width});
    Id h = w_.call(top_("embed_tokens"), "torch.nn.functional.embedding",
                   "[" + ref(x) + ", " + ref(embed_weight) + "]",
                   "{\"padding_idx\": null, \"max_norm\": null, \"norm_type\": 2.0, "
                   "\"scale_grad_by_freq\": false, \"sparse\": false}",
                   hidden(c_.width));
    std::string to_t = slice("None", num(t));
    Id cos_table = w_.parameter("rope_cos", {t, head_dim_});
    cos_ = w_.call(top_("getitem"), "torch.Tensor.__getitem__",
                   "[" + ref(cos_table) + ", " + to_t + "]", "{}", Shape{t, head_dim_});
    Id sin_table = w_.parameter("rope_sin", {t, head_dim_});
    sin_ = w_.call(top_("getitem"), "torch.Tensor.__getitem__",
                   "[" + ref(sin_table) + ", " + to_t + "]", "{}", Shape{t, head_dim_});
    if (!c_.sdpa) {
      Id mask_table = w_.parameter("causal_mask", {t, t});
      mask_ = w_.call(top_("getitem"), "torch.Tensor.__getitem__",
                      "[" + ref(mask_table) + ", [" + to_t + ", " + to_t + "]]", "{}", Shape{t, t});
    }
    for (std::size_t layer = 0; layer < c_.layers; ++layer)
      h = write_layer(layer, h);
    h = rms_norm(top_, "norm", h);
    w_.finish(linear(top_, "lm_head", "lm_head", h, c_.width, c_.vocab));
  }

 private:
  Shape hidden(std::size_t features) const { return {1, c_.seq, features}; }
  Shape heads(std::size_t n) const { return {1, n, c_.seq, head_dim_}; }

  Id linear(Names& names, const std::string& module, const std::string& name, Id x, std::size_t in,
            std::size_t out) {
    Id weight = w_.parameter(module + ".weight", {out, in});
    return w_.call(names(name), "torch.nn.functional.linear",
                   "[" + ref(x) + ", " + ref(weight) + ", null]", "{}", hidden(out));
  }

  // RMS norm, a leaf module: every call is named after it.
  Id rms_norm(Names& names, const std::string& module, Id x) {
    Shape stat = {1, c_.seq, 1};
    Id squared =
        w_.call(names(module), "torch.Tensor.pow", "[" + ref(x) + ", 2]", "{}", hidden(c_.width));
    Id variance = w_.call(names(module), "torch.Tensor.mean", "[" + ref(squared) + ", -1]",
                          "{\"keepdim\": true}", stat);
    Id shifted =
        w_.call(names(module), "torch.Tensor.add", "[" + ref(variance) + ", 1e-06]", "{}", stat);
    Id scale = w_.call(names(module), "torch.rsqrt", "[" + ref(shifted) + "]", "{}", stat);
    Id normed = w_.call(names(module), "torch.Tensor.mul", "[" + ref(x) + ", " + ref(scale) + "]",
                        "{}", hidden(c_.width));
    Id weight = w_.parameter(module + ".weight", {c_.width});
    return w_.call(names(module), "torch.Tensor.mul", "[" + ref(weight) + ", " + ref(normed) + "]",
                   "{}", hidden(c_.width));
  }

  // view to heads and transpose(1, 2)
  Id split_heads(Names& names, const std::string& a, Id x, std::size_t n) {
    Id viewed =
        w_.call(names(a + "view"), "torch.Tensor.view",
                "[" + ref(x) + ", 1, " + num(c_.seq) + ", " + num(n) + ", " + num(head_dim_) + "]",
                "{}", Shape{1, c_.seq, n, head_dim_});
    return w_.call(names(a + "transpose"), "torch.Tensor.transpose", "[" + ref(viewed) + ", 1, 2]",
                   "{}", heads(n));
  }

  // x * cos + rotate_half(x) * sin
  Id rotary(Names& names, const std::string& a, Id x, std::size_t n) {
    std::size_t half = head_dim_ / 2;
    Shape half_shape = {1, n, c_.seq, half};
    Id cos_part = w_.call(names(a + "mul"), "torch.Tensor.mul",
                          "[" + ref(x) + ", " + ref(cos_) + "]", "{}", heads(n));
    w_.call(names(a + "shape"), "torch.Tensor.shape.__get__", "[" + ref(x) + "]", "{}",
            std::nullopt);
    Id x1 = w_.call(names(a + "getitem"), "torch.Tensor.__getitem__",
                    "[" + ref(x) + ", [" + kEllipsis + ", " + slice("None", num(half)) + "]]", "{}",
                    half_shape);
    Id x2 = w_.call(names(a + "getitem"), "torch.Tensor.__getitem__",
                    "[" + ref(x) + ", [" + kEllipsis + ", " + slice(num(half), "None") + "]]", "{}",
                    half_shape);
    Id negated =
        w_.call(names(a + "neg"), "torch.Tensor.__neg__", "[" + ref(x2) + "]", "{}", half_shape);
    Id rotated = w_.call(names(a + "cat"), "torch.cat", "[[" + ref(negated) + ", " + ref(x1) + "]]",
                         "{\"dim\": -1}", heads(n));
    Id sin_part = w_.call(names(a + "mul"), "torch.Tensor.mul",
                          "[" + ref(rotated) + ", " + ref(sin_) + "]", "{}", heads(n));
    return w_.call(names(a + "add"), "torch.Tensor.add",
                   "[" + ref(cos_part) + ", " + ref(sin_part) + "]", "{}", heads(n));
  }

  // Key/value heads repeated to the query heads: x[:, :, None].expand(...).reshape(...)
  Id repeat_kv(Names& names, const std::string& a, Id x) {
    std::size_t rep = c_.heads / c_.kv_heads;
    if (rep == 1)
      return x;
    w_.call(names(a + "shape"), "torch.Tensor.shape.__get__", "[" + ref(x) + "]", "{}",
            std::nullopt);
    Shape expanded = {1, c_.kv_heads, rep, c_.seq, head_dim_};
    Shape inserted = {1, c_.kv_heads, 1, c_.seq, head_dim_};
    Id indexed = w_.call(names(a + "getitem"), "torch.Tensor.__getitem__",
                         "[" + ref(x) + ", [" + kFullSlice + ", " + kFullSlice + ", null, " +
                             kFullSlice + ", " + kFullSlice + "]]",
                         "{}", inserted);
    Id expand = w_.call(names(a + "expand"), "torch.Tensor.expand",
                        "[" + ref(indexed) + ", 1, " + num(c_.kv_heads) + ", " + num(rep) + ", " +
                            num(c_.seq) + ", " + num(head_dim_) + "]",
                        "{}", expanded);
    return w_.call(names(a + "reshape"), "torch.Tensor.reshape",
                   "[" + ref(expand) + ", 1, " + num(c_.heads) + ", " + num(c_.seq) + ", " +
                       num(head_dim_) + "]",
                   "{}", heads(c_.heads));
  }

  Id write_layer(std::size_t layer, Id h) {
    Names names;
    const std::string l = "layers." + num(layer) + ".";
    const std::string a = l + "self_attn.";
    const std::size_t q_width = c_.heads * head_dim_;
    const std::size_t kv_width = c_.kv_heads * head_dim_;

    Id x = rms_norm(names, l + "input_layernorm", h);
    w_.call(names(a + "size"), "torch.Tensor.size", "[" + ref(x) + "]", "{}", std::nullopt);
    Id q = split_heads(names, a, linear(names, a + "q_proj", a + "q_proj", x, c_.width, q_width),
                       c_.heads);
    Id k = split_heads(names, a, linear(names, a + "k_proj", a + "k_proj", x, c_.width, kv_width),
                       c_.kv_heads);
    Id v = split_heads(names, a, linear(names, a + "v_proj", a + "v_proj", x, c_.width, kv_width),
                       c_.kv_heads);
    q = rotary(names, a, q, c_.heads);
    k = rotary(names, a, k, c_.kv_heads);
    k = repeat_kv(names, a, k);
    v = repeat_kv(names, a, v);
    Id attended;
    if (c_.sdpa) {
      attended = w_.call(names(a + "scaled_dot_product_attention"),
                         "torch.nn.functional.scaled_dot_product_attention",
                         "[" + ref(q) + ", " + ref(k) + ", " + ref(v) + "]",
                         "{\"attn_mask\": null, \"dropout_p\": 0.0, \"is_causal\": true}",
                         heads(c_.heads));
    } else {
      Shape scores = {1, c_.heads, c_.seq, c_.seq};
      Id kt = w_.call(names(a + "transpose"), "torch.Tensor.transpose", "[" + ref(k) + ", 2, 3]",
                      "{}", Shape{1, c_.heads, head_dim_, c_.seq});
      Id s = w_.call(names(a + "matmul"), "torch.matmul", "[" + ref(q) + ", " + ref(kt) + "]", "{}",
                     scores);
      s = w_.call(names(a + "div"), "torch.Tensor.div",
                  "[" + ref(s) + ", " + real(std::sqrt(static_cast<double>(head_dim_))) + "]", "{}",
                  scores);
      s = w_.call(names(a + "add"), "torch.Tensor.add", "[" + ref(s) + ", " + ref(mask_) + "]",
                  "{}", scores);
      Id p = w_.call(names(a + "softmax"), "torch.nn.functional.softmax", "[" + ref(s) + "]",
                     "{\"dim\": -1, \"_stacklevel\": 3, \"dtype\": " + kFloat32 + "}", scores);
      w_.call(names(a + "dtype"), "torch.Tensor.dtype.__get__", "[" + ref(q) + "]", "{}",
              std::nullopt);
      p = w_.call(names(a + "to"), "torch.Tensor.to", "[" + ref(p) + ", " + kFloat32 + "]", "{}",
                  scores);
      attended = w_.call(names(a + "matmul"), "torch.matmul", "[" + ref(p) + ", " + ref(v) + "]",
                         "{}", heads(c_.heads));
    }
    Id o = w_.call(names(a + "transpose"), "torch.Tensor.transpose",
                   "[" + ref(attended) + ", 1, 2]", "{}", Shape{1, c_.seq, c_.heads, head_dim_});
    o = w_.call(names(a + "contiguous"), "torch.Tensor.contiguous", "[" + ref(o) + "]", "{}",
                Shape{1, c_.seq, c_.heads, head_dim_});
    o = w_.call(names(a + "reshape"), "torch.Tensor.reshape",
                "[" + ref(o) + ", 1, " + num(c_.seq) + ", -1]", "{}", hidden(q_width));
    o = linear(names, a + "o_proj", a + "o_proj", o, q_width, c_.width);
    h = w_.call(names(l + "add"), "torch.Tensor.add", "[" + ref(h) + ", " + ref(o) + "]", "{}",
                hidden(c_.width));

    const std::string m = l + "mlp.";
    x = rms_norm(names, l + "post_attention_layernorm", h);
    Id gate = linear(names, m + "gate_proj", m + "gate_proj", x, c_.width, c_.mlp);
    gate = w_.call(names(m + "silu"), "torch.nn.functional.silu", "[" + ref(gate) + "]",
                   "{\"inplace\": false}", hidden(c_.mlp));
    Id up = linear(names, m + "up_proj", m + "up_proj", x, c_.width, c_.mlp);
    Id product = w_.call(names(m + "mul"), "torch.Tensor.mul",
                         "[" + ref(gate) + ", " + ref(up) + "]", "{}", hidden(c_.mlp));
    Id down = linear(names, m + "down_proj", m + "down_proj", product, c_.mlp, c_.width);
    return w_.call(names(l + "add"), "torch.Tensor.add", "[" + ref(h) + ", " + ref(down) + "]",
                   "{}", hidden(c_.width));
  }

  Writer& w_;
  const DecoderConfig& c_;
  std::size_t head_dim_;
  Names top_;
  Id cos_ = 0, sin_ = 0, mask_ = 0;
};

// Embedding, view, transpose, matmul and softmax take their labels out (the default handler
// records none), so the residual stream carries none: what remains are the parameters and the
// output features of the projections, the SiLU and the gate product.
std::uint64_t decoder_positions(const DecoderConfig& c) {
  std::size_t head_dim = c.width / c.heads;
  std::size_t q = c.heads * head_dim, kv = c.kv_heads * head_dim;
  std::uint64_t tables = 2 * labelled({c.seq, head_dim}) + (c.sdpa ? 0 : labelled({c.seq, c.seq}));
  std::uint64_t top = labelled({c.vocab, c.width}) + tables + labelled({c.width}) +
                      labelled({c.vocab, c.width}) + c.vocab;
  std::uint64_t layer = 2 * labelled({c.width}) + labelled({q, c.width}) + q +
                        2 * (labelled({kv, c.width}) + kv) + labelled({c.width, q}) + c.width +
                        2 * (labelled({c.mlp, c.width}) + c.mlp) + 2 * c.mlp +
                        labelled({c.width, c.mlp}) + c.width;
  return top + c.layers * layer;
}

// --- hostile graphs ---------------------------------------------------------------------

void write_repeats(Writer& w, const RepeatConfig& c) {
  Id p = w.parameter("p", {c.channels});
  std::string args = "[";
  for (std::size_t i = 0; i < c.repeats; ++i)
    args += (i ? ", " : "") + ref(p);
  w.finish(w.call("c", "torch.unknown_operation", args + "]", "{}", std::nullopt));
}

void write_wide(Writer& w, const WideConfig& c) {
  w.finish(w.parameter("p", {c.size}));
}

template <class... F>
struct Overload : F... {
  using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

void write_any(Writer& w, const GraphConfig& config) {
  std::visit(Overload{
                 [&](const ResidualConfig& c) { write_residual(w, c); },
                 [&](const LadderConfig& c) { write_ladder(w, c); },
                 [&](const DepthwiseConfig& c) { write_depthwise(w, c); },
                 [&](const DecoderConfig& c) { DecoderWriter(w, c).write(); },
                 [&](const RepeatConfig& c) { write_repeats(w, c); },
                 [&](const WideConfig& c) { write_wide(w, c); },
             },
             config);
}

// The smallest count of units (blocks or layers) whose positions reach `target`, or, when
// the one below is closer, that one; at least one.
template <class Config>
Config closest(Config config, std::size_t Config::*units, std::uint64_t target) {
  auto positions = [&](std::size_t n) {
    config.*units = n;
    return label_positions(config);
  };
  std::size_t low = 1, high = 1;
  while (positions(high) < target)
    high *= 2;
  while (low < high) {
    std::size_t mid = low + (high - low) / 2;
    if (positions(mid) < target)
      low = mid + 1;
    else
      high = mid;
  }
  if (low > 1 && target - positions(low - 1) < positions(low) - target)
    --low;
  config.*units = low;
  return config;
}

}  // namespace

DecoderConfig llama_7b() {
  return {.layers = 32, .width = 4096, .heads = 32, .kv_heads = 32, .mlp = 11008, .vocab = 32000};
}

DecoderConfig llama_70b() {
  return {.layers = 80, .width = 8192, .heads = 64, .kv_heads = 8, .mlp = 28672, .vocab = 32000};
}

void write_graph(const GraphConfig& config, std::FILE* out, std::string_view model) {
  Writer w(out, model);
  write_any(w, config);
}

std::string graph_text(const GraphConfig& config, std::string_view model) {
  Writer w(nullptr, model);
  write_any(w, config);
  return w.take();
}

std::uint64_t label_positions(const GraphConfig& config) {
  return std::visit(Overload{
                        [](const ResidualConfig& c) { return residual_positions(c); },
                        [](const LadderConfig& c) { return ladder_positions(c); },
                        [](const DepthwiseConfig& c) { return depthwise_positions(c); },
                        [](const DecoderConfig& c) { return decoder_positions(c); },
                        [](const RepeatConfig& c) { return labelled({c.channels}); },
                        [](const WideConfig& c) { return labelled({c.size}); },
                    },
                    config);
}

std::string describe(const GraphConfig& config) {
  return std::visit(
      Overload{
          [](const ResidualConfig& c) {
            return std::string(c.input_first ? "residual add(x, out) " : "residual add(out, x) ") +
                   (c.plain ? "conv only " : "") + num(c.channels) + "ch x " + num(c.blocks) +
                   " blocks";
          },
          [](const LadderConfig& c) {
            return "ladder stem " + num(c.stem) + " growth " + num(c.growth) + " x " +
                   num(c.blocks) + " blocks";
          },
          [](const DepthwiseConfig& c) {
            return "depthwise " + num(c.channels) + "ch x " + num(c.blocks) + " blocks";
          },
          [](const DecoderConfig& c) {
            return "decoder " + num(c.layers) + " layers, width " + num(c.width) + ", heads " +
                   num(c.heads) + "/" + num(c.kv_heads) + ", mlp " + num(c.mlp) + ", vocab " +
                   num(c.vocab) + (c.sdpa ? ", sdpa" : "");
          },
          [](const RepeatConfig& c) {
            return "a " + num(c.channels) + "-channel parameter passed " + num(c.repeats) +
                   " times to an operation without a handler";
          },
          [](const WideConfig& c) { return "one parameter of shape [" + num(c.size) + "]"; },
      },
      config);
}

const std::vector<std::string_view>& series_shapes() {
  static const std::vector<std::string_view> shapes = {"residual", "residual-swapped", "ladder",
                                                       "depthwise", "decoder"};
  return shapes;
}

std::optional<GraphConfig> series_config(std::string_view shape, std::uint64_t positions) {
  if (shape == "residual" || shape == "residual-swapped")
    return closest(ResidualConfig{.input_first = shape == "residual-swapped"},
                   &ResidualConfig::blocks, positions);
  if (shape == "ladder")
    return closest(LadderConfig{}, &LadderConfig::blocks, positions);
  if (shape == "depthwise")
    return closest(DepthwiseConfig{}, &DepthwiseConfig::blocks, positions);
  if (shape == "decoder") {
    // The 7B layout; while one layer is more than the target, every width is halved (head
    // size kept), down to one head.
    DecoderConfig c = llama_7b();
    c.layers = 1;
    while (c.heads > 1 && label_positions(c) > positions) {
      c.width /= 2, c.heads /= 2, c.kv_heads = std::max<std::size_t>(1, c.kv_heads / 2);
      c.mlp /= 2, c.vocab /= 2;
    }
    return closest(c, &DecoderConfig::layers, positions);
  }
  return std::nullopt;
}

const std::vector<std::string_view>& named_configs() {
  static const std::vector<std::string_view> names = {
      "llama-7b", "llama-70b", "ladder-4000", "residual-8x100k", "repeats-200k", "wide-parameter"};
  return names;
}

std::optional<GraphConfig> named_config(std::string_view name) {
  if (name == "llama-7b")
    return llama_7b();
  if (name == "llama-70b")
    return llama_70b();
  if (name == "ladder-4000")
    return LadderConfig{.blocks = 4000};
  if (name == "residual-8x100k")
    return ResidualConfig{.blocks = 100'000, .channels = 8, .plain = true};
  if (name == "repeats-200k")
    return RepeatConfig{};
  if (name == "wide-parameter")
    return WideConfig{};
  return std::nullopt;
}

RunLimits named_run_limits(std::string_view name) {
  // Under a 4 GB address space the parameter's labels do not fit: the command must refuse it at
  // once, with the label-budget message and exit status 2.
  if (name == "wide-parameter")
    return {.address_space = 4'000'000'000, .expected_exit = 2};
  return {};
}

}  // namespace zavo::benchmarks
