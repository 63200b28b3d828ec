#pragma once
// Reading one argument of a traced call by position or by name.

#include <cstddef>
#include <optional>
#include <string_view>

#include "zavo/tensor_trace.hpp"

namespace zavo::utils::argument_utils {

struct GetArgument {
  std::size_t arg_pos;
  std::string_view arg_key;
  tensor_trace::ValueList args;
  tensor_trace::KeywordList kwargs;
  // What an absent argument yields; none when not given.
  tensor_trace::Value default_value = tensor_trace::Value::none();
};

// The argument at position `arg_pos` if there is one, else the one under `arg_key`, else
// `default_value`.
tensor_trace::Value get_argument(const GetArgument& call);

}  // namespace zavo::utils::argument_utils
