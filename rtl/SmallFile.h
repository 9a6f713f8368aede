// A small file read whole, for settings-like files a user names (the trusted
// certificates): regular files only, opened without blocking and read up to
// a limit, so a FIFO, a device or an endless pseudo-file can neither hang
// nor spin the program. The reason of a failure is for the caller to word.
#pragma once

#include <cstdint>
#include <string>

namespace rtl {

enum class TSmallFileFailure {
    None,
    Missing,     // no such file (or a folder on its path is missing)
    Denied,      // no permission to read it
    NotRegular,  // a folder, FIFO, device or socket
    TooLarge,    // more than the limit
    Unreadable,  // any other error of the open or the read
};

// Reads the whole file into Content, at most Limit bytes.
TSmallFileFailure ReadSmallFile(const std::string& Path, std::int64_t Limit, std::string& Content);

}  // namespace rtl
