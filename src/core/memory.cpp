#include "core/memory.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace quelt {

void advise_huge_pages(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::size_t kMinBytes = std::size_t{4} << 20;
  if (p == nullptr || bytes < kMinBytes) return;
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return;
  const auto page = static_cast<std::uintptr_t>(page_size);
  const auto begin = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (begin + page - 1) / page * page;
  const std::uintptr_t last = (begin + bytes) / page * page;
  if (last <= first) return;
  // Failure (no transparent huge pages, an old kernel) leaves normal pages.
  (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

namespace {

// The first number in the file, if it starts with one ("max" gives nothing).
std::optional<double> read_number(const std::string& path) {
  std::ifstream in(path);
  double v = 0.0;
  if (in >> v) return v;
  return std::nullopt;
}

// "MemAvailable" + "SwapFree" of /proc/meminfo, in bytes.
std::optional<double> system_available() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  double kb = 0.0, total = 0.0;
  int found = 0;
  std::string unit;
  while (in >> key >> kb) {
    std::getline(in, unit);
    if (key == "MemAvailable:" || key == "SwapFree:") {
      total += kb * 1024.0;
      ++found;
    }
  }
  if (found == 0) return std::nullopt;
  return total;
}

// Room under the memory limit of the process's cgroup (version 2).
std::optional<double> cgroup_room() {
  std::ifstream in("/proc/self/cgroup");
  std::string line, path;
  while (std::getline(in, line)) {
    if (line.rfind("0::", 0) == 0) path = line.substr(3);
  }
  if (path.empty()) return std::nullopt;
  const std::string dir = "/sys/fs/cgroup" + (path == "/" ? std::string() : path);
  const auto limit = read_number(dir + "/memory.max");
  const auto used = read_number(dir + "/memory.current");
  if (!limit || !used) return std::nullopt;
  return std::max(0.0, *limit - *used);
}

}  // namespace

std::optional<double> available_memory_bytes() {
  std::optional<double> best;
  auto take = [&best](std::optional<double> v) {
    if (v && (!best || *v < *best)) best = v;
  };
  take(system_available());
  take(cgroup_room());
#if defined(__linux__)
  rlimit rl{};
  if (getrlimit(RLIMIT_AS, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
    const long page = sysconf(_SC_PAGESIZE);
    const auto vm_pages = read_number("/proc/self/statm");
    if (page > 0 && vm_pages) {
      take(std::max(0.0, static_cast<double>(rl.rlim_cur) - *vm_pages * static_cast<double>(page)));
    }
  }
#endif
  return best;
}

}  // namespace quelt
