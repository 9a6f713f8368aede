// What a file's content says it is: the system's table of file signatures
// (libmagic's database), the service Windows offers as FindMimeFromData.
#pragma once

#include "rtl/Text.h"

#include <string>

namespace Win {

// The media type the file's first bytes show ("application/pdf",
// "image/tiff", "application/zip", "text/plain", ...), as the signature
// database names it; "application/octet-stream" for bytes it knows nothing
// of, and "" when the file cannot be read. Follows symbolic links; a FIFO or
// a device is reported, never read.
std::string MediaTypeOf(const rtl::TFilePath& Path);

}  // namespace Win
