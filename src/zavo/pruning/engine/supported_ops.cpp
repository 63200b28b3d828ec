#include "zavo/pruning/engine/supported_ops.hpp"

#include <array>
#include <string>

namespace zavo::pruning::engine::supported_ops {
namespace {

constexpr std::array kNorm = std::to_array<std::string_view>({"torch.norm", "torch.Tensor.norm"});
constexpr std::array kStd = std::to_array<std::string_view>({"torch.std", "torch.Tensor.std"});
constexpr std::array kVar = std::to_array<std::string_view>({"torch.var", "torch.Tensor.var"});
constexpr std::array kDropoutTrainDefault = std::to_array<std::string_view>({
    "torch.nn.functional.dropout",
    "torch.nn.functional.dropout1d",
    "torch.nn.functional.dropout2d",
    "torch.nn.functional.dropout3d",
});

}  // namespace

constinit const OperationCategory NORM_OPS{kNorm};
constinit const OperationCategory STD_OPS{kStd};
constinit const OperationCategory VAR_OPS{kVar};
constinit const OperationCategory DROPOUT_TRAIN_DEFAULT_OPS{kDropoutTrainDefault};

OperationList get_torch_and_tensor_methods(std::string_view name) {
  OperationList ops;
  for (std::string_view prefix : {"torch.", "torch.Tensor."}) {
    std::string qualified(prefix);
    qualified += name;
    if (auto op = tensor_trace::find_catalogue_operation(qualified))
      ops.push_back(op);
  }
  return ops;
}

}  // namespace zavo::pruning::engine::supported_ops
