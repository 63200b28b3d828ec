#pragma once
// Memory figures of the running process, for the in-process benchmarks.

#include <malloc.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace zavo::benchmarks {

// A field of /proc/self/status in MiB (`VmRSS`, `VmHWM`), or -1 where there is none.
inline double status_mib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtod(line.c_str() + field.size() + 1, nullptr) / 1024.0;
  }
  return -1;
}

// Heap memory in use, in bytes (mallinfo2).
inline double heap_bytes() {
  struct mallinfo2 info = ::mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

}  // namespace zavo::benchmarks
