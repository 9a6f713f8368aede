// A failed check in a fuzz target prints what broke and aborts, so libFuzzer
// keeps the input as a crash file.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Bytes as C-escaped text, so a failure message shows control and GB2312 bytes.
inline std::string Escaped(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

[[noreturn]] inline void Fail(const char* condition, const char* file, int line, const std::string& detail) {
    std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n  %s\n", file, line, condition, detail.c_str());
    std::abort();
}

}  // namespace fuzz

// DETAIL is any std::string expression; it is built only when the check fails.
#define FUZZ_CHECK(condition, detail)                                          \
    do {                                                                       \
        if (!(condition)) fuzz::Fail(#condition, __FILE__, __LINE__, (detail)); \
    } while (0)
