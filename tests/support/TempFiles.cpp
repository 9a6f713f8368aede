#include "tests/support/TempFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <random>
#include <unistd.h>

namespace testsupport {

TempFile::TempFile(const std::string& name, const std::string& content) {
    std::string pattern = ::testing::TempDir() + "faxmail-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    Folder = pattern;
    FilePath = Folder + "/" + name;
    std::ofstream out(FilePath, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + FilePath);
}

TempFile::~TempFile() {
    std::remove(FilePath.c_str());
    ::rmdir(Folder.c_str());
}

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes) b = static_cast<char>(gen() & 0xFF);
    return bytes;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(dir);
        --count;  // the directory stream itself
    }
    return count;
}

}  // namespace testsupport
