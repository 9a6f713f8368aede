// Delivery status notifications as three common mail systems shape them: a
// Postfix bounce (text/rfc822-headers returned), an Exchange-style
// non-delivery report (HTML and text alternatives, the message returned as
// message/rfc822, its HTML long enough to push the status past the first
// 4 KB of the text) and a Gmail-style one (In-Reply-To, a folded
// multi-line diagnostic, no returned message).
#pragma once

#include <string>

namespace watch::testing {

enum class TBounceShape { Postfix, Exchange, Gmail };

struct TBounce {
    std::string Header;  // the whole header block, ending in a blank line
    std::string ContentType;
    std::string Body;
    std::string Whole() const { return Header + Body; }
};

// A bounce of the message MessageId (angle brackets included) for Recipient;
// Action "failed" or "delayed" with Status.
inline TBounce Bounce(TBounceShape Shape, const std::string& MessageId, const std::string& Recipient,
                      const std::string& Action = "failed", const std::string& Status = "5.1.1") {
    TBounce b;
    const std::string returned = "From: me@example.org\r\nSubject: Fax\r\nMessage-ID: " + MessageId + "\r\n";
    switch (Shape) {
        case TBounceShape::Postfix:
            b.ContentType = "multipart/report; report-type=delivery-status;\r\n\tboundary=\"4QfX1.1796877688/mx.example.org\"";
            b.Header = "From: MAILER-DAEMON@mx.example.org (Mail Delivery System)\r\nTo: me@example.org\r\n"
                       "Subject: Undelivered Mail Returned to Sender\r\nMessage-Id: <20261210.4QfX1@mx.example.org>\r\n"
                       "MIME-Version: 1.0\r\nContent-Type: " + b.ContentType + "\r\n\r\n";
            b.Body = "This is a MIME-encapsulated message.\r\n\r\n--4QfX1.1796877688/mx.example.org\r\n"
                     "Content-Description: Notification\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
                     "This is the mail system at host mx.example.org.\r\n\r\n"
                     "I'm sorry to have to inform you that your message could not\r\nbe delivered to one or more recipients.\r\n\r\n"
                     "<" + Recipient + ">: host mx.faxgateway.example[192.0.2.7] said: 550\r\n    " + Status +
                     " User unknown (in reply to RCPT TO command)\r\n\r\n"
                     "--4QfX1.1796877688/mx.example.org\r\nContent-Description: Delivery report\r\n"
                     "Content-Type: message/delivery-status\r\n\r\n"
                     "Reporting-MTA: dns; mx.example.org\r\nX-Postfix-Queue-ID: 4QfX1\r\nX-Postfix-Sender: rfc822; me@example.org\r\n"
                     "Arrival-Date: Thu, 10 Dec 2026 09:00:00 +0000 (UTC)\r\n\r\n"
                     "Final-Recipient: rfc822; " + Recipient + "\r\nOriginal-Recipient: rfc822;" + Recipient + "\r\n"
                     "Action: " + Action + "\r\nStatus: " + Status + "\r\nRemote-MTA: dns; mx.faxgateway.example\r\n"
                     "Diagnostic-Code: smtp; 550 " + Status + " <" + Recipient + ">: Recipient address\r\n    rejected: User unknown\r\n\r\n"
                     "--4QfX1.1796877688/mx.example.org\r\nContent-Description: Undelivered Message Headers\r\n"
                     "Content-Type: text/rfc822-headers\r\n\r\n" + returned +
                     "\r\n--4QfX1.1796877688/mx.example.org--\r\n";
            break;
        case TBounceShape::Exchange: {
            std::string style;
            for (int i = 0; i < 120; ++i) style += ".ndr-row" + std::to_string(i) + " { font-family: Segoe UI; margin: 0 0 12px 0; }\r\n";
            b.ContentType = "multipart/report; report-type=delivery-status; boundary=\"_000_ndr_\"";
            b.Header = "From: Microsoft Outlook <postmaster@contoso.example>\r\nTo: me@example.org\r\n"
                       "Subject: Undeliverable: Fax\r\nMessage-ID: <ndr-1@contoso.example>\r\nContent-Language: en-US\r\n"
                       "X-MS-Exchange-Message-Is-Ndr:\r\nMIME-Version: 1.0\r\nContent-Type: " + b.ContentType + "\r\n\r\n";
            b.Body = "--_000_ndr_\r\nContent-Type: multipart/alternative; differences=Content-Type;\r\n\tboundary=\"_001_alt_\"\r\n\r\n"
                     "--_001_alt_\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                     "Your message to " + Recipient + " couldn't be delivered.\r\n\r\n"
                     "The email address wasn't found at the destination domain.\r\n\r\n"
                     "--_001_alt_\r\nContent-Type: text/html; charset=\"us-ascii\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                     "<html><head><style>\r\n" + style + "</style></head><body><p>Your message couldn't be delivered.</p></body></html>\r\n\r\n"
                     "--_001_alt_--\r\n\r\n"
                     "--_000_ndr_\r\nContent-Type: message/delivery-status\r\n\r\n"
                     "Reporting-MTA: dns;DM6PR01MB0001.prod.contoso.example\r\n"
                     "Received-From-MTA: dns;mx.example.org\r\nArrival-Date: Thu, 10 Dec 2026 09:00:00 +0000\r\n\r\n"
                     "Final-Recipient: rfc822;" + Recipient + "\r\nAction: " + Action + "\r\nStatus: " + Status + "\r\n"
                     "Diagnostic-Code: smtp;550 " + Status + " RESOLVER.ADR.RecipientNotFound; Recipient not found by SMTP address lookup\r\n"
                     "X-Display-Name: " + Recipient + "\r\n\r\n"
                     "--_000_ndr_\r\nContent-Type: message/rfc822\r\n\r\n" + returned +
                     "MIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nThe fax.\r\n\r\n--_000_ndr_--\r\n";
            break;
        }
        case TBounceShape::Gmail:
            b.ContentType = "multipart/report; boundary=\"000000000000c0ffee\"; report-type=delivery-status";
            b.Header = "From: Mail Delivery Subsystem <mailer-daemon@googlemail.example>\r\nTo: me@example.org\r\n"
                       "Subject: Delivery Status Notification (Failure)\r\nMessage-ID: <5f0@mx.google.example>\r\n"
                       "In-Reply-To: " + MessageId + "\r\nReferences: " + MessageId + "\r\n"
                       "MIME-Version: 1.0\r\nContent-Type: " + b.ContentType + "\r\n\r\n";
            b.Body = "--000000000000c0ffee\r\nContent-Type: multipart/related; boundary=\"000000000000beef\"\r\n\r\n"
                     "--000000000000beef\r\nContent-Type: text/html; charset=\"UTF-8\"\r\n\r\n"
                     "<html><p>Address not found</p></html>\r\n\r\n--000000000000beef--\r\n\r\n"
                     "--000000000000c0ffee\r\nContent-Type: message/delivery-status\r\n\r\n"
                     "Reporting-MTA: dns; googlemail.example\r\nReceived-From-MTA: dns; me@example.org\r\n"
                     "Arrival-Date: Thu, 10 Dec 2026 01:00:00 -0800 (PST)\r\n\r\n"
                     "Final-Recipient: rfc822; " + Recipient + "\r\nAction: " + Action + "\r\nStatus: " + Status + "\r\n"
                     "Remote-MTA: dns; mx.faxgateway.example. (192.0.2.7, the server for the domain.)\r\n"
                     "Diagnostic-Code: smtp; 550-" + Status + " The email account that you tried to reach does\r\n"
                     " not exist. 550 " + Status + " https://support.example/mail/?p=NoSuchUser\r\n"
                     "Last-Attempt-Date: Thu, 10 Dec 2026 01:00:01 -0800 (PST)\r\n\r\n--000000000000c0ffee--\r\n";
            break;
    }
    return b;
}

}  // namespace watch::testing
