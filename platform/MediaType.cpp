#include "platform/MediaType.h"

#include <magic.h>

#include <cstddef>
#include <mutex>

namespace Win {
namespace {

// Enough for every signature the attachments are told by (an Office Open
// XML file names its kind in its first zip entries); a large document is
// not read further.
constexpr std::size_t kBytesRead = 256 * 1024;

// The database is loaded once, on first use; a magic_t is not for two
// threads at a time.
struct TMagic {
    std::mutex Lock;
    magic_t Cookie = nullptr;
    TMagic() {
        Cookie = magic_open(MAGIC_MIME_TYPE | MAGIC_SYMLINK | MAGIC_ERROR);
        if (Cookie == nullptr) return;
        std::size_t bytes = kBytesRead;
        magic_setparam(Cookie, MAGIC_PARAM_BYTES_MAX, &bytes);
        if (magic_load(Cookie, nullptr) != 0) {
            magic_close(Cookie);
            Cookie = nullptr;
        }
    }
    ~TMagic() {
        if (Cookie != nullptr) magic_close(Cookie);
    }
};

}  // namespace

std::string MediaTypeOf(const rtl::TFilePath& Path) {
    static TMagic magic;
    const std::lock_guard<std::mutex> hold(magic.Lock);
    if (magic.Cookie == nullptr) return std::string();
    const char* type = magic_file(magic.Cookie, Path.Bytes().c_str());
    return type == nullptr ? std::string() : std::string(type);
}

}  // namespace Win
