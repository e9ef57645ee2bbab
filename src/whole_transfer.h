// Moving a whole byte range through calls like read(2) and pwrite(2), which
// may move fewer bytes than asked or be interrupted by a signal.
//
// `step(done)` moves bytes from position `done` of the range on and returns
// how many it moved (a negative value with errno set on failure). Steps are
// repeated until the range is whole; an interrupted step is retried.
#pragma once

#include <cerrno>
#include <cstddef>

namespace zelto {

// 0 once all `size` bytes have moved; otherwise the errno of the failed step,
// or `stalled_error` when a step moved nothing (the end of a file).
template <class Step>
[[nodiscard]] int transfer_whole(std::size_t size, int stalled_error, Step step) {
  std::size_t done = 0;
  while (done < size) {
    const auto moved = step(done);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) return moved < 0 ? errno : stalled_error;
    done += static_cast<std::size_t>(moved);
  }
  return 0;
}

}  // namespace zelto
