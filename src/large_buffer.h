// An uninitialised block of memory for the records and the engine.
//
// Large blocks ask the system for huge pages unless told not to: first
// touches of fresh memory then fault once per 2 MiB rather than once per
// 4 KiB, which dominates the time of filling a large block on a quiet
// machine. Where another large process has just freed its memory, though,
// the system must first gather 2 MiB pages, and the same touches cost
// several times more than small pages would. `allocated()` is false when the
// memory could not be had; nothing throws.
#pragma once

#include <cstddef>

namespace zelto {

enum class PageSize { Huge, Small };

class LargeBuffer {
 public:
  explicit LargeBuffer(std::size_t bytes, PageSize pages = PageSize::Huge);
  ~LargeBuffer();
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  [[nodiscard]] bool allocated() const { return bytes_ == 0 || data_ != nullptr; }
  [[nodiscard]] unsigned char* data() const { return data_; }
  [[nodiscard]] std::size_t size() const { return bytes_; }

 private:
  unsigned char* data_ = nullptr;
  std::size_t bytes_;
};

}  // namespace zelto
