// One whole send, as every front end makes it: refuse a second while one is
// under way, connect, put this send's message in place, submit it and say
// QUIT. A failed submit drops the connection (no QUIT), so the next send can
// connect again.
#pragma once

#include "mail/Zelsmtp.h"

#include <functional>
#include <string>

namespace mail {

class TSendJob {
public:
    explicit TSendJob(TZelSMTP& Client) : Client(Client) {}
    TSendJob(const TSendJob&) = delete;
    TSendJob& operator=(const TSendJob&) = delete;

    // Connects to Host on the client's port with UserID for HELO, then lets
    // Fill set up the client's message and sends it. A second Run while one is
    // under way (in any phase, QUIT included) raises "Already connected"
    // before anything of the client is touched.
    void Run(const std::string& Host, const std::string& UserID, const std::function<void(TPostMessage&)>& Fill);

    bool Running() const { return InProgress; }

private:
    TZelSMTP& Client;
    bool InProgress = false;
};

}  // namespace mail
