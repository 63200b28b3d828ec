#include "support/random_graph.hpp"

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "zavo/tensor_trace/op_categorization.hpp"

namespace zavo::testing {
namespace {

using namespace tensor_trace;
namespace cat = tensor_trace::op_categorization;

const std::string F = "torch.nn.functional.";
const std::string T = "torch.Tensor.";

class Generator {
 public:
  Generator(std::uint64_t seed, const RandomGraphOptions& options) : rng_(seed), opt_(options) {}

  Graph run() {
    for (int i = 0, n = 1 + pick(2); i < n; ++i)
      input(activation_shape());
    for (int step = 0; step < opt_.steps; ++step) {
      if (opt_.bad_calls && pick(10) == 0) {
        bad_call();
        continue;
      }
      using Step = void (Generator::*)();
      static constexpr Step kSteps[] = {
          &Generator::unary,      &Generator::binary,         &Generator::binary,
          &Generator::batch_norm, &Generator::dropout,        &Generator::concat,
          &Generator::conv,       &Generator::conv,           &Generator::linear,
          &Generator::flatten,    &Generator::reduce,         &Generator::read_attribute,
          &Generator::unknown,    &Generator::free_parameter, &Generator::heads,
          &Generator::heads,      &Generator::rearrange,      &Generator::rearrange,
          &Generator::index,      &Generator::normalise,      &Generator::attention_call,
          &Generator::labels_meet};
      (this->*kSteps[pick(std::size(kSteps))])();
    }
    for (int i = 0, n = 1 + pick(3); i < n; ++i)
      g_.outputs.push_back(&any());
    return std::move(g_);
  }

 private:
  Graph g_;
  std::mt19937_64 rng_;
  RandomGraphOptions opt_;
  std::vector<const ZavoNode*> pool_;       // tensors with a known shape
  std::vector<const ZavoNode*> shapeless_;  // tensors of unknown shape

  int pick(std::size_t n) { return n ? static_cast<int>(rng_() % n) : 0; }
  bool coin() { return pick(2) == 0; }
  std::int64_t size() { return 1 + pick(3); }
  template <typename Item>
  const Item& one_of(const std::vector<Item>& items) {
    return items[static_cast<std::size_t>(pick(items.size()))];
  }
  std::string_view one_of(const OperationCategory& ops) {
    return ops.names()[static_cast<std::size_t>(pick(ops.size()))];
  }

  static const Shape& shape(const ZavoNode& node) { return *node.result_shape; }
  static std::int64_t rank(const ZavoNode& node) {
    return static_cast<std::int64_t>(shape(node).size());
  }

  // Of rank 2 to 5, or `min_rank` to 5.
  Shape activation_shape(int min_rank = 2) {
    Shape s{1 + pick(2), size()};
    for (int d = 0, n = std::max(min_rank - 2, pick(4)); d < n; ++d)
      s.push_back(size());
    return s;
  }
  const ZavoNode& input(Shape s) {
    const ZavoNode& node = g_.add_input("x" + std::to_string(g_.size()), std::move(s));
    pool_.push_back(&node);
    return node;
  }
  const ZavoNode& param(Shape s) {
    pool_.push_back(&g_.add_parameter("p" + std::to_string(g_.size()), std::move(s)));
    return *pool_.back();
  }
  // A layer's tensor of shape `s`: now and then one the graph already has (a shared weight, an
  // activation), else a new parameter.
  const ZavoNode& weight(const Shape& s) {
    const ZavoNode* same = where([&](const ZavoNode& node) { return shape(node) == s; });
    return same && pick(3) == 0 ? *same : param(s);
  }
  const ZavoOpNode& call(std::string_view op, Args args, Kwargs kwargs, std::optional<Shape> shape,
                         std::optional<std::string> op_name = {}) {
    const ZavoOpNode& node = g_.add_call("n" + std::to_string(g_.size()), intern_operation(op),
                                         std::move(args), std::move(kwargs), shape, op_name);
    (shape ? pool_ : shapeless_).push_back(&node);
    return node;
  }
  // A tensor of the pool, half the time one of the latest, so that calls build on each other.
  const ZavoNode& any() {
    const std::size_t n = pool_.size(), recent = std::min<std::size_t>(n, 4);
    return *pool_[coin() ? n - 1 - static_cast<std::size_t>(pick(recent))
                         : static_cast<std::size_t>(pick(n))];
  }
  // A tensor of the pool that `fits`, or none.
  template <typename Fits>
  const ZavoNode* where(Fits fits) {
    std::vector<const ZavoNode*> found;
    for (const ZavoNode* node : pool_) {
      if (fits(*node))
        found.push_back(node);
    }
    return found.empty() ? nullptr : one_of(found);
  }
  const ZavoNode* with_rank(std::int64_t min_rank, std::int64_t max_rank = 8) {
    return where(
        [&](const ZavoNode& node) { return rank(node) >= min_rank && rank(node) <= max_rank; });
  }
  // Two operands, the other way round when asked.
  Args operands(Value a, Value b) {
    if (opt_.swap_operands && a.is_node() && b.is_node())
      std::swap(a, b);
    return {std::move(a), std::move(b)};
  }

