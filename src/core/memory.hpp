// Memory advice for large dense arrays, and how much memory is left.
#pragma once

#include <cstddef>
#include <optional>

namespace quelt {

// Asks the kernel to back the not yet touched range [p, p + bytes) with huge
// pages when it is large (at least 4 MiB); a no-op elsewhere. First touch of
// a fresh n x p model matrix then costs a few hundred page faults instead of
// tens of thousands. Purely a hint: contents and results are unaffected.
void advise_huge_pages(void* p, std::size_t bytes);

// Bytes of memory the process can still obtain: the smallest of the memory
// the system reports available (MemAvailable + SwapFree), the room left under
// its cgroup's memory limit and the address-space limit. Nothing when none of
// them can be read.
std::optional<double> available_memory_bytes();

}  // namespace quelt
