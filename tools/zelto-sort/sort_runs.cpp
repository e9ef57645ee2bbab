#include "sort_runs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>

#include "parallel.h"
#include "sort_messages.h"
#include "temp_files.h"

namespace zelto::sorter {

namespace {

constexpr std::size_t WRITE_BLOCK = std::size_t{1} << 20;
// What the first read of a probe asks for (a line or two of most texts),
// and the most that later ones ask for.
constexpr std::size_t FIRST_PROBE_BYTES = 512;
constexpr std::size_t LAST_PROBE_BYTES = std::size_t{1} << 20;
// Bytes of a run already read are let go in whole pages, at least this many
// at a time.
constexpr std::uint64_t RELEASE_PAGE = 4096;
constexpr std::uint64_t RELEASE_BYTES = std::uint64_t{1} << 18;

// Gathers a run's bytes and hands them on in blocks: to the end of the
// run's file, or to the program that packs them.
class RunWriter final : public BlockedSink {
 public:
  // Writes all the bytes given, which follow `written` bytes of the run;
  // false with `error` set.
  using Put = std::function<bool(std::string_view bytes, std::uint64_t written, int& error)>;
  explicit RunWriter(Put put) : BlockedSink(WRITE_BLOCK), put_(std::move(put)) {}
  [[nodiscard]] int error() const { return error_; }
  [[nodiscard]] bool failed() const override { return error_ != 0; }
  [[nodiscard]] std::uint64_t written() const { return written_; }

 private:
  void put(std::string_view bytes) override {
    if (error_ != 0 || bytes.empty()) return;
    if (!put_(bytes, written_, error_)) return;
    written_ += bytes.size();
  }

