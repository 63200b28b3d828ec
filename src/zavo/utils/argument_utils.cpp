#include "zavo/utils/argument_utils.hpp"

namespace zavo::utils::argument_utils {

tensor_trace::Value get_argument(const GetArgument& call) {
  if (call.arg_pos < call.args.size())
    return call.args[call.arg_pos];
  if (const auto* value = call.kwargs.find(call.arg_key))
    return *value;
  return call.default_value;
}

}  // namespace zavo::utils::argument_utils