  // A parameter shaped for broadcasting, possibly of lower rank, with labels in other dimensions
  // than channels (rows, columns, a per-channel scale) that then meet activations' labels.
  void free_parameter() { broadcast_parameter(any()); }
  const ZavoNode& broadcast_parameter(const ZavoNode& like) {
    const Shape& of = shape(like);
    Shape s(of.end() - (of.empty() ? 0 : 1 + pick(of.size())), of.end());
    for (auto& d : s)  // broadcast either way: 1 against a size, a size against 1
      d = pick(3) == 0 ? 1 : d == 1 ? size() : d;
    return param(s);
  }

  void unary() {
    const ZavoNode& x = any();
    std::string op(one_of(cat::ELEMENTWISE_OPS));
    Shape out = shape(x);
    Args args{x};
    if (op.find("pool") != std::string::npos) {
      args.push_back(1);
      if (rank(x) != op[op.size() - 2] - '0' + 2)
        args = {x}, op = "torch.relu";
      else if (op.find("adaptive") != std::string::npos)
        std::fill(out.begin() + 2, out.end(), 1);  // size-1 dimensions that keep their labels
    }
    call(op, args, {}, out);
  }

  void binary() {
    const ZavoNode& x = any();
    const std::string_view op = one_of(cat::BINARY_ELEMENTWISE_OPS);
    switch (pick(8)) {
      case 0:  // a scalar operand on either side
        call(op, coin() ? Args{x, 2.0} : Args{0.5, x}, {}, shape(x));
        return;
      case 1:
      case 2:
      case 3:
      case 4: {  // another tensor it broadcasts with, of its own rank when there is one
        const bool same_rank = pick(4) != 0;
        const ZavoNode* y = where([&](const ZavoNode& node) {
          return broadcast(shape(x), shape(node)) && (!same_rank || rank(node) == rank(x));
        });
        call(op, operands(x, *y), {}, *broadcast(shape(x), shape(*y)));
        return;
      }
      case 5:
        if (!shapeless_.empty()) {
          call(op, operands(x, *one_of(shapeless_)), {}, shape(x));
          return;
        }
        [[fallthrough]];
      default: {  // a fresh parameter broadcast against it
        const ZavoNode& p = broadcast_parameter(x);
        call(op, operands(x, p), coin() ? Kwargs{} : Kwargs{{"alpha", 1}},
             *broadcast(shape(x), shape(p)));
      }
    }
  }
  static std::optional<Shape> broadcast(const Shape& a, const Shape& b) {
    Shape out(std::max(a.size(), b.size()), 1);
    for (std::size_t i = 1; i <= out.size(); ++i) {
      const std::int64_t da = i <= a.size() ? a[a.size() - i] : 1;
      const std::int64_t db = i <= b.size() ? b[b.size() - i] : 1;
      if (da != db && da != 1 && db != 1)
        return std::nullopt;
      out[out.size() - i] = std::max(da, db);
    }
    return out;
  }