  Put put_;
  std::uint64_t written_ = 0;
  int error_ = 0;
};

}  // namespace

bool RunStore::report_probe_failure(std::span<const ProbeFailure> failures) const {
  for (const ProbeFailure& failure : failures) {
    if (failure.error != 0) {
      report("read failed: " + quote_file(places_[runs_[failure.run].file].directory) + ": " +
             error_text(failure.error));
      return false;
    }
  }
  return true;
}

RunStore::Place* RunStore::next_place(std::size_t& index) {
  if (places_.empty()) {
    for (const std::string& directory : directories_) places_.push_back({directory, nullptr, 0});
  }
  index = stored_runs_ % places_.size();
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
  // What is still to come of the inputs is shared among the directories;
  // with -u the runs may hold far less, which only writing them shows.
  const std::uint64_t to_come = expected_ > stored_ && !style_.unique ? expected_ - stored_ : 0;
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
  const Place* place = next_place(place_index);
  if (place == nullptr) return false;
  std::uint64_t needed = batch.lines.size();
  for (const LineRef& line : batch.lines) needed += line.size;
  if (!has_room(*place, needed)) return false;
  if (order_ == nullptr || !order_->reuse_for(batch.lines.size())) {
    order_.reset();
    // Later batches hold about as many lines, a few more at times.
    order_ = std::make_unique<LineOrder>(batch.lines.size() + batch.lines.size() / 8);
    if (!order_->allocated() || !order_->reuse_for(batch.lines.size())) {
      report("memory exhausted");
      return false;
    }
  }
  sort_lines(batch.lines, comparator_, *order_, threads_);
  OutputStyle style = style_;
  style.debug = false;
  Run stored;
  const int status = store_run(
      [&](BlockedSink& sink) {
        write_in_order(batch.lines, order_->indices(), comparator_, style, threads_, sink, pieces_);
        return STATUS_OK;
      },
      stored);
  if (status != STATUS_OK || !batch.mappings_intact()) return false;
  runs_.push_back(std::move(stored));
  lines_ += batch.lines.size();
  batch.recycle();
  // Each packed run holds a file open until it is merged.
  if (packed() && runs_.size() >= 2 * pack_width_) {
    return narrow_to(pack_width_, pack_buffer_) == STATUS_OK;
  }
  return true;
}

bool RunStore::prepare_next_run() {
  std::size_t place_index = 0;
  return next_place(place_index) != nullptr;
}

void RunStore::stop_storing() {
  order_.reset();
  pieces_ = {};
}

int RunStore::store_merge(std::span<const std::unique_ptr<LineCursor>> streams) {
  std::size_t place_index = 0;
  const Place* place = next_place(place_index);
  if (place == nullptr || !has_room(*place, 0)) return STATUS_TROUBLE;
  Run stored;
  const int status = store_run(
      [&](BlockedSink& sink) {
        return merge_streams(streams, comparator_, style_.unique, false, style_.terminator,
                             threads_, sink);
      },
      stored);
  if (status == STATUS_OK) runs_.push_back(std::move(stored));
  return status;
}

int RunStore::store_run(const std::function<int(BlockedSink&)>& produce, Run& stored) {
  std::size_t place_index = 0;
  Place* place = next_place(place_index);
  if (place == nullptr) return STATUS_TROUBLE;
  ++stored_runs_;
  int error = 0;
  if (!packed()) {
    SpillFile& spill = *place->file;
    const std::uint64_t offset = place->end;
    RunWriter writer([&spill, offset](std::string_view bytes, std::uint64_t written, int& failure) {
      return spill.write_at(bytes.data(), bytes.size(), offset + written, failure);
    });
    const int status = produce(writer);
    writer.flush();
    if (status != STATUS_OK) return status;
    if (writer.error() != 0) {
      report("write failed: " + quote(place->directory) + ": " + error_text(writer.error()));
      return STATUS_TROUBLE;
    }
    stored = {place_index, place->end, writer.written(), nullptr};
    place->end += writer.written();
    stored_ += writer.written();
    return STATUS_OK;
  }
  auto file = std::make_shared<SpillFile>();
  if (!file->create(place->directory, error)) {
    report("cannot create temporary file in " + quote(place->directory) + ": " + error_text(error));
    return STATUS_TROUBLE;
  }
  PackingProgram program;
  if (!program.start(packer_, false, *file, error)) {
    report("couldn't execute compress program: " + error_text(error));
    return STATUS_TROUBLE;
  }
  RunWriter writer([&program](std::string_view bytes, std::uint64_t, int& failure) {
    return program.write(bytes.data(), bytes.size(), failure);
  });
  const int status = produce(writer);
  writer.flush();
  // A program that took fewer bytes than it was given packed no whole run,
  // whatever its status.
  const bool whole = program.finish() && writer.error() == 0;
  if (status != STATUS_OK) return status;
  if (!whole) {
    report(quote_file(packer_, true) + " [-d] terminated abnormally");
    return STATUS_TROUBLE;
  }
  stored = {place_index, 0, writer.written(), std::move(file)};
  stored_ += writer.written();
  return STATUS_OK;
}

int RunStore::merge_runs(std::size_t first, std::size_t count, std::size_t buffer_bytes,
                         Run& stored) {
  std::vector<std::unique_ptr<LineCursor>> cursors;
  if (!read_runs(first, count, buffer_bytes, cursors)) return STATUS_TROUBLE;
  const int status = store_run(
      [&](BlockedSink& sink) {
        return merge_streams(cursors, comparator_, style_.unique, false, style_.terminator,
                             threads_, sink);
      },
      stored);
  cursors.clear();
  if (status != STATUS_OK) return status;
  return end_reading() ? STATUS_OK : STATUS_TROUBLE;
}

int RunStore::narrow_to(std::size_t width, std::size_t buffer_bytes) {
  width = std::max<std::size_t>(width, 2);
  while (runs_.size() > width) {
    std::vector<Run> fewer;
    for (std::size_t first = 0; first < runs_.size(); first += width) {
      const std::size_t count = std::min(width, runs_.size() - first);
      if (count == 1) {
        fewer.push_back(std::move(runs_[first]));
        continue;
      }
      Run merged;
      if (const int status = merge_runs(first, count, buffer_bytes, merged); status != STATUS_OK) {
        return status;
      }
      // The runs merged are done with: a packed one's file goes now.
      for (std::size_t r = first; r < first + count; ++r) {
        stored_ -= runs_[r].size;
        runs_[r].own.reset();
      }
      fewer.push_back(std::move(merged));
    }
    runs_ = std::move(fewer);
  }
  return STATUS_OK;
}

ReadBytes RunStore::reader(const Run& run, std::uint64_t begin, std::uint64_t end) const {
  const SpillFile* file = places_[run.file].file.get();
  // Each range of a run is read once, and the cursor keeps what it has
  // read: the pages read before the latest read are let go (whole pages
  // within the range only, a neighbouring range may share the edges).
  struct Reading {
    std::uint64_t position;
    std::uint64_t released;
  };
  auto reading = std::make_shared<Reading>(Reading{run.offset + begin, run.offset + begin});
  const std::uint64_t stop = run.offset + end;
  return [file, stop, reading](char* data, std::size_t size, int& error) -> long long {
    const std::uint64_t read = reading->position;
    const std::uint64_t from = (reading->released + RELEASE_PAGE - 1) / RELEASE_PAGE * RELEASE_PAGE;
    const std::uint64_t to = read / RELEASE_PAGE * RELEASE_PAGE;
    if (to >= from + RELEASE_BYTES) {
      file->release(from, to - from);
      reading->released = to;
    }
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(stop - read, size));
    if (take == 0) return 0;
    if (!file->read_at(data, take, read, error)) return -1;
    reading->position += take;
    return static_cast<long long>(take);
  };
}

