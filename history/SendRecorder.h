// Records one press of the send in the history: the attempt as it starts,
// its message once composed (the Message-ID is known then), and how it ended.
// Both front ends send through it; the mail path knows nothing of it.
#pragma once

#include "fax/Dispatch.h"
#include "history/History.h"
#include "rtl/Text.h"

#include <QString>

#include <exception>
#include <functional>
#include <string>

namespace history {

class TSendRecorder {
public:
    TSendRecorder(fax::TFaxDispatch& Dispatch, mail::TZelSMTP& Client, QString FrontEnd)
        : Dispatch(Dispatch), Client(Client), FrontEnd(std::move(FrontEnd)) {}

    // Where the records go; nullptr: nowhere.
    THistory* Store = nullptr;
    // The outbox entry the sends are tries of; 0: none.
    qint64 OutboxId = 0;
    // The text a failure of the send is recorded with: what the front end
    // tells the user of it; unset, the failure's own text.
    std::function<QString(const std::exception&)> FailureText;

    // Dispatch.Send(Request), recorded: returns and raises what it does. A
    // press while a send is under way is refused by the send and not recorded.
    std::string Send(const fax::TSendRequest& Request);

    // Dispatch.Check(Request): a refusal is recorded as a refused send; a
    // request that passes is recorded by the Send that follows.
    std::string Check(const fax::TSendRequest& Request);

    // The record of the last press.
    const TRecord& Last() const { return Record; }

    class TDigest;

private:
    // A new record of the request, not yet stored.
    void Begin(const fax::TSendRequest& Request);
    void Save();
    // The number as the press read it, and its place.
    void Understood();

    fax::TFaxDispatch& Dispatch;
    mail::TZelSMTP& Client;
    QString FrontEnd;
    TRecord Record;
};

// The SHA-256 of a file in lower-case hex, and its size; empty and -1 when it
// cannot be read. The file is opened by its own bytes.
TFileEntry FileEntryOf(const rtl::TFilePath& Path);

// The protection's name as the history keeps it: none, starttls, tls.
QString ProtectionName(mail::TSmtpSecurity Security);

}  // namespace history
