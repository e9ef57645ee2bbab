// What zelto-pack asks of the operating system, in its own terms: files
// written under a temporary name and moved into place, the clean-up of those
// files when the process is interrupted, a private directory, and starting
// zelto. pack_system_posix.cpp and pack_system_win32.cpp implement it; no
// other file of zelto-pack includes a system header.
//
// Every function reports failure through its result and, where it takes
// one, a `message` of the form "PATH: cause"; none throws.
#pragma once

#include <cstdio>
#include <span>
#include <string>

namespace zelto {

// Creates a file that did not exist at `path` and opens it for writing in
// binary mode, open to this user alone until give_final_permissions. Returns
// the stream, or nullptr with `already_exists` telling a name that is taken
// from any other failure, which `message` describes.
[[nodiscard]] std::FILE* create_new_file(const std::string& path, const std::string& model,
                                         bool& already_exists, std::string& message);

// Gives a file made by create_new_file, once complete, the permissions of
// `model` where a file by that name exists, or those a new file gets.
[[nodiscard]] bool give_final_permissions(std::FILE* file, const std::string& model);

// Writes out what `file` buffers and asks the system to put the file's
// data on its storage. Returns false when either fails.
[[nodiscard]] bool flush_to_storage(std::FILE* file);

// Gives the file at `from` the name `to` in one step, replacing a file that
// has that name. Returns false with `message` naming `to` on failure.
[[nodiscard]] bool move_into_place(const std::string& from, const std::string& to,
                                   std::string& message);

// False when a file exists at `path` that this process may not write:
// zelto-pack replaces only files that it could have rewritten itself.
[[nodiscard]] bool may_replace(const std::string& path);

// Makes a new directory that only this user can enter, with a name that no
// other process gets, below the system's temporary directory. Returns false
// with `message` on failure; `path` is the directory's path on success.
[[nodiscard]] bool make_private_directory(std::string& path, std::string& message);

// The program `name` (zelto) to start: the one in the directory of the
// running program, when there is one, or else `name` alone, for the PATH.
// `argv0` is the running program's first argument.
[[nodiscard]] std::string companion_program(const char* argv0, const std::string& name);

// Starts `program` (a path, or a name looked up on the PATH) with
// `arguments` in `directory`, its standard output going to `output`, and
// waits for it. Returns its exit status; 128 plus the signal when a signal
// ended it; -1 with `message` when it could not be started.
[[nodiscard]] int run_program(const std::string& program, std::span<const std::string> arguments,
                              const std::string& directory, std::FILE* output,
                              std::string& message);

// True where a started program's standard output is a text stream that
// writes each LF as CR LF (Windows): zelto's display then does not carry the
// bytes of its lines.
[[nodiscard]] bool displays_translate_line_ends();
// Makes `stream` (standard output) write bytes as they are from now on.
void write_bytes_as_they_are(std::FILE* stream);

// Interruption (Ctrl-C, a termination request, a closed terminal): the
// paths given here are removed, a running program is ended, and the process
// then ends as the signal would have ended it. Signals that were ignored
// when zelto-pack started stay ignored. A directory is removed after the
// files, once empty. At most eight paths at a time.
void remove_when_interrupted(const std::string& path);
// Forgets a path given to remove_when_interrupted, once it has been
// removed or moved into place.
void keep_when_interrupted(const std::string& path);

}  // namespace zelto
