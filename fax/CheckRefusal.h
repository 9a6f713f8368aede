// Why the dispatch's checks refused a request, as a value: the kind, what
// was refused, and for the number and the gateway their own reason. It reads
// as the text the user is shown, so a front end that wants only the text
// takes it as a string.
#pragma once

#include <string>

namespace fax {

enum class TCheckRefused {
    None,              // passed
    BlankFields,       // no server or no e-mail address
    BadServerName,     // Field: the server name
    EmailNotAscii,     // Field: the e-mail address
    SenderNotMailbox,  // Field: the e-mail address
    SubjectControl,    // Field: the subject
    Number,            // Field: the number as typed; Reason: the number front's
    GatewayPattern,    // Field: the pattern; Reason: why it cannot be used
    GatewayAddress,    // Field: the number as typed; Reason: why its address cannot be used
    NotCovered,        // Field: the number as typed
    FileMissing,       // Field: the file's path (file-system bytes)
};

struct TCheckRefusal {
    TCheckRefused Kind = TCheckRefused::None;
    std::string Field;
    std::string Reason;  // GB2312

    bool empty() const { return Kind == TCheckRefused::None; }
    // The text the user is shown (GB2312); "" when nothing was refused.
    std::string Text() const;
    operator std::string() const { return Text(); }
    friend bool operator==(const TCheckRefusal& a, const std::string& text) { return a.Text() == text; }
};

}  // namespace fax
