// fuzz-link: fax
//
// The sender check on any bytes: what it accepts is printable ASCII within
// the lengths SMTP allows, its domain part holds nothing that could end the
// MAIL FROM path or start a parameter, and no text glued before or after an
// accepted mailbox (a blank, ">", a parameter) is accepted.
#include "FuzzCheck.h"

#include "fax/Mailbox.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (!fax::IsSmtpMailbox(text)) return 0;
    using fuzz::Escaped;
    FUZZ_CHECK(text.size() <= 64 + 1 + 255, "too long: " + Escaped(text));
    for (const char c : text) FUZZ_CHECK(c >= 32 && c <= 126, "not printable ASCII: " + Escaped(text));
    const std::size_t at = text.rfind('@');
    const std::string local = text.substr(0, at);
    const std::string domain = text.substr(at + 1);
    FUZZ_CHECK(domain.find_first_of(" <>\"") == std::string::npos, "the domain could end the path: " + Escaped(text));
    if (local.front() != '"')
        FUZZ_CHECK(local.find_first_of(" <>\"(),:;@[\\]") == std::string::npos, "a special in a dot-atom: " + Escaped(text));
    if (domain.front() != '[')
        for (const char c : domain)
            FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.',
                       "not a host name: " + Escaped(text));
    for (const std::string& glued : {" " + text, text + " ", text + ">", "<" + text, text + " RET=HDRS", text + ",x@y.z"})
        FUZZ_CHECK(!fax::IsSmtpMailbox(glued), "accepted with something glued on: " + Escaped(glued));
    return 0;
}
