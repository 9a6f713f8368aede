// The GB2312 (code page 936) text of the windows, and the user's code page.
#pragma once

#include <string>

namespace Win {

// GB2312/GBK bytes to UTF-8 and back; characters without a mapping become "?".
std::string Gb2312ToUtf8(const std::string& gb);
std::string Utf8ToGb2312(const std::string& utf8);
// UTF-8 text in the locale's character set (the terminal's), for output;
// characters it cannot hold are transliterated or become "?".
std::string Utf8ToLocale(const std::string& utf8);
// The same without any substitute: false, and gb untouched, when some
// character has no GB2312 form of its own (an address must not turn into
// another one, "jöhn" into "john" or "j?hn").
bool Utf8ToGb2312Exact(const std::string& utf8, std::string& gb);
// Lead byte of a double-byte character in code page 936.
bool IsGb2312LeadByte(unsigned char byte);
// Lead byte of a double-byte character in the locale's character set; UTF-8
// and single-byte sets have none.
bool IsDBCSLeadByte(unsigned char byte);
// A file name as the file system holds it (the locale's character set, or
// UTF-8 where the locale names plain ASCII) converted to Charset (an iconv
// name). False, with Out unspecified, when a byte sequence is invalid there
// or a character has no mapping in Charset: a name is never guessed at.
bool FileNameToCharset(const std::string& Name, const char* Charset, std::string& Out);

}  // namespace Win