  // Labelled tensors that meet where an output would not hold every label of its inputs: a
  // size-1 dimension with labels broadcast against a size, on either operand and in either order;
  // a weight joined with a layer's output that reads its rows as columns, so that tying the
  // columns folds a class the joined dimension already listed; a concatenation that also writes
  // into a tensor of its own.
  void labels_meet() {
    switch (pick(3)) {
      case 0: {
        const std::int64_t n = size();
        const ZavoNode& w = weight({n, n});
        const ZavoNode& b = call(F + "linear", {input({n, n}), w}, {}, Shape{n, n});
        const std::int64_t d = pick(2);
        Shape out{n, n};
        out[static_cast<std::size_t>(d)] *= 2;
        call("torch.cat", {Value(coin() ? Sequence{w, b} : Sequence{b, w}), d - 2 * pick(2)}, {},
             out);
        return;
      }
      case 1: {
        const ZavoNode& x = any();
        if (rank(x) == 0)
          return;
        Shape out = shape(x);
        out[0] *= 2;
        call("torch.cat", {Value(Sequence{x, x}), 0}, {{"out", param(out)}}, out);
        return;
      }
      default: {
        // Adaptive pooling keeps the spatial labels of its input in dimensions of size 1; the
        // other operand, a fresh parameter, has labels of its own there at a size larger than 1
        // and each other dimension either the same or of size 1.
        const ZavoNode* pooled_from = with_rank(3, 5);
        const ZavoNode& a = pooled_from && coin() ? *pooled_from : param(activation_shape(3));
        const std::size_t spatial = shape(a).size() - 2;
        Shape pooled = shape(a), other = shape(a);
        for (std::size_t d = 0; d < pooled.size(); ++d) {
          if (d >= 2) {
            pooled[d] = 1;
            other[d] = 1 + size();
          } else if (coin()) {
            other[d] = 1;
          }
        }
        const ZavoNode& p = call(F + (coin() ? "adaptive_avg_pool" : "adaptive_max_pool") +
                                     std::to_string(spatial) + "d",
                                 {a, 1}, {}, pooled);
        const ZavoNode& b = param(other);
        call(one_of(cat::BINARY_ELEMENTWISE_OPS), coin() ? operands(p, b) : operands(b, p), {},
             *broadcast(pooled, other));
      }
    }
  }

  void batch_norm() {
    const ZavoNode* x = with_rank(2);
    if (!x)
      return;
    const std::int64_t c = shape(*x)[1];
    Args args{*x};
    for (int i = 0; i < 4; ++i)
      args.push_back(i >= 2 && pick(4) == 0 ? Value::none() : Value(weight({c})));
    args.insert(args.end(), {false, 0.1, 1e-5});
    call(coin() ? F + "batch_norm" : "torch.batch_norm", args, {}, shape(*x));
  }

  void dropout() {
    const ZavoNode& x = any();
    const Value training = pick(3) == 0 ? Value(1) : Value(coin());
    const std::string_view op = one_of(cat::DROPOUT_OPS);
    const std::pair<Args, Kwargs> forms[] = {{{x}, {}},  // the operation's default
                                             {{x, 0.5, training}, {}},
                                             {{x}, {{"p", 0.5}, {"training", training}}},
                                             {{x, 0.1}, {{"training", training}}}};
    const auto& [args, kwargs] = forms[pick(std::size(forms))];
    call(op, args, kwargs, shape(x));
  }

  void concat() {
    const ZavoNode& x = any();
    if (rank(x) == 0)
      return;
    const auto d = static_cast<std::size_t>(pick(shape(x).size()));
    Sequence parts{x};
    Shape out = shape(x);
    for (int i = 0, n = pick(4); i < n; ++i) {
      Shape s = shape(x);
      s[d] = size();
      const ZavoNode& y = pick(3) == 0 ? input(s)
                          : coin()
                              ? param(s)
                              : *where([&](const ZavoNode& node) {
                                  Shape a = shape(node), b = shape(x);  // the same but along `d`
                                  return a.size() == b.size() && (a[d] = b[d] = 0, a == b);
                                });
      parts.push_back(y);
      out[d] += shape(y)[d];
    }
    const auto dim = static_cast<std::int64_t>(d);
    // Counted from the end, the dimension is no dimension index for the handler.
    const std::pair<Args, Kwargs> forms[] = {{{Value(parts)}, {{"dim", dim}}},
                                             {{Value(parts), dim}, {}},
                                             {{Value(parts), dim - rank(x)}, {}}};
    const auto& [args, kwargs] = forms[pick(std::size(forms))];
    call("torch.cat", args, kwargs, out);
  }

