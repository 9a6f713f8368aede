// fuzz-link: mail
//
// Header text from any bytes: the attachment name parameters stay one
// parameter (a quote or line break in a name never ends or adds one) and
// give the name back, and an encoded Subject gives its text back. The first
// byte picks the character set the bytes are said to be in.
#include "FuzzCheck.h"

#include "mail/HeaderText.h"

#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace {

using fuzz::Escaped;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    return lines;
}

// Every line break is a fold: CR LF and a blank, no bare CR or LF.
void CheckFolds(const std::string& text) {
    const auto lines = Lines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        FUZZ_CHECK(lines[i].find_first_of("\r\n") == std::string::npos, "a bare line break in " + Escaped(text));
        FUZZ_CHECK(i == 0 || (!lines[i].empty() && lines[i][0] == ' '), "a line that is no fold in " + Escaped(text));
    }
}

std::string FromBase64(const std::string& text) {
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = bits << 6 | static_cast<std::uint32_t>(digits.find(c));
        if ((count += 6) >= 8) out += static_cast<char>(bits >> (count -= 8) & 0xFF);
    }
    return out;
}

std::string DecodedWords(const std::string& text) {
    static const std::regex word(R"(=\?[^?]+\?B\?([A-Za-z0-9+/=]*)\?=)");
    std::string out;
    for (std::sregex_iterator m(text.begin(), text.end(), word), end; m != end; ++m) out += FromBase64((*m)[1]);
    return out;
}

int Hex(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const char* const kCharsets[] = {"us-ascii", "GB2312", "GBK", "UTF-8"};
    const std::string charset = kCharsets[data[0] % 4];
    const std::string name(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (name.empty()) return 0;

    // name="...": one quoted string to the very end, with the name inside.
    const std::string type = mail::NameParameter(name, charset, 49);
    CheckFolds(type);
    FUZZ_CHECK(type.rfind("name=\"", 0) == 0 && type.size() >= 7 && type.back() == '"', Escaped(type));
    std::string inside;
    for (std::size_t i = 6; i + 1 < type.size(); ++i) {
        if (type[i] == '\\') ++i;
        else FUZZ_CHECK(type[i] != '"', "the quoted name ends early: " + Escaped(type));
        inside += type[i];
    }
    bool printable = true;
    for (unsigned char c : name) printable = printable && c >= 0x20 && c <= 0x7E;
    if (!printable) {
        // Encoded words keep every line within the limit, the first counted from column 49.
        std::size_t column = 49;
        for (const auto& line : Lines(type)) {
            FUZZ_CHECK(column + line.size() <= mail::kEncodedLineLimit, Escaped(type));
            column = 0;
        }
    }
    FUZZ_CHECK((printable ? inside : DecodedWords(inside)) == name, Escaped(name) + " became " + Escaped(type));

    // filename="..." for plain names; else no quote at all, only value characters.
    const std::string disposition = mail::FileNameParameter(name, charset, 49);
    CheckFolds(disposition);
    if (mail::IsPlainName(name)) {
        FUZZ_CHECK(disposition == "filename=\"" + name + "\"", Escaped(disposition));
    } else {
        static const std::regex section(R"((?:^| )filename\*(?:\d+\*)?=(?:[-A-Za-z0-9]+'')?((?:%[0-9A-F]{2}|[-A-Za-z0-9._~])*)(;|$))");
        std::string decoded;
        std::size_t sections = 0;
        for (const auto& line : Lines(disposition)) {
            std::smatch m;
            FUZZ_CHECK(std::regex_match(line, m, section), "an odd section " + Escaped(line));
            FUZZ_CHECK(sections == 0 || line.size() <= mail::kEncodedLineLimit, Escaped(line));
            const std::string value = m[1];
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (value[i] != '%') {
                    decoded += value[i];
                    continue;
                }
                decoded += static_cast<char>(Hex(value[i + 1]) * 16 + Hex(value[i + 2]));
                i += 2;
            }
            ++sections;
        }
        FUZZ_CHECK(decoded == name, Escaped(name) + " became " + Escaped(disposition));
    }

    // An unstructured value in the code page: as it is, or words that decode to it.
    const std::string subject = mail::HeaderText(name, 9);
    bool eightBit = false;
    for (unsigned char c : name) eightBit = eightBit || c >= 0x80;
    if (eightBit) {
        CheckFolds(subject);
        FUZZ_CHECK(DecodedWords(subject) == name, Escaped(name) + " became " + Escaped(subject));
    } else {
        FUZZ_CHECK(subject == name, Escaped(subject));
    }
    return 0;
}
