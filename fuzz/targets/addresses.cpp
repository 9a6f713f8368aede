// fuzz-link: mail
//
// Picking mailboxes out of recipient entries: ExtractField on any text,
// delimiter and field number, and ExtractAddress on any entry, each against
// an independent split of the same text.
#include "FuzzCheck.h"

#include "mail/Zelsmtp.h"
#include "net/ZelSock.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using fuzz::Escaped;

std::vector<std::string> Split(const std::string& text, char delimiter) {
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == delimiter)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

std::string Field(const std::string& text, char delimiter, int n) {
    const auto fields = Split(text, delimiter);
    return n >= 1 && static_cast<std::size_t>(n) <= fields.size() ? fields[static_cast<std::size_t>(n) - 1] : "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const char delimiter = static_cast<char>(data[0]);
    const int n = static_cast<int>(static_cast<std::int8_t>(data[1]));
    const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);

    const std::string field = net::ExtractField(text, delimiter, n);
    FUZZ_CHECK(field == Field(text, delimiter, n),
               "ExtractField(" + Escaped(text) + ", " + Escaped(std::string(1, delimiter)) + ", " + std::to_string(n) +
                   ") gave " + Escaped(field));
    FUZZ_CHECK(field.find(delimiter) == std::string::npos, "a delimiter in the field " + Escaped(field));

    const std::string address = mail::TZelSMTP::ExtractAddress(text);
    std::string expected;
    if (text.find('<') != std::string::npos)
        expected = Split(Split(text, '<')[1], '>')[0];
    else if (text.find(':') != std::string::npos)
        expected = Split(text, ':')[1];
    else
        expected = text;
    FUZZ_CHECK(address == expected, "ExtractAddress(" + Escaped(text) + ") gave " + Escaped(address));
    FUZZ_CHECK(address.find('<') == std::string::npos && (text.find('<') == std::string::npos || address.find('>') == std::string::npos),
               "angle brackets left in " + Escaped(address));
    return 0;
}
