#include "watch/ImapGuard.h"

#include <gtest/gtest.h>

namespace watch {
namespace {

// Small bounds, so each case shows where one is counted and where not.
TImapBounds Small() {
    TImapBounds b;
    b.Line = 40;
    b.Literal = 16;
    b.Response = 200;
    b.Lines = 3;
    b.Depth = 3;
    return b;
}

TEST(ImapGuard, CountsOnlyWhatTheProtocolMakesOfTheBytes) {
    const std::string longLiteral = "* 1 FETCH (BODY[] {16}\r\n" + std::string(16, '(') + ")\r\n";
    const struct {
        const char* Name;
        std::string Bytes;
        const char* Broken;  // the start of the reason; "" when it passes
    } cases[] = {
        {"parentheses in a quoted string", "* OK \"(((((\\\"((((\" (())\r\n", ""},
        {"parentheses and line ends in a literal", longLiteral, ""},
        {"a line going on after an empty literal", "* 1 FETCH (A {0}\r\n B)\r\n", ""},
        {"a tagged line starts the count over", "* A\r\n* B\r\n* C\r\n1 OK\r\n* D\r\n* E\r\n2 OK\r\n", ""},
        {"four levels", "* 1 FETCH ((((x))))\r\n", "nesting"},
        {"a long line", "* OK " + std::string(40, 'x') + "\r\n", "line"},
        {"a literal over the bound", "* 1 FETCH (BODY[] {17}\r\n", "literal"},
        {"a huge literal", "* 1 FETCH (BODY[] {4000000000000000000000}\r\n", "literal"},
        {"four untagged lines", "* A\r\n* B\r\n+ C\r\n* D\r\n", "over 3 untagged"},
        {"a response too large", [] {
             std::string bytes = "* 1 FETCH (B";
             for (int i = 0; i < 12; ++i) bytes += " {16}\r\n" + std::string(16, 'x');
             return bytes + ")\r\n";
         }(),
         "response"},
    };
    for (const auto& c : cases) {
        // Byte by byte and at once: where the reads split the stream makes no difference.
        for (const bool bytewise : {false, true}) {
            TImapGuard guard(Small());
            bool passed = true;
            if (bytewise) {
                for (char ch : c.Bytes) passed = guard.Pass(&ch, 1) && passed;
            } else {
                passed = guard.Pass(c.Bytes.data(), c.Bytes.size());
            }
            EXPECT_EQ(passed, *c.Broken == '\0') << c.Name << (bytewise ? " (bytewise)" : "");
            EXPECT_EQ(guard.Broken().rfind(c.Broken, 0), 0u) << c.Name << ": " << guard.Broken();
        }
    }
}

}  // namespace
}  // namespace watch
