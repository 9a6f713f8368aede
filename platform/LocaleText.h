// The edge between the user's locale and the program's text: what the
// terminal, the command line and the environment give, what the terminal is
// shown, and the names of files. Nothing converted here goes on the wire
// except an attachment's name, which is text, not the locale's bytes.
#pragma once

#include "rtl/Text.h"

#include <string>

namespace Win {

// The locale's character set as iconv names it ("UTF-8", "GBK", "ANSI_X3.4-1968").
std::string LocaleCharset();

// Typed text of the terminal, an argument or an environment variable (the
// locale's character set) as UTF-8. A locale of plain ASCII (C, POSIX) takes
// UTF-8, as terminals and scripts mostly send; bytes that are text in neither
// have only themselves replaced (U+FFFD).
rtl::TUtf8Text LocaleTextToUtf8(const std::string& Bytes);

// A message for the terminal: in the locale's character set when that holds
// every character of it, otherwise UTF-8 (never "?" for what it cannot hold).
std::string Utf8ToTerminal(const rtl::TUtf8Text& Text);

// The name a file's bytes show: UTF-8 when they are valid UTF-8 (a structure
// other encodings rarely match by chance, while GBK would read almost any
// UTF-8 as other characters), else the locale's character set; valid in
// neither, the one of the two that replaces fewer bytes (U+FFFD), UTF-8 on a
// tie (and in a UTF-8 or ASCII locale).
rtl::TUtf8Text FileNameText(const rtl::TFilePath& Name);

}  // namespace Win
