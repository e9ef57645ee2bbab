// A placeholder until the keys are written: the whole line compared as bytes.
#include "text_keys.h"

namespace zelto::text {

bool apply_ordering_letter(char, KeyOptions&) { return false; }
std::optional<std::string> parse_key(std::string_view, SortSettings&) { return std::nullopt; }
std::optional<std::string> parse_obsolete_key(std::string_view, std::string_view, SortSettings&) {
  return std::nullopt;
}
std::optional<std::string> finish_settings(SortSettings&) { return std::nullopt; }
std::vector<std::string> debug_warnings(const SortSettings&) { return {}; }

LineComparator::LineComparator(const SortSettings& settings) : settings_(&settings) {}
int LineComparator::compare(std::string_view a, std::string_view b) const { return a.compare(b); }
int LineComparator::compare_keys(std::string_view a, std::string_view b) const {
  return a.compare(b);
}
std::uint64_t LineComparator::digest(std::string_view, std::size_t, bool& more) const {
  more = false;
  return 0;
}
void LineComparator::annotate(std::string_view, std::string&) const {}

}  // namespace zelto::text
