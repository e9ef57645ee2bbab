// Runs the built command in a fresh temporary directory and captures what it
// leaves behind: standard output, standard error, exit status and files.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "records.h"

namespace zelto::testing {

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// A private working directory, removed with everything in it at the end.
class Sandbox {
 public:
  Sandbox() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zelto-e2e-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
  }
  ~Sandbox() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  [[nodiscard]] const std::filesystem::path& dir() const { return dir_; }
  [[nodiscard]] std::filesystem::path path(const std::string& name) const { return dir_ / name; }

  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  void write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  [[nodiscard]] std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  [[nodiscard]] bool exists(const std::string& name) const {
    return std::filesystem::exists(path(name));
  }
  // The names of every entry in the directory, sorted.
  [[nodiscard]] std::vector<std::string> files() const;

  // Runs the command with `arguments` (each single-quoted for the shell) in
  // this directory; `shell_suffix` is appended verbatim (e.g. "| head -n 1").
  RunResult run(const std::vector<std::string>& arguments, const std::string& shell_suffix = "") const;

 private:
  std::filesystem::path dir_;
};

inline std::vector<std::string> Sandbox::files() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  q += '\'';
  return q;
}

inline RunResult Sandbox::run(const std::vector<std::string>& arguments,
                              const std::string& shell_suffix) const {
  const std::filesystem::path base = dir_.parent_path() / dir_.filename();
  const std::string out_file = base.string() + ".out";
  const std::string err_file = base.string() + ".err";
  std::string command = "cd ";
  command.append(shell_quote(dir_.string())).append(" && ").append(shell_quote(ZELTO_BINARY));
  for (const std::string& a : arguments) command.append(" ").append(shell_quote(a));
  command.append(" 2>").append(shell_quote(err_file));
  // Without a suffix the command writes straight to the file; with one, the
  // suffix (a pipe) receives standard output first.
  if (!shell_suffix.empty()) command.append(" ").append(shell_suffix);
  command.append(" >").append(shell_quote(out_file));
  const int raw = std::system(command.c_str());
  RunResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  auto slurp = [](const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::string s{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::filesystem::remove(name);
    return s;
  };
  result.out = slurp(out_file);
  result.err = slurp(err_file);
  return result;
}

}  // namespace zelto::testing
