// A delivery status notification (a bounce): the report a mail server sends
// back when it could not deliver a message, or is still trying. Read from the
// message's Content-Type and body alone: no mailbox, no store.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace watch {

struct TRecipientReport {
    std::string Recipient;   // the Final-Recipient's address, without its "rfc822;" type
    std::string Action;      // failed, delayed, delivered, relayed, expanded (lower case)
    std::string Status;      // 5.1.1
    std::string Diagnostic;  // the Diagnostic-Code without its type ("smtp; 550 ..."), unfolded
};

struct TDeliveryReport {
    std::string MessageId;  // of the message it reports on (its returned headers), without angle brackets
    std::vector<TRecipientReport> Recipients;
    std::string FirstLine;  // the first line of the human-readable part that says something
};

// The report of a "multipart/report; report-type=delivery-status" message
// (ContentType is the header's value, Body what follows the header, perhaps
// cut short after the parts that matter); nullopt for any other message.
std::optional<TDeliveryReport> ReadDeliveryReport(const std::string& ContentType, const std::string& Body);

}  // namespace watch
