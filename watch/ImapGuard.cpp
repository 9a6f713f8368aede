#include "watch/ImapGuard.h"

#include <algorithm>

namespace watch {

bool TImapGuard::Break(std::string Why) {
    Reason = std::move(Why);
    return false;
}

bool TImapGuard::Pass(const char* Data, std::size_t Length) {
    if (!Reason.empty()) return false;
    for (std::size_t i = 0; i < Length; ++i) {
        if (++ResponseBytes > Bounds.Response) return Break("response over " + std::to_string(Bounds.Response) + " bytes");
        if (State == TState::Literal) {
            // The literal's bytes are data, whatever they hold: skip them at once.
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(Count, Length - i));
            ResponseBytes += take - 1;
            if (ResponseBytes > Bounds.Response) return Break("response over " + std::to_string(Bounds.Response) + " bytes");
            Count -= take;
            i += take - 1;
            if (Count == 0) State = TState::Line;
            continue;
        }
        const char c = Data[i];
        if (c == '\n') {
            LineBytes = 0;
            if (LiteralAnnounced) {  // the line goes on after the literal
                LiteralAnnounced = false;
                State = Count > 0 ? TState::Literal : TState::Line;
                continue;
            }
            LiteralAnnounced = false;
            if (Tagged) {
                ResponseBytes = 0;
                Lines = 0;
            } else if (++Lines > Bounds.Lines) {
                return Break("over " + std::to_string(Bounds.Lines) + " untagged lines in one response");
            }
            Depth = 0;
            State = TState::LineStart;
            continue;
        }
        if (++LineBytes > Bounds.Line) return Break("line over " + std::to_string(Bounds.Line) + " bytes");
        if (c != '\r') LiteralAnnounced = false;
        switch (State) {
            case TState::LineStart:
                Tagged = c != '*' && c != '+';
                State = TState::Line;
                [[fallthrough]];
            case TState::Line:
                if (c == '"') {
                    State = TState::Quoted;
                } else if (c == '{') {
                    State = TState::Count;
                    Count = 0;
                } else if (c == '(') {
                    if (++Depth > Bounds.Depth) return Break("nesting over " + std::to_string(Bounds.Depth) + " levels");
                } else if (c == ')') {
                    Depth = std::max(0, Depth - 1);
                }
                break;
            case TState::Quoted:
                if (c == '\\') State = TState::Escaped;
                else if (c == '"') State = TState::Line;
                break;
            case TState::Escaped: State = TState::Quoted; break;
            case TState::Count:
                if (c >= '0' && c <= '9') {
                    Count = Count * 10 + static_cast<std::uint64_t>(c - '0');
                    if (Count > Bounds.Literal) return Break("literal over " + std::to_string(Bounds.Literal) + " bytes");
                } else {
                    LiteralAnnounced = c == '}';
                    State = TState::Line;
                }
                break;
            case TState::Literal: break;
        }
    }
    return true;
}

}  // namespace watch
