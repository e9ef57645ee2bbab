// The small text files the kernel offers about a process and its limits
// (/proc/self, /sys/fs/cgroup), and the numbers in them.
#pragma once

#include <charconv>
#include <optional>
#include <string>
#include <string_view>

namespace zelto {

// The whole text of the file at `path`; empty when it cannot be read.
[[nodiscard]] std::string read_small_file(const std::string& path);

// `text` without the blanks and line ends around it.
[[nodiscard]] std::string_view trimmed(std::string_view text);

// `text`, blanks and line ends around it aside, read whole as a number;
// nothing when it is not one.
template <class Number>
[[nodiscard]] std::optional<Number> whole_number(std::string_view text) {
  text = trimmed(text);
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
  return value;
}

}  // namespace zelto