  void conv() {
    const ZavoNode* x = with_rank(3, 5);
    if (!x)
      return;
    const auto spatial = static_cast<std::size_t>(rank(*x) - 2);
    const std::int64_t in = shape(*x)[1];
    std::int64_t out = pick(4) == 0 ? 1 : size();
    std::int64_t groups = 1;
    if (pick(3) == 0) {
      groups = out = in;  // depthwise
    } else if (pick(3) == 0 && in % 2 == 0) {
      groups = 2;  // grouped
      out = 2 * size();
    }
    const bool transposed = pick(4) == 0;
    Shape w = transposed ? Shape{in, out / groups} : Shape{out, in / groups};
    w.insert(w.end(), spatial, 1 + 2 * pick(2));
    Value weight = this->weight(w);
    if (pick(8) == 0)  // a weight computed in the graph
      weight = call(T + "contiguous", {weight}, {}, w);
    const Value bias = coin() ? Value(this->weight({out})) : Value::none();
    Shape y = shape(*x);
    y[1] = out;
    const std::string op =
        F + (transposed ? "conv_transpose" : "conv") + std::to_string(spatial) + "d";
    const Sequence ones(spatial, Value(1));
    if (coin())
      call(op, {*x, weight, bias, ones, Sequence(spatial, Value(0)), ones, groups}, {}, y);
    else
      call(op, {*x, weight}, {{"bias", bias}, {"groups", groups}}, y);
  }

  void linear() {
    const ZavoNode* x = with_rank(1);
    if (!x)
      return;
    const std::int64_t out = size();
    const ZavoNode& w = weight({out, shape(*x).back()});
    const Value bias = coin() ? Value(weight({out})) : Value::none();
    Shape y = shape(*x);
    y.back() = out;
    if (coin())
      call(F + "linear", {*x, w, bias}, {}, y);
    else
      call(F + "linear", {*x}, {{"weight", w}, {"bias", bias}}, y);
  }

  void flatten() {
    const ZavoNode* x = with_rank(1);
    if (!x)
      return;
    const auto n = static_cast<int>(rank(*x));
    const int form = pick(3);
    const int start = pick(static_cast<std::size_t>(n));
    const int end = form == 2 ? n - 1 : start + pick(static_cast<std::size_t>(n - start));
    const Shape& s = shape(*x);
    Shape y(s.begin(), s.begin() + start);
    y.push_back(1);
    for (int d = start; d <= end; ++d)
      y.back() *= s[static_cast<std::size_t>(d)];
    y.insert(y.end(), s.begin() + end + 1, s.end());
    const std::string op = coin() ? "torch.flatten" : T + "flatten";
    const std::pair<Args, Kwargs> forms[] = {{{*x, start, end - n}, {}},
                                             {{*x}, {{"start_dim", start}, {"end_dim", end}}},
                                             {{*x, start}, {}}};  // to the last dimension
    call(op, forms[form].first, forms[form].second, y);
  }

