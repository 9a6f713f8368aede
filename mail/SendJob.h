// One whole send, as every front end makes it: refuse a second while one is
// under way, connect, put this send's message in place, submit it and say
// QUIT. A failed submit drops the connection (no QUIT), so the next send can
// connect again.
#pragma once

#include "mail/Zelsmtp.h"
#include "platform/Catalogue.h"

#include <functional>
#include <string>

namespace mail {

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
