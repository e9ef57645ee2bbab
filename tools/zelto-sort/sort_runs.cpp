#include "sort_runs.h"

#include <algorithm>
#include <cerrno>

#include "sort_messages.h"
#include "temp_files.h"

namespace zelto::sorter {

namespace {

constexpr std::size_t WRITE_BLOCK = std::size_t{1} << 20;

// Gathers a run's bytes and writes them in blocks at the run's end.
class RunWriter final : public BlockedSink {
 public:
  RunWriter(SpillFile& file, std::uint64_t offset)
      : BlockedSink(WRITE_BLOCK), file_(file), offset_(offset) {}
  [[nodiscard]] int error() const { return error_; }
  [[nodiscard]] bool failed() const override { return error_ != 0; }
  [[nodiscard]] std::uint64_t written() const { return written_; }

 private:
  void put(std::string_view bytes) override {
    if (error_ != 0 || bytes.empty()) return;
    if (!file_.write_at(bytes.data(), bytes.size(), offset_ + written_, error_)) return;
    written_ += bytes.size();
  }

  SpillFile& file_;
  std::uint64_t offset_;
  std::uint64_t written_ = 0;
  int error_ = 0;
};

}  // namespace

RunStore::Place* RunStore::next_place(std::size_t& index) {
  if (places_.empty()) {
    for (const std::string& directory : directories_) places_.push_back({directory, nullptr, 0});
  }
  index = runs_.size() % places_.size();
  Place& place = places_[index];
  if (place.file == nullptr) {
    auto file = std::make_unique<SpillFile>();
    int error = 0;
    if (!file->create(place.directory, error)) {
      report("cannot create temporary file in " + quote(place.directory) + ": " +
             error_text(error));
      return nullptr;
    }
    place.file = std::move(file);
  }
  return &place;
}

bool RunStore::has_room(const Place& place, std::uint64_t bytes) const {
  // What is still to come of the inputs is shared among the directories.
  const std::uint64_t to_come = expected_ > stored_ ? expected_ - stored_ : 0;
  const std::uint64_t needed = std::max(bytes, (to_come + places_.size() - 1) / places_.size());
  const std::optional<std::uint64_t> room = free_space(place.directory);
  if (room.has_value() && *room < needed) {
    report("write failed: " + quote(place.directory) + ": " + error_text(ENOSPC));
    return false;
  }
  return true;
}

bool RunStore::spill(LineBatch& batch) {
  if (batch.lines.empty()) return true;
  std::size_t place_index = 0;
  Place* place = next_place(place_index);
  if (place == nullptr) return false;
  std::uint64_t needed = batch.lines.size();
  for (const LineRef& line : batch.lines) needed += line.size;
  if (!has_room(*place, needed)) return false;
  LineOrder order(batch.lines.size());
  if (!order.allocated()) {
    report("memory exhausted");
    return false;
  }
  sort_lines(batch.lines, comparator_, order, threads_);
  RunWriter writer(*place->file, place->end);
  OutputStyle style = style_;
  style.debug = false;
  write_in_order(batch.lines, order.indices(), comparator_, style, threads_, writer);
  writer.flush();
  if (!batch.mappings_intact() || !add_run(place_index, writer.written(), writer.error())) {
    return false;
  }
  lines_ += batch.lines.size();
  batch.recycle();
  return true;
}

int RunStore::store_merge(std::span<const std::unique_ptr<LineCursor>> streams) {
  std::size_t place_index = 0;
  Place* place = next_place(place_index);
  if (place == nullptr || !has_room(*place, 0)) return STATUS_TROUBLE;
  RunWriter writer(*place->file, place->end);
  const int status = merge_streams(streams, comparator_, style_.unique, false, style_.terminator,
                                   threads_, writer);
  writer.flush();
  if (status != STATUS_OK) return status;
  return add_run(place_index, writer.written(), writer.error()) ? STATUS_OK : STATUS_TROUBLE;
}

bool RunStore::add_run(std::size_t place_index, std::uint64_t written, int error) {
  Place& place = places_[place_index];
  if (error != 0) {
    report("write failed: " + quote(place.directory) + ": " + error_text(error));
    return false;
  }
  runs_.push_back({place_index, place.end, written});
  place.end += written;
  stored_ += written;
  return true;
}

std::vector<std::unique_ptr<LineCursor>> RunStore::streams(std::size_t buffer_bytes) const {
  std::vector<std::unique_ptr<LineCursor>> cursors;
  for (const Run& run : runs_) {
    const SpillFile* file = places_[run.file].file.get();
    auto position = std::make_shared<std::uint64_t>(0);
    ReadBytes read = [file, run, position](char* data, std::size_t size, int& error) -> long long {
      const std::uint64_t left = run.size - *position;
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, size));
      if (take == 0) return 0;
      if (!file->read_at(data, take, run.offset + *position, error)) return -1;
      *position += take;
      return static_cast<long long>(take);
    };
    cursors.push_back(std::make_unique<LineCursor>(std::move(read), places_[run.file].directory,
                                                   style_.terminator, buffer_bytes));
  }
  return cursors;
}

}  // namespace zelto::sorter
