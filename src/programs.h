// The project's programs: their names, as messages and the search for a
// companion use them, and the statuses each ends with.
//
// zelto ends with EXIT_OK or ERROR_CODE; zelto-pack with PACK_OK,
// PACK_FAILURE or PACK_USAGE_ERROR.
#pragma once

namespace zelto {

inline constexpr const char* ZELTO_PROGRAM = "zelto";
inline constexpr const char* PACK_PROGRAM = "zelto-pack";
inline constexpr const char* SORT_PROGRAM = "zelto-sort";

// Exit statuses of zelto.
inline constexpr int EXIT_OK = 0;
inline constexpr int ERROR_CODE = 1;

// Exit statuses of zelto-pack.
inline constexpr int PACK_OK = 0;
// The input could not be read, a line could not be packed or a write failed.
inline constexpr int PACK_FAILURE = 1;
// The command line was wrong.
inline constexpr int PACK_USAGE_ERROR = 2;

}  // namespace zelto
