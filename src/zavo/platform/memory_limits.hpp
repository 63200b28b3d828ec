#pragma once
// How much memory this process may really use: the machine's physical memory, the memory limit
// of the control group it runs in, and its own address-space and data-segment limits. A run that
// sizes itself by the machine alone would be killed, or fail deep inside an allocation, where a
// limit is lower.

#include <cstdint>
#include <optional>
#include <string>

namespace zavo::platform {

struct MemoryLimits {
  std::optional<std::uint64_t> physical;       // the machine's memory
  std::optional<std::uint64_t> control_group;  // the lowest limit of the process's cgroups
  std::optional<std::uint64_t> address_space;  // RLIMIT_AS
  std::optional<std::uint64_t> data;           // RLIMIT_DATA

  // The smallest limit that is set; none when none is.
  std::optional<std::uint64_t> smallest() const;
};

// The limits of the running process; one that cannot be read, or is unlimited, stays none.
MemoryLimits process_memory_limits();

// The lowest memory limit of the control group at `cgroup_path` (as /proc/self/cgroup names it)
// and of every group above it, read under `root` (cgroup v2: `memory.max` files; v1: the
// memory controller's `memory.limit_in_bytes`). None when no level sets one.
std::optional<std::uint64_t> control_group_limit(const std::string& root,
                                                 const std::string& cgroup_path, bool version_2);

}  // namespace zavo::platform
