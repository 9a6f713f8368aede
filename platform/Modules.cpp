#include "platform/Modules.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace Win {
namespace {

std::string ProgramFolder() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    const std::string program(path, static_cast<std::size_t>(n));
    return program.substr(0, program.rfind('/'));
}

}  // namespace

std::string PrivateFile(const std::string& name) {
    const std::string folder = ProgramFolder();
    if (folder.empty()) return {};
    for (const std::string& candidate : {folder + "/../libexec/faxmail/" + name, folder + "/" + name})
        if (::access(candidate.c_str(), F_OK) == 0) return candidate;
    return {};
}

void* ModuleFunction(const char* module, const char* symbol) {
    const std::string path = PrivateFile(module);
    if (path.empty()) return nullptr;
    // Kept for the rest of the run: dlopen counts, a second call loads nothing.
    void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    return handle != nullptr ? ::dlsym(handle, symbol) : nullptr;
}

}  // namespace Win
