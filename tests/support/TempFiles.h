// Files made for one test and removed with it.
#pragma once

#include <string>

namespace testsupport {

class TempFile {
public:
    // Writes content to a fresh file named name inside a new private folder.
    TempFile(const std::string& name, const std::string& content);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& Path() const { return FilePath; }

private:
    std::string Folder;
    std::string FilePath;
};

// Reproducible pseudo-random bytes.
std::string RandomBytes(std::size_t size, unsigned seed);

// Lower-case hexadecimal text of the bytes.
std::string Hex(const std::string& bytes);

// Number of open file descriptors of this process.
int OpenDescriptorCount();

}  // namespace testsupport
