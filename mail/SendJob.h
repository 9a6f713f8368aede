// One whole send, as every front end makes it: refuse a second while one is
// under way, connect, put this send's message in place, submit it and say
// QUIT. A failed submit drops the connection (no QUIT), so the next send can
// connect again.
#pragma once

#include "mail/Zelsmtp.h"

#include <functional>
#include <string>

namespace mail {

// An allocation failed during a send (kind OutOfMemory).
// "内存不足，无法完成这次发送。请关闭其它程序或减少附件后再试"
inline constexpr char kMsgOutOfMemory[] =
    "\xc4\xda\xb4\xe6\xb2\xbb\xd7\xe3\xa3\xac\xce\xde\xb7\xa8\xcd\xea\xb3\xc9\xd5\xe2\xb4\xce\xb7\xa2\xcb\xcd\xa1\xa3"
    "\xc7\xeb\xb9\xd8\xb1\xd5\xc6\xe4\xcb\xfc\xb3\xcc\xd0\xf2\xbb\xf2\xbc\xf5\xc9\xd9\xb8\xbd\xbc\xfe\xba\xf3\xd4\xd9"
    "\xca\xd4";

class TSendJob {
public:
    // Refused says what a refused recipient does to each send (SubmitMessage).
    explicit TSendJob(TZelSMTP& Client, TZelSMTP::TRefusedRecipient Refused = TZelSMTP::TRefusedRecipient::GoOn)
        : Client(Client), Refused(Refused) {}
    TSendJob(const TSendJob&) = delete;
    TSendJob& operator=(const TSendJob&) = delete;

    // Connects as Connection says, then lets Fill set up the client's
    // message and sends it. A second Run while one is
    // under way (in any phase, QUIT included) raises "Already connected"
    // (kind Busy) before anything of the client is touched. An allocation
    // failure anywhere in it drops the connection and raises kMsgOutOfMemory
    // (kind OutOfMemory). Else it raises what Connect, SubmitMessage and
    // Disconnect raise.
    void Run(const TSmtpConnection& Connection, const std::function<void(TPostMessage&)>& Fill);

    bool Running() const { return InProgress; }

private:
    void Steps(const TSmtpConnection& Connection, const std::function<void(TPostMessage&)>& Fill);

    TZelSMTP& Client;
    const TZelSMTP::TRefusedRecipient Refused;
    bool InProgress = false;
};

}  // namespace mail
