// Memory advice for large dense arrays.
#pragma once

#include <cstddef>

namespace quelt {

// Asks the kernel to back the not yet touched range [p, p + bytes) with huge
// pages when it is large (at least 4 MiB); a no-op elsewhere. First touch of
// a fresh n x p model matrix then costs a few hundred page faults instead of
// tens of thousands. Purely a hint: contents and results are unaffected.
void advise_huge_pages(void* p, std::size_t bytes);

}  // namespace quelt
