// A command the server refused, as a value: which command, and what the
// server answered. Message and Kind are those the refusal always had, so a
// handler that knows rtl::Exception alone sees no difference.
#pragma once

#include "rtl/SysUtils.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace mail {

class ESmtpReplyError : public rtl::Exception {
public:
    ESmtpReplyError(std::string Message, rtl::TErrorKind Kind, std::string Command, std::int16_t Code,
                    std::string Status, std::vector<std::string> Lines)
        : rtl::Exception(std::move(Message), Kind),
          Command(std::move(Command)),
          Code(Code),
          Status(std::move(Status)),
          Lines(std::move(Lines)) {}

    // What was refused, by its phase name: "MAIL FROM", "RCPT TO", "RSET",
    // "." (the end of the text), or "greeting" for the server's first reply.
    std::string Command;
    // The reply code of the line the message shows; 0 when it has none.
    std::int16_t Code = 0;
    // The enhanced status ("5.7.1", RFC 3463) of that line; "" without one.
    std::string Status;
    // Every line of the reply as received, line ends included, the login's
    // secrets masked; none for a refused login, whose reply may echo them.
    std::vector<std::string> Lines;
};

// The reply code a line starts with; 0 when it starts with no digit or
// with a number too large to be one.
inline std::int16_t ReplyCodeOfLine(const std::string& Line) {
    std::int32_t value = 0;
    std::size_t digits = 0;
    for (; digits < Line.size() && digits < 10 && Line[digits] >= '0' && Line[digits] <= '9'; ++digits) {
        value = value * 10 + (Line[digits] - '0');
        if (value > INT16_MAX) return 0;
    }
    return static_cast<std::int16_t>(value);
}

// The enhanced status after a reply line's code: "5.1.1" of "550 5.1.1 no
// such user", "" when the text does not start with one.
inline std::string EnhancedStatusOf(const std::string& Line) {
    if (Line.size() < 4 || (Line[3] != ' ' && Line[3] != '-')) return std::string();
    std::size_t at = 4;
    const auto number = [&](std::size_t most) {
        std::size_t n = 0;
        while (at < Line.size() && n < most && Line[at] >= '0' && Line[at] <= '9') ++at, ++n;
        return n > 0 && !(at < Line.size() && Line[at] >= '0' && Line[at] <= '9');
    };
    if (at >= Line.size() || (Line[at] != '2' && Line[at] != '4' && Line[at] != '5')) return std::string();
    ++at;
    if (at >= Line.size() || Line[at++] != '.' || !number(3)) return std::string();
    if (at >= Line.size() || Line[at++] != '.' || !number(3)) return std::string();
    if (at < Line.size() && Line[at] != ' ' && Line[at] != '\r' && Line[at] != '\n') return std::string();
    return Line.substr(4, at - 4);
}

}  // namespace mail