  void reduce() {
    const ZavoNode* x = with_rank(1);
    if (!x)
      return;
    const std::string op(one_of(cat::UNARY_REDUCE_OPS));
    const auto n = static_cast<std::size_t>(rank(*x));
    std::vector<std::int64_t> dims;
    for (std::size_t d = 0; d < n; ++d) {
      if (pick(3) == 0)
        dims.push_back(coin() ? static_cast<std::int64_t>(d)
                              : static_cast<std::int64_t>(d) - rank(*x));
    }
    const bool keepdim = coin();
    Shape y;
    for (std::size_t d = 0; d < n; ++d) {
      const bool reduced = dims.empty() || std::ranges::any_of(dims, [&](std::int64_t r) {
                             return (r + rank(*x)) % rank(*x) == static_cast<std::int64_t>(d);
                           });
      if (!reduced || keepdim)
        y.push_back(reduced ? 1 : shape(*x)[d]);
    }
    Value dim = Sequence(dims.begin(), dims.end());
    if (dims.empty() || (dims.size() == 1 && coin()))
      dim = dims.empty() ? Value::none() : Value(dims[0]);
    const bool own_layout = op.ends_with("norm") || op.ends_with("std") || op.ends_with("var");
    if (coin())
      call(op, {*x}, {{"dim", dim}, {"keepdim", keepdim}}, y);
    else if (!own_layout)
      call(op, {*x, dim, keepdim}, {}, y);
    else if (op.ends_with("norm"))
      call(op, {*x, pick(3) == 0 ? Value("fro") : Value(2), dim, keepdim}, {}, y);
    else  // std and var: the unbiased flag either before or instead of the dimensions
      call(op, dims.empty() ? Args{*x, true} : Args{*x, dim, true}, {{"keepdim", keepdim}}, y);
  }

  void read_attribute() {
    const ZavoNode& x = any();
    if (coin())
      call(T + "size", rank(x) && coin() ? Args{x, 0} : Args{x}, {}, std::nullopt);
    else
      call(T + (coin() ? "shape" : "dtype") + ".__get__", {x}, {}, std::nullopt, "__get__");
  }

  void unknown() {
    const ZavoNode& x = any();
    const std::string ops[] = {"torch.some_unknown_op", T + "view",    T + "transpose",
                               "torch.matmul",          F + "softmax", F + "layer_norm"};
    call(ops[pick(std::size(ops))], {x}, {{"scale", 2.0}},
         coin() ? std::optional(shape(x)) : std::nullopt);
  }

  // ---- operations of the extended rules ----

  Value slice(std::optional<std::int64_t> start, std::optional<std::int64_t> stop,
              std::optional<std::int64_t> step = std::nullopt) {
    auto part = [](std::optional<std::int64_t> v) {
      return v ? std::to_string(*v) : std::string("None");
    };
    return OpaqueConstant{"slice(" + part(start) + ", " + part(stop) + ", " + part(step) + ")",
                          "slice"};
  }

