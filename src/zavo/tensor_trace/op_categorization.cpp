#include "zavo/tensor_trace/op_categorization.hpp"

#include <array>
#include <vector>

namespace zavo::tensor_trace::op_categorization {
namespace {

#define F_ "torch.nn.functional."
#define T_ "torch.Tensor."

constexpr std::array kElementwise = std::to_array<std::string_view>({
    F_ "relu",
    F_ "relu_",
    F_ "relu6",
    F_ "elu",
    F_ "elu_",
    F_ "selu",
    F_ "celu",
    F_ "gelu",
    F_ "silu",
    F_ "mish",
    F_ "hardswish",
    F_ "hardsigmoid",
    F_ "hardtanh",
    F_ "hardtanh_",
    F_ "leaky_relu",
    F_ "leaky_relu_",
    F_ "sigmoid",
    F_ "tanh",
    F_ "softplus",
    F_ "softsign",
    F_ "tanhshrink",
    F_ "logsigmoid",
    F_ "hardshrink",
    F_ "softshrink",
    F_ "threshold",
    F_ "threshold_",
    F_ "max_pool1d",
    F_ "max_pool2d",
    F_ "max_pool3d",
    F_ "avg_pool1d",
    F_ "avg_pool2d",
    F_ "avg_pool3d",
    F_ "adaptive_max_pool1d",
    F_ "adaptive_max_pool2d",
    F_ "adaptive_max_pool3d",
    F_ "adaptive_avg_pool1d",
    F_ "adaptive_avg_pool2d",
    F_ "adaptive_avg_pool3d",
    F_ "lp_pool1d",
    F_ "lp_pool2d",
    F_ "interpolate",
    F_ "upsample",
    F_ "pad",
    "torch.relu",
    "torch.relu_",
    "torch.sigmoid",
    "torch.tanh",
    "torch.abs",
    "torch.neg",
    "torch.exp",
    "torch.log",
    "torch.sqrt",
    "torch.rsqrt",
    "torch.square",
    "torch.sin",
    "torch.cos",
    "torch.erf",
    "torch.floor",
    "torch.ceil",
    "torch.round",
    "torch.sign",
    "torch.reciprocal",
    "torch.clamp",
    "torch.clip",
    T_ "relu",
    T_ "relu_",
    T_ "sigmoid",
    T_ "sigmoid_",
    T_ "tanh",
    T_ "tanh_",
    T_ "abs",
    T_ "neg",
    T_ "exp",
    T_ "log",
    T_ "sqrt",
    T_ "rsqrt",
    T_ "square",
    T_ "sin",
    T_ "cos",
    T_ "erf",
    T_ "floor",
    T_ "ceil",
    T_ "round",
    T_ "sign",
    T_ "reciprocal",
    T_ "clamp",
    T_ "clamp_",
    T_ "clip",
    T_ "__neg__",
    T_ "__abs__",
    T_ "contiguous",
    T_ "clone",
    T_ "detach",
    T_ "float",
    T_ "half",
    T_ "double",
    T_ "to",
});

constexpr std::array kBinaryElementwise = std::to_array<std::string_view>({
    "torch.add",       "torch.sub",      "torch.subtract",  "torch.mul",
    "torch.multiply",  "torch.div",      "torch.divide",    "torch.true_divide",
    "torch.maximum",   "torch.minimum",  "torch.pow",       "torch.fmod",
    "torch.remainder", T_ "add",         T_ "add_",         T_ "sub",
    T_ "sub_",         T_ "mul",         T_ "mul_",         T_ "div",
    T_ "div_",         T_ "pow",         T_ "maximum",      T_ "minimum",
    T_ "__add__",      T_ "__radd__",    T_ "__iadd__",     T_ "__sub__",
    T_ "__rsub__",     T_ "__isub__",    T_ "__mul__",      T_ "__rmul__",
    T_ "__imul__",     T_ "__truediv__", T_ "__rtruediv__", T_ "__itruediv__",
    T_ "__pow__",      T_ "__rpow__",
});

constexpr std::array kChannelwise = std::to_array<std::string_view>({
    F_ "batch_norm",
    "torch.batch_norm",
});

constexpr std::array kDropout = std::to_array<std::string_view>({
    F_ "dropout",
    F_ "dropout1d",
    F_ "dropout2d",
    F_ "dropout3d",
    F_ "alpha_dropout",
    F_ "feature_alpha_dropout",
    "torch.dropout",
    "torch.alpha_dropout",
    "torch.feature_dropout",
    "torch.feature_alpha_dropout",
});

constexpr std::array kUnaryReduce = std::to_array<std::string_view>({
    "torch.mean",
    "torch.sum",
    "torch.amax",
    "torch.amin",
    "torch.logsumexp",
    "torch.prod",
    "torch.norm",
    "torch.std",
    "torch.var",
    T_ "mean",
    T_ "sum",
    T_ "amax",
    T_ "amin",
    T_ "logsumexp",
    T_ "prod",
    T_ "norm",
    T_ "std",
    T_ "var",
});

// Operations the handler table names one by one, and the flatten pair.
constexpr std::array kNamed = std::to_array<std::string_view>({
    F_ "conv1d",
    F_ "conv2d",
    F_ "conv3d",
    F_ "conv_transpose1d",
    F_ "conv_transpose2d",
    F_ "conv_transpose3d",
    F_ "linear",
    "torch.cat",
    T_ "size",
    "torch.flatten",
    T_ "flatten",
});

#undef F_
#undef T_

}  // namespace

constinit const OperationCategory ELEMENTWISE_OPS{kElementwise};
constinit const OperationCategory BINARY_ELEMENTWISE_OPS{kBinaryElementwise};
constinit const OperationCategory CHANNELWISE_OPS{kChannelwise};
constinit const OperationCategory DROPOUT_OPS{kDropout};
constinit const OperationCategory UNARY_REDUCE_OPS{kUnaryReduce};

std::span<const std::string_view> catalogue_names() {
  static const std::vector<std::string_view> names = [] {
    std::vector<std::string_view> all;
    using Names = std::span<const std::string_view>;
    for (Names part : {Names(kElementwise), Names(kBinaryElementwise), Names(kChannelwise),
                       Names(kDropout), Names(kUnaryReduce), Names(kNamed)}) {
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  }();
  return names;
}

}  // namespace zavo::tensor_trace::op_categorization
