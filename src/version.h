// The version that both commands print.
#pragma once

namespace zelto {

inline constexpr double VERSION = 1.022;

}  // namespace zelto
