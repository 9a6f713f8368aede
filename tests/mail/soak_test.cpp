// Hundreds of faxes in a row through one mail client to a real SMTP server
// (aiosmtpd): every message must arrive intact, and neither descriptors nor
// resident memory may grow once the client has warmed up.
#include "mail/Zelsmtp.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/TempFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define FAXMAIL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FAXMAIL_UNDER_ASAN 1
#endif
#endif
#ifndef FAXMAIL_UNDER_ASAN
#define FAXMAIL_UNDER_ASAN 0
#endif

using namespace std::chrono_literals;
using testsupport::RealSmtpServer;
using testsupport::TempFile;

namespace {

constexpr int kSends = 300;
constexpr int kWarmUp = 50;
// Resident growth allowed between send 50 and send 300. Heap pages the
// allocator keeps, and buffers that settle at their largest size, move RSS by
// a few hundred kilobytes. Each message text is 27 to 54 KB, so keeping one
// composed message (or its socket buffers) per send would add 7 to 13 MB over
// the 250 measured sends: above this bound.
constexpr long kRssGrowthBound = 8L << 20;

const std::string kGateway = "remote-printer.the_following_address@12125551234.iddd.faxgateway.example";

long ResidentBytes() {
    long pages = 0, resident = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

std::string SubjectOf(int n) {
    char text[64];
    std::snprintf(text, sizeof text, "me@example.comSend a Fax #%03d", n);
    return text;
}

}  // namespace

TEST(Soak, ThreeHundredFaxesThroughOneClientArriveIntactWithFlatResources) {
    std::unique_ptr<RealSmtpServer> server;
    try {
        server = std::make_unique<RealSmtpServer>();
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
    mail::TZelSMTP client(nullptr);
    client.Host = "127.0.0.1";
    client.Port = server->Port();
    auto& limits = client.TimeLimits;
    limits.Greeting = limits.Helo = limits.Rset = limits.MailFrom = limits.RcptTo = limits.Data = limits.Transfer =
        limits.EndMark = limits.Quit = 10000;  // a stalled exchange fails the test instead of holding it

    std::vector<std::unique_ptr<TempFile>> documents;
    long rssAtWarmUp = 0;
    int descriptorsAtWarmUp = 0;
    for (int n = 1; n <= kSends; ++n) {
        const std::size_t size = 20000 + static_cast<std::size_t>(n) * 7919 % 20000;
        documents.push_back(std::make_unique<TempFile>("page-" + std::to_string(n) + ".tif",
                                                       testsupport::RandomBytes(size, static_cast<unsigned>(n))));
        // As the main window sends: connect, fill the message in place, send, disconnect.
        try {
            client.UserID = "me";
            client.Connect();
            auto& m = client.PostMessage();
            m.FromAddress = "me@example.com";
            m.FromName = "me@example.com";
            m.Subject = SubjectOf(n);
            m.ReplyTo = "me@example.com";
            m.Body.Clear();
            m.Body.Add("me@example.comSend a Fax");
            m.ToBlindCarbonCopy.Add(kGateway);
            m.Attachments.Add(documents.back()->Path());
            client.SubmitMessage();
            client.Disconnect();
        } catch (const rtl::Exception& e) {
            FAIL() << "send " << n << ": " << e.Message;
        }
        ASSERT_FALSE(client.Connected) << "send " << n;
        if (n == kWarmUp) {
            rssAtWarmUp = ResidentBytes();
            descriptorsAtWarmUp = testsupport::OpenDescriptorCount();
        }
    }
    const long rssAtEnd = ResidentBytes();
    EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptorsAtWarmUp);
    ::testing::Test::RecordProperty("resident_growth_kb", std::to_string((rssAtEnd - rssAtWarmUp) >> 10));
    // Under AddressSanitizer the quarantine holds freed memory back: RSS says nothing there.
    if (!FAXMAIL_UNDER_ASAN) {
        EXPECT_LT(rssAtEnd - rssAtWarmUp, kRssGrowthBound)
            << "resident memory grew by " << ((rssAtEnd - rssAtWarmUp) >> 10) << " KB";
    }

    ASSERT_TRUE(server->WaitForMessages(kSends, 30s)) << server->MessageCount() << " messages stored";
    EXPECT_EQ(server->MessageCount(), kSends);
    std::ostringstream list;
    list << "[";
    for (int n = 1; n <= kSends; ++n) {
        const std::string& path = documents[static_cast<std::size_t>(n - 1)]->Path();
        list << (n > 1 ? ",\n" : "") << "{\"base\": \"" << server->Message(n) << "\", \"expect\": {"
             << "\"rcpt\": [\"" << kGateway << "\"], \"from\": \"me@example.com\", \"subject_hex\": \""
             << testsupport::Hex(SubjectOf(n)) << "\", \"body_lines\": [\"me@example.comSend a Fax\"], "
             << "\"headers\": {\"To\": \"undisclosed-recipients:;\"}, \"no_headers\": [\"CC\"], "
             << "\"attachments\": [{\"name\": \"page-" << n << ".tif\", \"path\": \"" << path << "\"}]}}";
    }
    list << "]";
    const std::string listPath = server->Folder() + "/expect-all.json";
    testsupport::WriteTextFile(listPath, list.str());
    std::string output;
    const int code =
        testsupport::RunPython(testsupport::SourceRoot() + "/tests/e2e/check_message.py --many " + listPath, output);
    EXPECT_EQ(code, 0) << output;
    EXPECT_EQ(output, std::to_string(kSends) + " messages ok\n");
}