  // Attention written out: projections split into heads (a fused one chunked, or three), keys
  // and values repeated for grouped queries, products, softmax, the heads joined back.
  void heads() {
    const ZavoNode* x = with_rank(2, 3);
    if (!x)
      return;
    const std::int64_t h = size(), d = 1 + pick(2), groups = coin() ? 1 : 2;
    const std::int64_t kv = h;
    const Shape& xs = shape(*x);
    const Shape lead(xs.begin(), xs.end() - 1);
    auto with_last = [&](std::vector<std::int64_t> tail) {
      Shape out = lead;
      out.insert(out.end(), tail.begin(), tail.end());
      return out;
    };
    auto project = [&](std::int64_t width) {
      const ZavoNode& w = weight({width, xs.back()});
      return &call(F + "linear", {*x, w}, {}, with_last({width}));
    };
    const ZavoNode* q = nullptr;
    const ZavoNode* k = nullptr;
    const ZavoNode* v = nullptr;
    if (groups == 1 && coin()) {
      const ZavoNode& fused = *project(3 * h * d);
      const ZavoOpNode& parts = call(T + "chunk", {fused, 3}, {{"dim", -1}}, std::nullopt);
      const ZavoNode* got[3];
      for (int i = 0; i < 3; ++i)
        got[i] = &call("_operator.getitem", {parts, i}, {}, with_last({h * d}));
      q = got[0], k = got[1], v = got[2];
    } else {
      q = project(groups * kv * d);
      k = project(kv * d);
      v = project(kv * d);
    }
    // (lead..., heads, d) with the heads moved before the sequence.
    const std::int64_t r = static_cast<std::int64_t>(lead.size());
    auto split = [&](const ZavoNode& t, std::int64_t n) -> const ZavoNode& {
      const ZavoNode& s = call(T + (coin() ? "view" : "reshape"), {t}, {}, with_last({n, d}));
      if (r < 2)
        return s;
      Shape moved = shape(s);
      std::swap(moved[static_cast<std::size_t>(r - 1)], moved[static_cast<std::size_t>(r)]);
      return call(T + "transpose", {s, r - 1, r}, {}, moved);
    };
    const ZavoNode* qh = &split(*q, groups * kv);
    const ZavoNode* kh = &split(*k, kv);
    const ZavoNode* vh = &split(*v, kv);
    if (groups > 1) {
      const std::int64_t head_dim = r < 2 ? r : r - 1;
      Shape rep = shape(*kh);
      rep[static_cast<std::size_t>(head_dim)] *= groups;
      kh = &call("torch.repeat_interleave", {*kh, groups}, {{"dim", head_dim}}, rep);
      vh = &call(T + "repeat_interleave", {*vh, groups, head_dim}, {}, rep);
    }
    Shape kt = shape(*kh);
    std::swap(kt[kt.size() - 1], kt[kt.size() - 2]);
    const ZavoNode& kT = call(T + "transpose", {*kh, -2, -1}, {}, kt);
    Shape scores = shape(*qh);
    scores.back() = kt.back();
    const ZavoNode& s = call(coin() ? "torch.matmul" : T + "__matmul__", {*qh, kT}, {}, scores);
    const ZavoNode& a = call(coin() ? F + "softmax" : T + "softmax", {s}, {{"dim", -1}}, scores);
    Shape context = scores;
    context.back() = d;
    const ZavoNode& o = call("torch.matmul", {a, *vh}, {}, context);
    const ZavoNode* joined = &o;
    if (r >= 2) {
      Shape back = context;
      std::swap(back[static_cast<std::size_t>(r - 1)], back[static_cast<std::size_t>(r)]);
      joined = &call(T + "transpose", {o, r - 1, r}, {}, back);
    }
    call(coin() ? T + "reshape" : T + "flatten", {*joined}, {{"start_dim", r}},
         with_last({groups * kv * d}));
  }

  // Transposes, permutations, dimensions of size 1 added and removed, expansions, repeats,
  // stacks, rolls, padding, triangles.
  void rearrange() {
    const ZavoNode* x = with_rank(1);
    if (!x)
      return;
    const Shape& s = shape(*x);
    const auto n = static_cast<std::int64_t>(s.size());
    switch (pick(13)) {
      case 9: {
        const std::int64_t from = pick(s.size()), to = pick(s.size());
        Shape out = s;
        const std::int64_t moved = out[static_cast<std::size_t>(from)];
        out.erase(out.begin() + from);
        out.insert(out.begin() + to, moved);
        call(T + "movedim", {*x, from, to}, {}, out);
        return;
      }
      case 10: {
        Shape out = s;
        if (out.size() >= 2)
          std::swap(out[out.size() - 1], out[out.size() - 2]);
        call(T + "mT.__get__", {*x}, {}, out, "__get__");
        return;
      }
      case 11:
        call("torch.where", {input(s), *x, coin() ? Value(0.0) : Value(*x)}, {}, s);
        return;
      case 12: {
        // The last dimension contracted with a weight's first.
        const std::string letters = std::string("abcdefgh").substr(0, s.size());
        const std::int64_t k = size();
        Shape out(s.begin(), s.end() - 1);
        out.push_back(k);
        call("torch.einsum",
             {letters + "," + letters.back() + "z->" + letters.substr(0, s.size() - 1) + "z", *x,
              weight({s.back(), k})},
             {}, out);
        return;
      }
      case 0: {
        const std::int64_t a = pick(s.size()), b = pick(s.size());
        Shape out = s;
        std::swap(out[static_cast<std::size_t>(a)], out[static_cast<std::size_t>(b)]);
        call(coin() ? T + "transpose" : "torch.swapaxes", {*x, a, b - n}, {}, out);
        return;
      }
      case 1: {
        std::vector<std::int64_t> order(s.size());
        for (std::size_t i = 0; i < order.size(); ++i)
          order[i] = static_cast<std::int64_t>(i);
        std::shuffle(order.begin(), order.end(), rng_);
        Shape out;
        Sequence dims;
        for (std::int64_t d : order) {
          out.push_back(s[static_cast<std::size_t>(d)]);
          dims.push_back(d);
        }
        call("torch.permute", {*x, Value(dims)}, {}, out);
        return;
      }
      case 2: {
        const std::int64_t d = pick(s.size() + 1);
        Shape out = s;
        out.insert(out.begin() + d, 1);
        const ZavoNode& u = call(T + "unsqueeze", {*x, d}, {}, out);
        Shape wide = out;
        wide[static_cast<std::size_t>(d)] = 1 + pick(3);
        call(coin() ? T + "expand" : "torch.broadcast_to",
             {u, Value(Sequence(wide.begin(), wide.end()))}, {}, wide);
        return;
      }
      case 3: {
        Sequence times;
        Shape out = s;
        for (auto& d : out) {
          const std::int64_t t = 1 + pick(2);
          d *= t;
          times.push_back(t);
        }
        call(T + "repeat", {*x, Value(times)}, {}, out);
        return;
      }
      case 4: {
        const std::int64_t d = pick(s.size() + 1);
        Shape out = s;
        out.insert(out.begin() + d, 2);
        call("torch.stack", {Value(Sequence{*x, *x}), d}, {}, out);
        return;
      }
      case 5:
        call("torch.roll", {*x, 1}, coin() ? Kwargs{{"dims", pick(s.size())}} : Kwargs{}, s);
        return;
      case 6: {
        Shape out = s;
        Sequence pad{0, 0};
        if (coin()) {
          pad = {1, 0};
          out.back() += 1;
        }
        call(F + "pad", {*x, Value(pad)}, {}, out);
        return;
      }
      case 7:
        call(coin() ? "torch.triu" : T + "tril", {*x}, {{"diagonal", 1}}, s);
        return;
      default: {
        Shape out(s.rbegin(), s.rend());
        call(T + "T.__get__", {*x}, {}, out, "__get__");
        return;
      }
    }
  }

