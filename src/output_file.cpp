// What an output file does alike on every system.
#include "output_file.h"

#include <atomic>
#include <cstring>
#include <utility>

namespace zelto {

namespace {

// Room for every eraser a run watches: the status line's and the output's.
constexpr std::size_t MOST_ERASERS = 4;
std::atomic<void (*)()> ending_erasers[MOST_ERASERS];

}  // namespace

namespace detail {

void add_ending_eraser(void (*erase)()) {
  if (erase == nullptr) return;
  for (std::atomic<void (*)()>& slot : ending_erasers) {
    void (*found)() = nullptr;
    if (slot.compare_exchange_strong(found, erase) || found == erase) return;
  }
}

void run_ending_erasers() {
  for (const std::atomic<void (*)()>& slot : ending_erasers) {
    if (void (*erase)() = slot.load()) erase();
  }
}

}  // namespace detail

std::string OutputFile::failed_step_message(const std::string& path) const {
  if (failed_step_ == nullptr) return {};
  return std::string(failed_step_) + " error: " + path + ": " + std::strerror(failed_error_);
}

bool OutputFile::commit(bool to_stable_storage) {
  if (stream_ == nullptr) return false;
  return replacing_ ? commit_replacement() : commit_in_place(to_stable_storage);
}

void OutputFile::cut_back() {
  std::FILE* stream = std::exchange(stream_, nullptr);
  if (stream == nullptr) return;
  const bool removable = created_ && opened_.has_value();
  if (opened_.has_value() && !removable) {
    detail::close_and_cut(stream);
    return;
  }
  std::fclose(stream);
  if (removable) detail::remove_own_file(path_, *opened_);
}

void OutputFile::abandon() {
  if (!replacing_) cut_back();
  discard();
  opened_.reset();
}

}  // namespace zelto
