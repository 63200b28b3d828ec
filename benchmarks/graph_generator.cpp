#include "graph_generator.hpp"

#include <algorithm>
#include <vector>

namespace zavo::benchmarks {
namespace {

constexpr std::size_t kStemNodes = 3;
constexpr std::size_t kBlockNodes = 11;

class Writer {
 public:
  explicit Writer(std::size_t channels) : c_(std::to_string(channels)) {}

  std::size_t input(const std::string& name, const std::string& shape) {
    return add("\"kind\": \"input\", \"name\": \"" + name + "\", \"shape\": " + shape);
  }
  std::size_t parameter(const std::string& name, const std::string& shape) {
    return add("\"kind\": \"parameter\", \"name\": \"" + name + "\", \"shape\": " + shape);
  }
  std::size_t call(const std::string& name, const std::string& op, const std::string& args,
                   const std::string& kwargs, const std::string& shape) {
    return add("\"kind\": \"call\", \"name\": \"" + name + "\", \"op\": \"" + op +
               "\", \"args\": " + args + ", \"kwargs\": " + kwargs + ", \"shape\": " + shape);
  }

  std::string finish(std::size_t output) {
    return "{\"format\": \"zavo.graph\", \"version\": 1, \"model\": \"generated_resnet\",\n"
           "\"nodes\": [\n" +
           nodes_ + "\n],\n\"outputs\": [" + std::to_string(output) + "]}\n";
  }

  const std::string& c() const { return c_; }

 private:
  std::size_t add(const std::string& fields) {
    if (count_)
      nodes_ += ",\n";
    nodes_ += "{\"id\": " + std::to_string(count_) + ", " + fields + "}";
    return count_++;
  }

  std::string c_;
  std::string nodes_;
  std::size_t count_ = 0;
};

std::string ref(std::size_t id) {
  return "{\"node\": " + std::to_string(id) + "}";
}

}  // namespace

std::string residual_graph_text(std::size_t nodes, std::size_t channels) {
  Writer w(channels);
  const std::string& c = w.c();
  const std::string activation = "[1, " + c + ", 8, 8]";
  const std::string conv_tail = ", null, [1, 1], [1, 1], [1, 1], 1]";

  std::size_t x = w.input("x", "[1, 3, 8, 8]");
  std::size_t stem_weight = w.parameter("stem.weight", "[" + c + ", 3, 3, 3]");
  std::size_t prev = w.call("stem", "torch.nn.functional.conv2d",
                            "[" + ref(x) + ", " + ref(stem_weight) + conv_tail, "{}", activation);

  std::size_t blocks =
      std::max<std::size_t>(1, (std::max(nodes, kStemNodes) - kStemNodes) / kBlockNodes);
  for (std::size_t b = 0; b < blocks; ++b) {
    std::string p = "blocks." + std::to_string(b) + ".";
    std::size_t weight1 = w.parameter(p + "conv1.weight", "[" + c + ", " + c + ", 3, 3]");
    std::size_t conv1 = w.call(p + "conv1", "torch.nn.functional.conv2d",
                               "[" + ref(prev) + ", " + ref(weight1) + conv_tail, "{}", activation);
    std::vector<std::size_t> bn;
    for (const char* name : {"running_mean", "running_var", "weight", "bias"})
      bn.push_back(w.parameter(p + "bn." + name, "[" + c + "]"));
    std::size_t norm = w.call(p + "bn", "torch.nn.functional.batch_norm",
                              "[" + ref(conv1) + ", " + ref(bn[0]) + ", " + ref(bn[1]) + "]",
                              "{\"weight\": " + ref(bn[2]) + ", \"bias\": " + ref(bn[3]) +
                                  ", \"training\": false, \"momentum\": 0.1, \"eps\": 1e-05}",
                              activation);
    std::size_t relu = w.call(p + "relu", "torch.nn.functional.relu", "[" + ref(norm) + "]",
                              "{\"inplace\": false}", activation);
    std::size_t weight2 = w.parameter(p + "conv2.weight", "[" + c + ", " + c + ", 3, 3]");
    std::size_t conv2 = w.call(p + "conv2", "torch.nn.functional.conv2d",
                               "[" + ref(relu) + ", " + ref(weight2) + conv_tail, "{}", activation);
    prev = w.call(p + "add", "torch.Tensor.__iadd__", "[" + ref(conv2) + ", " + ref(prev) + "]",
                  "{}", activation);
  }
  return w.finish(prev);
}

}  // namespace zavo::benchmarks
