#include "sort_setup.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "memory_budget.h"
#include "parallel.h"
#include "sort_messages.h"
#include "sort_system.h"

namespace zelto::sorter {

namespace {

// The least memory a run works with, whatever -S says.
constexpr std::uint64_t SMALLEST_BUDGET = std::uint64_t{1} << 20;
// The bytes of -R's key.
constexpr std::size_t RANDOM_SEED_BYTES = 16;

// The whole content of the input `name` ("-": standard input); false with
// `open_failed` and `error` telling what failed.
bool read_whole(const std::string& name, std::string& content, bool& open_failed, int& error) {
  open_failed = false;
  const int fd = name == "-" ? STANDARD_INPUT : open_for_reading(name, error);
  if (fd < 0) {
    open_failed = true;
    return false;
  }
  char block[65536];
  for (;;) {
    const long long got = read_some(fd, block, sizeof block, error);
    if (got < 0) {
      close_file(fd);
      return false;
    }
    if (got == 0) break;
    content.append(block, static_cast<std::size_t>(got));
  }
  close_file(fd);
  return true;
}

// Replaces the operands by the NUL-terminated names of --files0-from.
int read_file_list(SortCommand& command) {
  const std::string& list = *command.files0_from;
  if (!command.files.empty()) {
    report("extra operand " + quote_file(command.files[0], true));
    print(stderr, "file operands cannot be combined with --files0-from\n" + help_hint());
    return STATUS_TROUBLE;
  }
  std::string content;
  bool open_failed = false;
  int error = 0;
  if (!read_whole(list, content, open_failed, error)) {
    // A list that opens but cannot be read is told without the reason.
    report(open_failed ? "open failed: " + quote_file(list) + ": " + error_text(error)
                       : "cannot read file names from " + quote(list));
    return STATUS_TROUBLE;
  }
  std::size_t start = 0;
  std::size_t number = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\0', start);
    if (end == std::string::npos) end = content.size();
    ++number;
    const std::string name = content.substr(start, end - start);
    if (name.empty()) {
      report(quote_file(list) + ":" + std::to_string(number) + ": invalid zero-length file name");
      return STATUS_TROUBLE;
    }
    if (name == "-") {
      report("when reading file names from stdin, no file name of " + quote(name) + " allowed");
      return STATUS_TROUBLE;
    }
    command.files.push_back(name);
    start = end + 1;
  }
  if (command.files.empty()) {
    report("no input from " + quote(list));
    return STATUS_TROUBLE;
  }
  return STATUS_OK;
}

// --debug excludes -c, -C and -o.
int check_debug_combinations(const SortCommand& command) {
  if (command.debug && (command.check != CheckMode::None || command.output.has_value())) {
    const std::string other =
        command.check != CheckMode::None ? std::string{'-', command.check_letter} : "-o";
    report("options '" + other + " --debug' are incompatible");
    return STATUS_TROUBLE;
  }
  return STATUS_OK;
}

// -c and -C exclude a second input and -o.
int check_check_combinations(const SortCommand& command) {
  if (command.check == CheckMode::None) return STATUS_OK;
  const std::string check_option{'-', command.check_letter};
  if (command.files.size() > 1) {
    report("extra operand " + quote_file(command.files[1], true) + " not allowed with " +
           check_option);
    return STATUS_TROUBLE;
  }
  if (command.output.has_value()) {
    report("options '" + check_option + "o' are incompatible");
    return STATUS_TROUBLE;
  }
  return STATUS_OK;
}

// Whether a key orders at random once the keys took the global options
// (a key with letters of its own does not take -R); with no key, whether
// the global options do.
bool uses_random_order(const text::SortSettings& settings) {
  if (settings.keys.empty()) return settings.global.order == text::KeyOrder::Random;
  return std::any_of(settings.keys.begin(), settings.keys.end(), [](const text::KeyField& key) {
    return key.options.order == text::KeyOrder::Random;
  });
}

// The key of -R: the first bytes of --random-source, or fresh random bytes.
int choose_random_seed(SortCommand& command) {
  std::string& seed = command.settings.random_seed;
  if (!command.random_source.has_value()) {
    std::random_device device;
    while (seed.size() < RANDOM_SEED_BYTES) seed += static_cast<char>(device() & 0xFF);
    return STATUS_OK;
  }
  const std::string& name = *command.random_source;
  int error = 0;
  const int fd = open_for_reading(name, error);
  if (fd < 0) {
    report("open failed: " + quote_file(name) + ": " + error_text(error));
    return STATUS_TROUBLE;
  }
  char bytes[RANDOM_SEED_BYTES];
  std::size_t held = 0;
  while (held < RANDOM_SEED_BYTES) {
    const long long got = read_some(fd, bytes + held, RANDOM_SEED_BYTES - held, error);
    if (got <= 0) {
      close_file(fd);
      report(quote(name) + (got < 0 ? ": read error: " + error_text(error) : ": end of file"));
      return STATUS_TROUBLE;
    }
    held += static_cast<std::size_t>(got);
  }
  close_file(fd);
  seed.assign(bytes, RANDOM_SEED_BYTES);
  return STATUS_OK;
}

// The budget of the run: -S, else ZELTO_MEMORY, else what the system leaves.
bool decide_budget(const SortCommand& command, std::uint64_t& budget) {
  if (command.buffer_size.has_value()) {
    const BufferSize& size = *command.buffer_size;
    budget = size.percent ? physical_memory() / 100 * size.bytes : size.bytes;
  } else if (const char* setting = std::getenv("ZELTO_MEMORY");
             setting != nullptr && *setting != '\0') {
    // Read as zelto reads it, but refused in this program's own words.
    const std::optional<std::uint64_t> bytes = parse_memory_size(setting);
    if (!bytes.has_value()) {
      report(std::string("memory budget error: ZELTO_MEMORY=") + setting);
      return false;
    }
    budget = *bytes;
  } else {
    budget = derived_budget(current_limits());
  }
  return true;
}

}  // namespace

// Everything between the parsed command line and the work: the file list,
// the keys' last checks, the seed, the warnings, the budget.
int prepare_run(RunContext& run) {
  SortCommand& command = run.command;
  if (command.files0_from.has_value()) {
    if (const int status = read_file_list(command); status != STATUS_OK) return status;
  }
  if (const auto error = text::finish_settings(command.settings)) {
    report(*error);
    return STATUS_TROUBLE;
  }
  // In sort's order: --debug's conflicts and warnings, the random source,
  // then the conflicts of -c and -C.
  if (const int status = check_debug_combinations(command); status != STATUS_OK) return status;
  if (command.debug) {
    if (!environment_locale_exists()) report("failed to set locale");
    for (const std::string& warning : text::debug_warnings(command.settings)) report(warning);
  }
  if (uses_random_order(command.settings)) {
    if (const int status = choose_random_seed(command); status != STATUS_OK) return status;
  }
  if (const int status = check_check_combinations(command); status != STATUS_OK) return status;
  if (command.files.empty()) command.files.emplace_back("-");
  if (!decide_budget(command, run.asked_budget)) return STATUS_TROUBLE;
  run.budget = std::max(run.asked_budget, SMALLEST_BUDGET);
  run.threads = command.parallel != 0 ? std::min(command.parallel, MAX_THREADS) : thread_count();
  run.terminator = command.settings.zero_terminated ? '\0' : '\n';
  return STATUS_OK;
}

}  // namespace zelto::sorter
