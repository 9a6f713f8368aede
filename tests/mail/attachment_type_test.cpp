// The type a part declares, from the signature database's answer and the
// attachment's name.
#include "mail/AttachmentType.h"

#include <gtest/gtest.h>

#include <tuple>

TEST(AttachmentType, TheContentsSignatureElseTheExtensionElseText) {
    constexpr char kDocx[] = "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
    constexpr char kXlsx[] = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
    constexpr char kPptx[] = "application/vnd.openxmlformats-officedocument.presentationml.presentation";
    constexpr char kOdt[] = "application/vnd.oasis.opendocument.text";
    // (the database's answer, the name, the type declared)
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"application/pdf", "scan.pdf", "application/pdf"},
        {"application/pdf", "scan.bin", "application/pdf"},          // the signature decides
        {"image/tiff", "scan.pdf", "image/tiff"},                    // over the name too
        {"image/jpeg", "photo", "image/jpeg"},
        {"image/png", "a.png", "image/png"},
        {"image/gif", "a.gif", "image/gif"},
        {"application/msword", "letter", "application/msword"},
        {"text/rtf", "letter.rtf", "application/rtf"},
        {kDocx, "letter", kDocx},
        {kOdt, "letter.zip", kOdt},
        {"application/zip", "letter.docx", kDocx},                   // a zip that names no kind
        {"application/zip", "sheet.XLSX", kXlsx},
        {"application/zip", "slides.pptx", kPptx},
        {"application/zip", "letter.odt", kOdt},
        {"application/zip", "bundle.zip", "application/octet-stream"},
        {"application/x-ole-storage", "letter.doc", "application/msword"},
        {"application/octet-stream", "scan.TIF", "image/tiff"},      // no signature: the name
        {"application/octet-stream", "scan.tiff", "image/tiff"},
        {"application/octet-stream", "photo.jpeg", "image/jpeg"},
        {"inode/x-empty", "empty.doc", "application/msword"},
        {"", "gone.pdf", "application/pdf"},                          // unreadable
        {"text/plain", "scan.pdf", "application/pdf"},                // text is no signature
        {"text/plain", "notes.txt", "text/plain"},
        {"text/plain", "README", "text/plain"},
        {"text/html", "page.html", "application/octet-stream"},
        {"application/octet-stream", "data.bin", "application/octet-stream"},
        {"application/octet-stream", "archive.", "application/octet-stream"},
        {"application/x-dosexec", "setup.pdf.exe", "application/octet-stream"},
    };
    for (const auto& [content, name, type] : cases) EXPECT_EQ(mail::AttachmentType(content, name), type) << content << " " << name;
}
