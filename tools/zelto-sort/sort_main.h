// zelto-sort's run: the command line read, then one of checking (-c, -C),
// merging (-m) or sorting the inputs, and the exit status.
#pragma once

namespace zelto::sorter {

[[nodiscard]] int run_sort_command(int argc, char** argv);

}  // namespace zelto::sorter
