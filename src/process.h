// The few things the command settles with its own process: how it reacts to
// the system's ways of ending or stopping it, and whether standard error is
// a terminal that a status line may be drawn on.
#pragma once

#include <cstddef>

namespace zelto {

// Called once at the start of a run, before any file is opened: a write
// beyond a file-size limit then fails like any other write instead of ending
// the process, and on Windows no dialog box waits for a user when a drive
// is missing or a disk is full.
void prepare_process();

// Both safe to call from a signal handler: a pause of about a millisecond,
// and one unbuffered write of `size` bytes to standard error (its failure
// is ignored: nothing else could be told of it then).
void pause_a_millisecond();
void write_to_standard_error(const char* bytes, std::size_t size);

// True when standard error is a terminal (a console on Windows), never for a
// file or a pipe.
[[nodiscard]] bool standard_error_is_terminal();

}  // namespace zelto
