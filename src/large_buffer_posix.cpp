#include <sys/mman.h>

#include <cstdlib>

#include "large_buffer.h"

namespace zelto {

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

}  // namespace

LargeBuffer::LargeBuffer(std::size_t bytes, [[maybe_unused]] PageSize pages) : bytes_(bytes) {
  if (bytes == 0) return;
  if (bytes < HUGE_PAGE) {
    data_ = static_cast<unsigned char*>(std::malloc(bytes));
    return;
  }
  const std::size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  data_ = static_cast<unsigned char*>(std::aligned_alloc(HUGE_PAGE, rounded));
  // Only advice (Linux): without huge pages the block works the same, more
  // slowly.
#ifdef MADV_HUGEPAGE
  if (data_ != nullptr && pages == PageSize::Huge) madvise(data_, rounded, MADV_HUGEPAGE);
#endif
}

LargeBuffer::~LargeBuffer() {
  std::free(data_);
}

}  // namespace zelto
