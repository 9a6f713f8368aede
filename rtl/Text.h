// Text whose encoding is part of its type. Bytes of one encoding cannot be
// handed where another is expected: each conversion happens at one edge
// (platform/CodePage.h for GB2312, platform/LocaleText.h for the locale and
// file names), and everything else only carries the value.
#pragma once

#include <string>
#include <utility>

namespace rtl {

template <typename TEncoding>
class TEncodedText {
public:
    TEncodedText() = default;
    explicit TEncodedText(std::string bytes) : FBytes(std::move(bytes)) {}
    const std::string& Bytes() const { return FBytes; }
    bool IsEmpty() const { return FBytes.empty(); }
    bool operator==(const TEncodedText&) const = default;

private:
    std::string FBytes;
};

struct TGbEncoding;
struct TUtf8Encoding;
struct TFileSystemEncoding;

// Code page 936 (GB2312, GBK where a character needs it): the design's texts,
// the fields the mail goes out with.
using TGbText = TEncodedText<TGbEncoding>;
// UTF-8: what Qt, the settings file, the secret store and the terminal (once
// converted from the locale) give; credentials stay in it, as typed.
using TUtf8Text = TEncodedText<TUtf8Encoding>;
// A path as the file system holds it, the bytes open() takes; no text at all
// until a name is decoded for showing.
using TFilePath = TEncodedText<TFileSystemEncoding>;

}  // namespace rtl
