// What zelto-sort settles between its command line and its work: the
// names of --files0-from, the keys' last checks, the options that exclude
// each other, the key of -R, the --debug warnings, the memory budget and
// the thread count. Each failure is reported in sort's words.
#pragma once

#include <cstdint>

#include "sort_options.h"

namespace zelto::sorter {

// Everything a run settles before it reads a line.
struct RunContext {
  SortCommand command;
  std::uint64_t budget = 0;
  // The budget -S (or the environment) asked for, which may be below the
  // least that `budget` holds.
  std::uint64_t asked_budget = 0;
  unsigned threads = 1;
  char terminator = '\n';
  // Whether the -o file was there when the run began, before any input
  // was opened (see `open_output` in sort_main.cpp).
  bool output_was_there = false;
};

// Completes `run.command` and settles the rest of `run`: 0, or the exit
// status after a reported failure.
[[nodiscard]] int prepare_run(RunContext& run);

}  // namespace zelto::sorter