  // Indexing with slices, integers, None and Ellipsis; writing into a slice; splitting into
  // parts read back by index.
  void index() {
    const ZavoNode* x = with_rank(1);
    if (!x)
      return;
    const Shape& s = shape(*x);
    Sequence items;
    Shape out;
    for (std::size_t d = 0; d < s.size(); ++d) {
      switch (pick(4)) {
        case 0:
          items.push_back(slice(std::nullopt, std::nullopt));
          out.push_back(s[d]);
          break;
        case 1:
          items.push_back(static_cast<std::int64_t>(pick(static_cast<std::size_t>(s[d]))));
          break;
        case 2:
          items.push_back(slice(0, 1));
          out.push_back(1);
          break;
        default:
          items.push_back(Value::none());
          items.push_back(slice(std::nullopt, std::nullopt));
          out.push_back(1);
          out.push_back(s[d]);
      }
    }
    if (coin())
      items.insert(items.begin(), OpaqueConstant{"Ellipsis", "ellipsis"});
    call(T + "__getitem__", {*x, Value(items)}, {}, out);
    // Writing a tensor (or a number) into the first index of dimension 0.
    Shape part(s.begin() + 1, s.end());
    const Value value = coin() ? Value(1.5) : Value(weight(part));
    call(T + "__setitem__", {*x, 0, value}, {}, s);
    // Parts along a dimension: equal chunks, given sizes, or one per index.
    const std::int64_t d = pick(s.size());
    const std::int64_t size = s[static_cast<std::size_t>(d)];
    Shape each = s;
    if (coin()) {
      const ZavoOpNode& parts = call("torch.chunk", {*x, size, d}, {}, std::nullopt);
      each[static_cast<std::size_t>(d)] = 1;
      call("_operator.getitem", {parts, 0}, {}, each);
    } else {
      const ZavoOpNode& parts = call(T + "unbind", {*x, d}, {}, std::nullopt);
      each.erase(each.begin() + d);
      call("_operator.getitem", {parts, pick(static_cast<std::size_t>(size))}, {}, each);
    }
  }

