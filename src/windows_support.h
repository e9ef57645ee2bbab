// What the Windows files of the platform layer share, and only they include:
// the conversion of the program's file names to the system's UTF-16 names
// and back, and the errno value that stands for a system error code.
//
// Names are converted through the active code page, the one the C runtime
// reads `fopen` names and the arguments in: a name that reaches the system
// through these functions is the file that `fopen` would open. The
// application manifest makes that code page UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace zelto {

// `text`, in the active code page, as UTF-16.
[[nodiscard]] std::wstring wide_name(std::string_view text);
// A UTF-16 name in the active code page.
[[nodiscard]] std::string narrow_name(std::wstring_view name);

// The errno value closest to the system error `error` (a GetLastError
// value): ENOSPC for a full disk, EACCES for a denied or shared file, and so
// on; EIO for any error without a closer one.
[[nodiscard]] int errno_of_system_error(unsigned long error);

// The same for the last error of the calling thread, also stored in errno.
int errno_of_last_error();

}  // namespace zelto
