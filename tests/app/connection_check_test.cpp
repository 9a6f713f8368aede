// The connection check's other tries after a failure: never a weaker
// protection than one that failed for a TLS reason (a server that stopped
// offering STARTTLS, an expired certificate), which is how a fall-back is
// forced from the path; other failures still try the usual set-ups.
#include "app/ConnectionCheck.h"
#include "mail/Zelsmtp.h"

#include "tests/support/Ports.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Security = mail::TSmtpSecurity;
using Try = std::pair<int, Security>;

TEST(ConnectionCheck, NothingWeakerIsTriedOrProposedAfterATlsFailure) {
    const auto& certs = testsupport::Certificates();
    struct Case {
        const char* Name;
        bool Listening;  // false: nothing on the port, a failure of no TLS reason
        bool OfferStartTls;
        bool ImplicitTls;
        const testsupport::CertificateFiles* Cert;
        Security Chosen;
        std::vector<Security> SamePortTries;  // after the chosen one
        bool PlainPort25Tried;
    };
    const Case cases[] = {
        {"STARTTLS no longer offered", true, false, false, &certs.Server, Security::StartTls, {Security::ImplicitTls}, false},
        {"STARTTLS, expired certificate", true, true, false, &certs.Expired, Security::StartTls, {Security::ImplicitTls}, false},
        {"SSL/TLS, expired certificate", true, false, true, &certs.Expired, Security::ImplicitTls, {Security::StartTls}, false},
        {"nothing listening", false, false, false, &certs.Server, Security::StartTls,
         {Security::ImplicitTls, Security::None}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        testsupport::SmtpServerOptions options;
        options.CertFile = c.Cert->Cert;
        options.KeyFile = c.Cert->Key;
        options.OfferStartTls = c.OfferStartTls;
        options.ImplicitTls = c.ImplicitTls;
        std::optional<testsupport::RealSmtpServer> server;
        int port = testsupport::UnusedPort();
        if (c.Listening) port = server.emplace(options).Port();

        app::TSendSettings settings;
        settings.Server = "localhost";
        settings.Email = "me@example.com";
        settings.Port = port;
        settings.Security = c.Chosen;
        settings.TrustFile = QString::fromStdString(certs.Authority);
        app::TConnectionCheck check;
        std::vector<Try> tried;
        const std::uint16_t closed = testsupport::UnusedPort();
        check.Prepare = [&](mail::TSmtpConnection& connection, mail::TZelSMTP& client) {
            tried.emplace_back(connection.Port, connection.Security);
            mail::TSmtpTimeLimits limits = connection.Limits.value_or(client.TimeLimits);
            limits.Greeting = 3000;  // a plain try on a port that waits for TLS
            limits.Handshake = limits.Helo = 10000;
            limits.GreetingProbe = 0;
            connection.Limits = limits;
            // The usual ports of the host are no test's: each fails at once.
            if (connection.Port != port) connection.Port = closed;
        };
        EXPECT_FALSE(check.Run(settings, QString()));
        EXPECT_FALSE(check.Alternative.has_value());

        std::vector<Try> expected{{port, c.Chosen}};
        for (const Security s : c.SamePortTries) expected.emplace_back(port, s);
        expected.insert(expected.end(), {{587, Security::StartTls}, {465, Security::ImplicitTls}});
        if (c.PlainPort25Tried) expected.emplace_back(25, Security::None);
        EXPECT_EQ(tried, expected);
    }
}

}  // namespace
