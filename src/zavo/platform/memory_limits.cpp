#include "zavo/platform/memory_limits.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <string_view>

namespace zavo::platform {
namespace {

// Values at or above this mean "no limit" (cgroup v1 writes its largest page count).
constexpr std::uint64_t kUnlimited = std::uint64_t{1} << 62;

std::optional<std::uint64_t> limit_of(std::uint64_t value) {
  if (value >= kUnlimited)
    return std::nullopt;
  return value;
}

std::optional<std::uint64_t> resource_limit(int resource) {
  ::rlimit limit{};
  if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return std::nullopt;
  return limit_of(static_cast<std::uint64_t>(limit.rlim_cur));
}

// The number a cgroup file holds; none for "max", a missing file or anything else.
std::optional<std::uint64_t> read_limit(const std::string& file) {
  std::ifstream in(file);
  std::string text;
  if (!(in >> text))
    return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return limit_of(value);
}

std::optional<std::uint64_t> smaller(std::optional<std::uint64_t> a,
                                     std::optional<std::uint64_t> b) {
  if (!a)
    return b;
  if (!b)
    return a;
  return std::min(*a, *b);
}

}  // namespace

std::optional<std::uint64_t> MemoryLimits::smallest() const {
  return smaller(smaller(physical, control_group), smaller(address_space, data));
}

std::optional<std::uint64_t> control_group_limit(const std::string& root,
                                                 const std::string& cgroup_path, bool version_2) {
  const char* file = version_2 ? "/memory.max" : "/memory.limit_in_bytes";
  std::optional<std::uint64_t> lowest;
  // Every level from the group up to the hierarchy's root limits the process. Inside a
  // container the group's own path may not exist under the mount; the levels that do count.
  std::string path =
      cgroup_path.empty() || cgroup_path.front() != '/' ? "/" + cgroup_path : cgroup_path;
  while (true) {
    while (path.size() > 1 && path.back() == '/')
      path.pop_back();
    lowest = smaller(lowest, read_limit(root + (path == "/" ? "" : path) + file));
    if (path == "/")
      return lowest;
    path.erase(path.rfind('/'));
    if (path.empty())
      path = "/";
  }
}

MemoryLimits process_memory_limits() {
  MemoryLimits limits;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0)
    limits.physical = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  limits.address_space = resource_limit(RLIMIT_AS);
  limits.data = resource_limit(RLIMIT_DATA);

  // Lines of /proc/self/cgroup: "0::PATH" for the unified (v2) hierarchy, "N:memory,...:PATH"
  // for the v1 memory controller.
  std::ifstream cgroups("/proc/self/cgroup");
  std::string line;
  while (std::getline(cgroups, line)) {
    const auto first = line.find(':');
    const auto second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos)
      continue;
    const std::string_view controllers(line.data() + first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      limits.control_group =
          smaller(limits.control_group, control_group_limit("/sys/fs/cgroup", path, true));
    } else if (("," + std::string(controllers) + ",").find(",memory,") != std::string::npos) {
      limits.control_group =
          smaller(limits.control_group, control_group_limit("/sys/fs/cgroup/memory", path, false));
    }
  }
  return limits;
}

}  // namespace zavo::platform
