// fuzz-link: mail
//
// A server's reply lines: the reply code at the start of any line (codes above
// 32767 are a range failure, more than 32 bits count as 0), and the search for
// the final line of a multi-line reply over any sequence of lines (refused
// once it runs past kMaxReplyLines).
#include "FuzzCheck.h"

#include "mail/Zelsmtp.h"
#include "net/ZelSock.h"
#include "rtl/SysUtils.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using fuzz::Escaped;

bool Continues(const std::string& line) { return (!line.empty() && line[0] == ' ') || (line.size() >= 4 && line[3] == '-'); }

struct Exhausted {};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t lf = bytes.find('\n', start);
        const std::size_t end = lf == std::string::npos ? bytes.size() : lf + 1;
        lines.push_back(bytes.substr(start, end - start));
        start = end;
    }

    for (const auto& line : lines) {
        std::uint64_t value = 0;
        std::size_t digits = 0;
        while (digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9')
            value = value * 10 + static_cast<std::uint64_t>(line[digits++] - '0');
        const bool outOfRange = digits > 0 && value > 32767 && value <= 2147483647u;
        try {
            const std::int16_t code = net::ReplyCodeOf(line);
            FUZZ_CHECK(!outOfRange, "no range failure for " + Escaped(line));
            const std::int64_t expected = digits == 0 || value > 2147483647u ? 0 : static_cast<std::int64_t>(value);
            FUZZ_CHECK(code == expected, "code " + std::to_string(code) + " for " + Escaped(line));
        } catch (const rtl::ERangeError&) {
            FUZZ_CHECK(outOfRange, "range failure for " + Escaped(line));
        }
    }

    if (lines.empty()) return 0;
    std::size_t next = 1;
    try {
        const std::string final = mail::TZelSMTP::FinalReplyLine(lines[0], [&] {
            if (next >= lines.size()) throw Exhausted{};
            return lines[next++];
        });
        std::size_t expected = 0;
        while (expected < lines.size() && Continues(lines[expected])) ++expected;
        FUZZ_CHECK(expected < lines.size(), "a final line " + Escaped(final) + " where every line continues");
        FUZZ_CHECK(final == lines[expected] && next == expected + 1,
                   "final line " + Escaped(final) + " after " + std::to_string(next) + " lines");
    } catch (const Exhausted&) {
        for (const auto& line : lines) FUZZ_CHECK(Continues(line), "stopped reading at a final line " + Escaped(line));
    } catch (const rtl::Exception& e) {
        // Only a reply that goes on past the bound is refused.
        FUZZ_CHECK(e.Kind == rtl::TErrorKind::Protocol && next == static_cast<std::size_t>(mail::kMaxReplyLines),
                   "refused after " + std::to_string(next) + " lines: " + e.Message);
        for (std::size_t i = 0; i < next; ++i) FUZZ_CHECK(Continues(lines[i]), "refused after a final line");
    }
    return 0;
}
