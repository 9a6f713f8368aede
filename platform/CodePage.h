// The GB2312 (code page 936) text of the windows, and the user's code page.
#pragma once

#include "rtl/Text.h"

#include <string>

namespace Win {

// GB2312/GBK bytes to UTF-8 and back; characters without a mapping become "?".
std::string Gb2312ToUtf8(const std::string& gb);
std::string Utf8ToGb2312(const std::string& utf8);
// The same without any substitute: false, and gb untouched, when some
// character has no GB2312 form of its own (an address must not turn into
// another one, "jöhn" into "john" or "j?hn").
bool Utf8ToGb2312Exact(const std::string& utf8, std::string& gb);
// Lead byte of a double-byte character in code page 936.
bool IsGb2312LeadByte(unsigned char byte);
// Lead byte of a double-byte character in the locale's character set; UTF-8
// and single-byte sets have none.
bool IsDBCSLeadByte(unsigned char byte);
// The one edge between UTF-8 and the code page: false, and Gb untouched,
// when some character has no place in code page 936.
bool Utf8ToGbExactly(const rtl::TUtf8Text& Utf8, rtl::TGbText& Gb);
rtl::TUtf8Text GbToUtf8(const rtl::TGbText& Gb);
// All of Text from one iconv character set to another, or false: no
// substitute, nothing dropped.
bool ConvertExactly(const char* To, const char* From, const std::string& Text, std::string& Out);

}  // namespace Win
