// zelto_peak_memory OUT COMMAND...: runs COMMAND and writes to the file OUT
// its wall time in seconds and the largest private memory (RssAnon, kB) it
// held, looked at every millisecond, as "WALL ANON_KB". Exits with the
// command's status. RssAnon leaves out the pages of mapped files, so it
// shows what a run costs in fresh memory, which peak RSS does not.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

long anon_kb(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::FILE* status = std::fopen(path.c_str(), "r");
  if (status == nullptr) return 0;
  char line[256];
  long kb = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "RssAnon:", 8) == 0) {
      kb = std::strtol(line + 8, nullptr, 10);
      break;
    }
  }
  std::fclose(status);
  return kb;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: zelto_peak_memory OUT COMMAND...\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) return 2;
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::perror(argv[2]);
    _exit(127);
  }
  long peak = 0;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    const long now = anon_kb(child);
    if (now > peak) peak = now;
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return 2;
  std::fprintf(out, "%.4f %ld\n", wall, peak);
  std::fclose(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