bool RunStore::read_all(std::size_t buffer_bytes,
                        std::vector<std::unique_ptr<LineCursor>>& cursors) {
  return read_runs(0, runs_.size(), buffer_bytes, cursors);
}

bool RunStore::read_runs(std::size_t first, std::size_t count, std::size_t buffer_bytes,
                         std::vector<std::unique_ptr<LineCursor>>& cursors) {
  for (std::size_t r = first; r < first + count; ++r) {
    const Run& run = runs_[r];
    if (run.own == nullptr) {
      cursors.push_back(plain_cursor(run, buffer_bytes));
      continue;
    }
    auto unpacking = std::make_unique<Unpacking>();
    unpacking->expected = run.size;
    int error = 0;
    if (!unpacking->program.start(packer_, true, *run.own, error)) {
      report("couldn't execute compress program (with -d): " + error_text(error));
      return false;
    }
    Unpacking* unpacker = unpacking.get();
    unpacking_.push_back(std::move(unpacking));
    cursors.push_back(std::make_unique<LineCursor>(
        [unpacker](char* data, std::size_t size, int& failure) -> long long {
          // A program that gives back more than it packed (one that never
          // stops, say) ends its run there (a cursor reads no further after
          // an end), and `end_reading` fails the merge.
          const long long got = unpacker->program.read(data, size, failure);
          if (got > 0) unpacker->given += static_cast<std::uint64_t>(got);
          return unpacker->given > unpacker->expected ? 0 : got;
        },
        places_[run.file].directory, style_.terminator, buffer_bytes));
  }
  return true;
}

bool RunStore::end_reading() {
  // A program may exit with status 0 and still have lost lines (or made
  // some up): each run must come back as long as it went in.
  bool whole = true;
  for (const std::unique_ptr<Unpacking>& unpacking : unpacking_) {
    const bool exited_well = unpacking->program.finish();
    whole = exited_well && unpacking->given == unpacking->expected && whole;
  }
  unpacking_.clear();
  if (!whole) report(quote_file(packer_, true) + " [-d] terminated abnormally");
  return whole;
}

std::unique_ptr<LineCursor> RunStore::plain_cursor(const Run& run, std::size_t buffer_bytes) const {
  return std::make_unique<LineCursor>(reader(run, 0, run.size), places_[run.file].directory,
                                      style_.terminator, buffer_bytes);
}

