// The process's own memory as Linux reports it, for tests that bound growth.
#pragma once

#include <fstream>
#include <string>

namespace testsupport {

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"); -1 when absent.
inline long StatusKb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Starts VmHWM over from the current size ("5" to clear_refs).
inline void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace testsupport
