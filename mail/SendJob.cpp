#include "mail/SendJob.h"

#include <new>

namespace mail {

void TSendJob::Run(const TSmtpConnection& Connection, const std::function<void(TPostMessage&)>& Fill) {
    // A press while an earlier one is still looking up the host or connecting
    // would change the client under the running attempt.
    if (InProgress || Client.Busy()) throw net::ESockError("Already connected", rtl::TErrorKind::Busy);
    InProgress = true;
    struct Done {
        bool& Flag;
        ~Done() { Flag = false; }
    } done{InProgress};
    try {
        Steps(Connection, Fill);
    } catch (const std::bad_alloc&) {
        // A large attachment is the usual cause; the user needs to hear what
        // happened, and the half-sent dialogue must not linger.
        Client.DropConnection();
        throw rtl::Exception(kMsgOutOfMemory, rtl::TErrorKind::OutOfMemory);
    }
}

void TSendJob::Steps(const TSmtpConnection& Connection, const std::function<void(TPostMessage&)>& Fill) {
    Client.Connect(Connection);
    Fill(Client.PostMessage());
    try {
        Client.SubmitMessage(Refused);
    } catch (...) {
        // Leave no connection behind, so the next send can connect again.
        Client.DropConnection();
        throw;
    }
    Client.Disconnect();
}

}  // namespace mail