  // Layer, group and instance normalisations, an embedding, a statistic kept for broadcasting.
  void normalise() {
    const ZavoNode* x = with_rank(2);
    if (!x)
      return;
    const Shape& s = shape(*x);
    switch (pick(4)) {
      case 0: {
        const Shape last{s.back()};
        call(F + "layer_norm", {*x, Value(Sequence{s.back()}), weight(last)},
             {{"bias", coin() ? Value(weight(last)) : Value::none()}}, s);
        return;
      }
      case 1: {
        const std::int64_t c = s[1];
        call(F + "group_norm", {*x, coin() ? 1 : c, weight({c}), weight({c})}, {}, s);
        return;
      }
      case 2: {
        const std::int64_t c = s[1];
        call(F + "instance_norm", {*x, Value::none(), Value::none(), weight({c})}, {}, s);
        return;
      }
      default: {
        const ZavoNode& ids = input({s[0], 1 + pick(3)});
        const std::int64_t width = size();
        Shape out = shape(ids);
        out.push_back(width);
        call(F + "embedding", {ids, weight({2 + pick(3), width})}, {}, out);
      }
    }
  }

  // One attention call: `multi_head_attention_forward` with packed projections, or
  // `scaled_dot_product_attention`.
  void attention_call() {
    const std::int64_t heads = size(), d = size(), e = heads * d, len = size();
    const ZavoNode* source = with_rank(2);
    if (coin() || !source) {
      const ZavoNode& x = input({len, 1, e});
      const ZavoOpNode& out = call(
          F + "multi_head_attention_forward",
          {x, x, x, e, heads, weight({3 * e, e}), weight({3 * e}), Value::none(), Value::none(),
           false, 0.0, weight({e, e}), coin() ? Value(weight({e})) : Value::none()},
          {{"need_weights", coin()}}, std::nullopt);
      call("_operator.getitem", {out, 0}, {}, Shape{len, 1, e});
      return;
    }
    const Shape qs{1, heads, len, d};
    const ZavoNode& q = input(qs);
    call(F + "scaled_dot_product_attention", {q, q, q}, {}, qs);
  }

  // Calls that make their handler raise.
  void bad_call() {
    const ZavoNode& x = any();
    const Value unknown_shape = shapeless_.empty() ? Value(2) : Value(*one_of(shapeless_));
    struct Call {
      std::string op;
      Args args;
      Kwargs kwargs = {};
    };
    const Call plain[] = {{F + "relu", {}, {{"input", x}}},  // the tensor by keyword only
                          {"torch.add", {x}, {{"other", x}}},
                          {"torch.sum", {x, "channels"}},  // a named dimension
                          {"torch.mean", {x, 1.5}},
                          {"torch.cat", {x, 0}},  // not a sequence
                          {"torch.cat", {Value(Sequence{x, 3}), 0}},
                          {"torch.relu", {2}},
                          {F + "conv2d", {x}},  // no weight
                          {"torch.flatten", {unknown_shape, 1}},
                          {T + "transpose", {x, "a", 0}},  // a dimension by name
                          {T + "__getitem__", {2, 0}}};
    const auto i = static_cast<std::size_t>(pick(std::size(plain) + 3));
    const ZavoNode* act = with_rank(2);
    if (i < std::size(plain)) {
      call(plain[i].op, plain[i].args, plain[i].kwargs, shape(x));
    } else if (act) {
      Shape other = shape(*act);
      const std::int64_t c = other[1]++;
      if (i == std::size(plain))
        call(F + "linear", {*act, param({2, shape(*act).back()}), "bias"}, {}, shape(*act));
      else if (i == std::size(plain) + 1)  // a batch norm parameter of two dimensions
        call(F + "batch_norm", {*act, param({c}), param({c, 2})}, {}, shape(*act));
      else  // channels that do not match
        call("torch.add", operands(*act, param(other)), {}, other);
    }
  }
};

}  // namespace

Graph random_graph(std::uint64_t seed, const RandomGraphOptions& options) {
  Graph graph = Generator(seed, options).run();
  graph.model = "random_" + std::to_string(seed);
  return graph;
}

}  // namespace zavo::testing
