#include "rtl/SmallFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rtl {
namespace {

TSmallFileFailure FromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR: return TSmallFileFailure::Missing;
        case EACCES:
        case EPERM: return TSmallFileFailure::Denied;
        default: return TSmallFileFailure::Unreadable;
    }
}

}  // namespace

TSmallFileFailure ReadSmallFile(const std::string& Path, std::int64_t Limit, std::string& Content) {
    Content.clear();
    // stat opens nothing, so a FIFO is refused before its open could block;
    // fstat then judges what was really opened, in case the path changed.
    struct stat info {};
    if (::stat(Path.c_str(), &info) != 0) return FromErrno(errno);
    if (!S_ISREG(info.st_mode)) return TSmallFileFailure::NotRegular;
    if (info.st_size > Limit) return TSmallFileFailure::TooLarge;
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return FromErrno(errno);
    struct Close {
        int Fd;
        ~Close() { ::close(Fd); }
    } close{fd};
    if (::fstat(fd, &info) != 0) return TSmallFileFailure::Unreadable;
    if (!S_ISREG(info.st_mode)) return TSmallFileFailure::NotRegular;
    // Read to the end, not to the size stat gave: pseudo-files report none.
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return TSmallFileFailure::Unreadable;
        if (n == 0) return TSmallFileFailure::None;
        if (static_cast<std::int64_t>(Content.size()) + n > Limit) return TSmallFileFailure::TooLarge;
        Content.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace rtl
