// What the signature database reads from a file, through our wrapper: the
// answers the attachment types are chosen from, and files it must not read.
#include "platform/MediaType.h"
#include "tests/support/TempFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string TypeOf(const std::string& path) { return Win::MediaTypeOf(rtl::TFilePath(path)); }

}  // namespace

TEST(MediaType, SignaturesAreReadFromTheContentWhateverTheName) {
    const std::pair<std::string, std::string> cases[] = {
        {"%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< >>\nendobj\n", "application/pdf"},
        {std::string("II*\0\x08\0\0\0", 8) + std::string(64, '\0'), "image/tiff"},
        {"{\\rtf1\\ansi hello}\n", "text/rtf"},
        {testsupport::RandomBytes(4096, 7), "application/octet-stream"},
    };
    for (const auto& [content, type] : cases) {
        const testsupport::TempFile file("no-extension", content);
        EXPECT_EQ(TypeOf(file.Path()), type) << type;
    }
}

TEST(MediaType, ALinkIsFollowedAndAMissingFileOrAFifoIsNeverRead) {
    const testsupport::TempFile pdf("scan", "%PDF-1.4\n");
    const std::string folder = std::filesystem::path(pdf.Path()).parent_path().string();
    ASSERT_EQ(::symlink(pdf.Path().c_str(), (folder + "/link.pdf").c_str()), 0);
    EXPECT_EQ(TypeOf(folder + "/link.pdf"), "application/pdf");
    EXPECT_EQ(TypeOf(folder + "/missing.pdf"), "");
    // Opening a FIFO for reading would wait for a writer.
    ASSERT_EQ(::mkfifo((folder + "/fifo.pdf").c_str(), 0600), 0);
    EXPECT_EQ(TypeOf(folder + "/fifo.pdf"), "inode/fifo");
    std::filesystem::remove(folder + "/link.pdf");
    std::filesystem::remove(folder + "/fifo.pdf");
}
