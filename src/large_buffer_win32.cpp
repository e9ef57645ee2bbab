#include <windows.h>

#include <cstdlib>

#include "large_buffer.h"

namespace zelto {

namespace {

constexpr std::size_t LARGE_BLOCK = std::size_t{2} << 20;

}  // namespace

// Large blocks come whole from the system, page-aligned; their pages are
// committed at once, as Windows commits all memory it hands out, and are
// backed by physical memory when first touched.
LargeBuffer::LargeBuffer(std::size_t bytes, PageSize /*pages*/) : bytes_(bytes) {
  if (bytes == 0) return;
  if (bytes < LARGE_BLOCK) {
    data_ = static_cast<unsigned char*>(std::malloc(bytes));
    return;
  }
  data_ = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

LargeBuffer::~LargeBuffer() {
  if (data_ == nullptr) return;
  if (bytes_ < LARGE_BLOCK) {
    std::free(data_);
  } else {
    VirtualFree(data_, 0, MEM_RELEASE);
  }
}

}  // namespace zelto
