// fuzz-link: mail
//
// Header text from any bytes, said to be in the character set the first byte
// picks: an attachment name stays one parameter (no quote or line break ends
// or adds one), every break is a fold, encoded lines keep their limit, no
// encoded word splits a double-byte character, and everything decodes back.
#include "FuzzCheck.h"

#include "mail/HeaderText.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace {

using fuzz::Escaped;

// The physical lines; every one after the first must be a fold.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    for (std::size_t i = 0; i < lines.size(); ++i)
        FUZZ_CHECK(lines[i].find_first_of("\r\n") == std::string::npos && (i == 0 || lines[i].rfind(' ', 0) == 0),
                   "a break that is no fold in " + Escaped(text));
    return lines;
}

// The words' bytes joined. In a double-byte set each word must end on a
// whole character of the text (a lead byte takes the next byte with it).
std::string DecodedWords(const std::string& text, const std::string& charset, const std::string& original) {
    static const std::regex word(R"(=\?[^?]+\?B\?([A-Za-z0-9+/=]*)\?=)");
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<bool> boundary(original.size() + 1, charset.rfind("GB", 0) != 0);
    for (std::size_t i = 0; i < original.size();) {
        boundary[i] = true;
        const auto c = static_cast<unsigned char>(original[i]);
        i = std::min(original.size(), i + (c >= 0x81 && c <= 0xFE ? 2 : 1));
    }
    boundary[original.size()] = true;
    std::string out;
    for (std::sregex_iterator m(text.begin(), text.end(), word), end; m != end; ++m) {
        std::uint32_t bits = 0;
        int count = 0;
        for (char c : (*m)[1].str()) {
            if (c == '=') break;
            bits = bits << 6 | static_cast<std::uint32_t>(digits.find(c));
            if ((count += 6) >= 8) out += static_cast<char>(bits >> (count -= 8) & 0xFF);
        }
        FUZZ_CHECK(out.size() <= original.size() && boundary[out.size()], "a character split in " + Escaped(text));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static const char* const kCharsets[] = {"us-ascii", "GB2312", "GBK", "UTF-8"};
    const std::string charset = kCharsets[data[0] % 4];
    const std::string name(reinterpret_cast<const char*>(data) + 1, size - 1);
    bool printable = true, eightBit = false;
    for (unsigned char c : name) printable = printable && c >= 0x20 && c <= 0x7E, eightBit = eightBit || c >= 0x80;
    // A name that looks like an encoded word is itself encoded, so receivers show it literally.
    printable = printable && name.find("=?") == std::string::npos;

    // name="...": one quoted string to the very end, holding the name or its words.
    const std::string type = mail::NameParameter(name, charset, 49);
    FUZZ_CHECK(type.rfind("name=\"", 0) == 0 && type.size() >= 7 && type.back() == '"', Escaped(type));
    std::string inside;
    for (std::size_t i = 6; i + 1 < type.size(); ++i) {
        if (type[i] == '\\') ++i;
        else FUZZ_CHECK(type[i] != '"', "the quoted name ends early: " + Escaped(type));
        inside += type[i];
    }
    std::size_t column = 49;
    for (const auto& line : Lines(type)) {
        FUZZ_CHECK(printable || column + line.size() <= mail::kEncodedLineLimit, "too long: " + Escaped(type));
        column = 0;
    }
    FUZZ_CHECK((printable ? inside : DecodedWords(inside, charset, name)) == name, Escaped(name) + " as " + Escaped(type));

    // filename="..." for plain names; else sections of value characters and no quote at all.
    const std::string disposition = mail::FileNameParameter(name, charset, 49);
    if (mail::IsPlainName(name)) {
        FUZZ_CHECK(disposition == "filename=\"" + name + "\"", Escaped(disposition));
    } else {
        static const std::regex section(
            R"((?:^| )filename\*(?:\d+\*)?=(?:[-A-Za-z0-9]+'')?((?:%[0-9A-F]{2}|[-A-Za-z0-9._~])*)(;|$))");
        std::string decoded;
        for (const auto& line : Lines(disposition)) {
            std::smatch m;
            FUZZ_CHECK(std::regex_match(line, m, section), "an odd section " + Escaped(line));
            const std::string value = m[1];
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (value[i] != '%') {
                    decoded += value[i];
                    continue;
                }
                decoded += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
                i += 2;
            }
        }
        FUZZ_CHECK(decoded == name, Escaped(name) + " as " + Escaped(disposition));
    }

    // A Subject in the code page: as it is, or words that decode to it.
    const std::string subject = mail::HeaderText(name, 9);
    if (eightBit) Lines(subject);
    FUZZ_CHECK(eightBit ? DecodedWords(subject, mail::CodePageCharset(name), name) == name : subject == name,
               Escaped(name) + " as " + Escaped(subject));
    return 0;
}
