// Lines of a sorted batch written out in order: all of them, or with -u
// only the first of each run of lines whose keys compare equal, each
// followed by its annotation under --debug. Threads format consecutive
// pieces of the order into buffers of their own, which are written in
// order: the bytes are the same for every thread count.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "line_engine.h"
#include "parallel.h"
#include "text_keys.h"

namespace zelto::sorter {

struct OutputStyle {
  bool unique = false;
  bool debug = false;
  char terminator = '\n';
};

// Appends to `out` the output of the lines at positions [begin, end) of
// `indices` (a line is left out under -u when its keys equal those of the
// line before it in the order).
void format_lines(std::span<const LineRef> lines, std::span<const std::uint32_t> indices,
                  std::size_t begin, std::size_t end, const text::LineComparator& comparator,
                  const OutputStyle& style, std::string& out);

// About the bytes one task formats before its buffer is handed on: the
// pieces are cut by a count of lines, from the lines' average length. A
// piece this small is still in the processor's cache when it is written
// (pieces of 1 MiB took 2-5% more time and processor time to sort 600 MB).
inline constexpr std::size_t PIECE_BYTES = std::size_t{256} << 10;

// How many lines of `lines` (visited in `indices` order) make a piece.
[[nodiscard]] std::size_t lines_per_piece(std::span<const LineRef> lines,
                                          std::span<const std::uint32_t> indices);

// Writes `lines` in the order of `indices` to `sink` (anything with
// write(bytes)), formatted on up to `threads` threads, a piece of about
// PIECE_BYTES at a time. While one window of pieces is written, on a
// thread of its own, the next one is formatted.
// The job must not throw: a failed allocation while formatting ends the run
// through the exception that run_tasks hands on, after the writing waits.
// `buffers` are those of the pieces, kept for the next call by a caller
// that writes batch after batch: memory touched again costs no fault.
template <class Sink>
void write_in_order(std::span<const LineRef> lines, std::span<const std::uint32_t> indices,
                    const text::LineComparator& comparator, const OutputStyle& style,
                    unsigned threads, Sink& sink, std::vector<std::string>& buffers) {
  const std::size_t piece_lines = lines_per_piece(lines, indices);
  const std::size_t pieces = (indices.size() + piece_lines - 1) / piece_lines;
  const std::size_t window = std::max<std::size_t>(1, 2 * std::size_t{threads});
  // Two sets of buffers: one being written while the other fills.
  buffers.resize(std::max(buffers.size(), 2 * std::min(window, pieces)));
  std::vector<std::size_t> filled(2, 0);
  BackgroundJob writer(
      [&](std::size_t set) {
        for (std::size_t k = 0; k < filled[set]; ++k) sink.write(buffers[set * window + k]);
      },
      threads);
  for (std::size_t first = 0, set = 0; first < pieces; first += window, set ^= 1) {
    const std::size_t count = std::min(window, pieces - first);
    run_tasks(count, threads, [&](std::size_t k) {
      const std::size_t begin = (first + k) * piece_lines;
      const std::size_t end = std::min(indices.size(), begin + piece_lines);
      std::string& buffer = buffers[set * window + k];
      buffer.clear();
      // Room for a piece a little longer than the average, so that a
      // buffer seldom grows (and never doubles its memory).
      buffer.reserve(PIECE_BYTES + PIECE_BYTES / 4);
      format_lines(lines, indices, begin, end, comparator, style, buffer);
    });
    filled[set] = count;
    writer.post(set);
  }
  writer.wait();
}

template <class Sink>
void write_in_order(std::span<const LineRef> lines, std::span<const std::uint32_t> indices,
                    const text::LineComparator& comparator, const OutputStyle& style,
                    unsigned threads, Sink& sink) {
  std::vector<std::string> buffers;
  write_in_order(lines, indices, comparator, style, threads, sink, buffers);
}

}  // namespace zelto::sorter
