// Bounds on what an IMAP server may send, checked on the bytes before the
// IMAP library parses them: its parser is recursive and keeps a whole
// response in memory, so a hostile server could otherwise crash the program
// with deep nesting or make it hold gigabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace watch {

struct TImapBounds {
    std::size_t Line = 1 << 20;      // one line, literals not counted
    std::uint64_t Literal = 1 << 16;  // we ask for the 4 KB beginning of a text and a few header fields
    std::size_t Response = 8 << 20;  // everything up to the tagged completion, literals included
    std::size_t Lines = 20000;       // untagged lines in one response
    int Depth = 64;                  // parentheses open at once
};

class TImapGuard {
public:
    explicit TImapGuard(TImapBounds Bounds = {}) : Bounds(Bounds) {}
    // False once the bytes break a bound; Broken() then says which (ASCII).
    bool Pass(const char* Data, std::size_t Length);
    const std::string& Broken() const { return Reason; }
    void Reset() { *this = TImapGuard(Bounds); }

private:
    enum class TState { LineStart, Line, Quoted, Escaped, Count, Literal };
    bool Break(std::string Why);

    TImapBounds Bounds;
    TState State = TState::LineStart;
    bool Tagged = false;
    bool LiteralAnnounced = false;  // "{n}" ended the line so far
    std::uint64_t Count = 0;        // the literal's size as announced, then what is left of it
    std::size_t LineBytes = 0;
    std::size_t ResponseBytes = 0;
    std::size_t Lines = 0;
    int Depth = 0;
    std::string Reason;
};

}  // namespace watch
