#pragma once
// A reader of version 2 reports that gives them in the layout of version 1, written from the
// README's description and apart from the writer, so that tests and the fuzz target can check
// that the two versions of one report hold the same.

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

namespace zavo::testing {

// The numbers of a sequence of items (`n`, `[first, count]`, `[first, count, step]`, and with
// `lists`, `{"list": k}` for every number of `lists[k]`). Raises `std::runtime_error` for
// anything else.
std::vector<std::int64_t> expand_sequence(
    const nlohmann::json& items, const std::vector<std::vector<std::int64_t>>* lists = nullptr);

// `report` (version 2) as version 1 lays it out (`rules` only when not the catalogue's). Raises
// `std::runtime_error` where the report breaks its layout.
nlohmann::json version_1_layout(const nlohmann::json& report);

}  // namespace zavo::testing