std::vector<std::unique_ptr<LineCursor>> RunStore::streams(std::size_t buffer_bytes) const {
  std::vector<std::unique_ptr<LineCursor>> cursors;
  for (const Run& run : runs_) cursors.push_back(plain_cursor(run, buffer_bytes));
  return cursors;
}

bool RunStore::probe(const Run& run, std::uint64_t offset, std::uint64_t limit, Probe& probe,
                     int& error) const {
  const SpillFile& file = *places_[run.file].file;
  const char terminator = style_.terminator;
  // Reads grow while no terminator turns up, so that a probe within a line
  // of many MiB costs a few dozen reads.
  std::vector<char> buffer(FIRST_PROBE_BYTES);
  // Past 0, the line starts after the first terminator from offset - 1 on.
  bool in_line = offset == 0;
  probe.start = in_line ? 0 : limit;
  probe.line.clear();
  for (std::uint64_t at = in_line ? 0 : offset - 1;;) {
    // A start is sought up to `limit`, the line it starts up to the end.
    const std::uint64_t stop = in_line ? run.size : limit;
    if (at >= stop) break;
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), stop - at));
    if (!file.read_at(buffer.data(), take, run.offset + at, error)) return false;
    const char* data = buffer.data();
    std::size_t from = take;
    if (in_line) {
      from = 0;
    } else if (const void* found = std::memchr(data, terminator, take)) {
      from = static_cast<std::size_t>(static_cast<const char*>(found) - data) + 1;
      probe.start = at + from;
      in_line = true;
    }
    const void* end = std::memchr(data + from, terminator, take - from);
    if (end != nullptr) {
      probe.line.append(data + from, static_cast<const char*>(end));
      return true;
    }
    probe.line.append(data + from, data + take);
    at += take;
    if (buffer.size() < LAST_PROBE_BYTES) buffer.resize(buffer.size() * 2);
  }
  return true;
}

bool RunStore::first_after(const Run& run, const std::vector<Probe>& samples,
                           std::string_view splitter, std::uint64_t& start, int& error) const {
  const auto after = [&](const Probe& p) { return comparator_.compare(p.line, splitter) > 0; };
  // The samples narrow the search to the bytes between two of them; the
  // line sought is the first one that starts in (lo - 1, hi].
  const auto next = std::partition_point(samples.begin(), samples.end(),
                                         [&](const Probe& p) { return !after(p); });
  std::uint64_t lo = next == samples.begin() ? 0 : std::prev(next)->start + 1;
  std::uint64_t hi = next == samples.end() ? run.size : next->start;
  start = hi;
  Probe probe_at;
  while (lo < hi) {
    const std::uint64_t middle = lo + (hi - lo) / 2;
    if (!probe(run, middle, hi, probe_at, error)) return false;
    if (probe_at.start >= hi) {
      hi = middle;  // no line starts in [middle, hi): the same line is sought
    } else if (after(probe_at)) {
      hi = middle;
      start = probe_at.start;
    } else {
      lo = probe_at.start + 1;
    }
  }
  return true;
}

class RunStore::Parts final : public MergeParts {
 public:
  Parts(const RunStore& store, std::vector<std::vector<std::uint64_t>> bounds,
        std::size_t buffer_bytes)
      : store_(store), bounds_(std::move(bounds)), buffer_bytes_(buffer_bytes) {}
  [[nodiscard]] std::size_t count() const override { return bounds_.size() - 1; }
  [[nodiscard]] std::vector<std::unique_ptr<LineCursor>> cursors() const override {
    return store_.streams(buffer_bytes_);
  }
  void aim(std::size_t part, std::span<const std::unique_ptr<LineCursor>> cursors) const override {
    for (std::size_t r = 0; r < cursors.size(); ++r) {
      cursors[r]->restart(store_.reader(store_.runs_[r], bounds_[part][r], bounds_[part + 1][r]));
    }
  }

 private:
  const RunStore& store_;
  std::vector<std::vector<std::uint64_t>> bounds_;  // by part boundary, then run
  std::size_t buffer_bytes_;
};

bool RunStore::sample_runs(std::size_t count, unsigned threads,
                           std::vector<std::vector<Probe>>& samples) const {
  samples.assign(runs_.size(), {});
  std::vector<ProbeFailure> failures(runs_.size());
  run_tasks(runs_.size(), threads, [&](std::size_t r) {
    const Run& run = runs_[r];
    Probe sample;
    for (std::size_t j = 0; j < count; ++j) {
      if (!probe(run, run.size / count * j, run.size, sample, failures[r].error)) {
        failures[r].run = r;
        return;
      }
      if (sample.start >= run.size) break;
      if (samples[r].empty() || samples[r].back().start != sample.start) {
        samples[r].push_back(sample);
      }
    }
  });
  return report_probe_failure(failures);
}

std::vector<std::string_view> RunStore::choose_splitters(
    const std::vector<std::vector<Probe>>& samples, std::size_t parts) const {
  // Each sample stands for the bytes up to the next sample of its run.
  struct Candidate {
    std::string_view line;
    std::uint64_t bytes;
  };
  std::vector<Candidate> candidates;
  for (std::size_t r = 0; r < samples.size(); ++r) {
    for (std::size_t j = 0; j < samples[r].size(); ++j) {
      const std::uint64_t end = j + 1 < samples[r].size() ? samples[r][j + 1].start : runs_[r].size;
      candidates.push_back({samples[r][j].line, end - samples[r][j].start});
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [&](const Candidate& a, const Candidate& b) {
                     return comparator_.compare(a.line, b.line) < 0;
                   });
  // A splitter closes a part once the samples before it stand for the
  // part's share of the bytes; lines equal to the last splitter close none.
  // Parts are cut by the whole order, not by the keys alone: many lines may
  // share a key (an empty field), and lines equal in that order are equal
  // in every byte, or equal under -u or -s, whose order is that of the keys.
  std::vector<std::string_view> splitters;
  std::uint64_t before = 0;
  for (const Candidate& candidate : candidates) {
    const std::uint64_t share = stored_ / parts * (splitters.size() + 1);
    if (before >= share &&
        (splitters.empty() || comparator_.compare(splitters.back(), candidate.line) < 0)) {
      splitters.push_back(candidate.line);
    }
    before += candidate.bytes;
  }
  return splitters;
}

std::unique_ptr<MergeParts> RunStore::parts(std::size_t parts, std::size_t buffer_bytes,
                                            unsigned threads) const {
  std::vector<std::vector<Probe>> samples;
  if (!sample_runs(parts, threads, samples)) return nullptr;
  const std::vector<std::string_view> splitters = choose_splitters(samples, parts);
  // bounds[p][r]: where part p starts in run r.
  std::vector<std::vector<std::uint64_t>> bounds(splitters.size() + 2,
                                                 std::vector<std::uint64_t>(runs_.size(), 0));
  for (std::size_t r = 0; r < runs_.size(); ++r) bounds.back()[r] = runs_[r].size;
  std::vector<ProbeFailure> failures(splitters.size());
  run_tasks(splitters.size(), threads, [&](std::size_t s) {
    for (std::size_t r = 0; r < runs_.size(); ++r) {
      if (!first_after(runs_[r], samples[r], splitters[s], bounds[s + 1][r], failures[s].error)) {
        failures[s].run = r;
        return;
      }
    }
  });
  if (!report_probe_failure(failures)) return nullptr;
  // Ordered splitters give ordered starts; kept so whatever the order says,
  // the parts cover every byte of every run once.
  for (std::size_t p = 1; p < bounds.size(); ++p) {
    for (std::size_t r = 0; r < runs_.size(); ++r) {
      bounds[p][r] = std::max(bounds[p][r], bounds[p - 1][r]);
    }
  }
  return std::make_unique<Parts>(*this, std::move(bounds), buffer_bytes);
}

}  // namespace zelto::sorter
