// Every step of the SMTP dialogue against every way a server misbehaves,
// through the main window's send button: each press must end with a clear
// message (or success where the fault is harmless), send nothing after the
// failure, leave the window's inputs alone, leak no descriptor, and the next
// press must send normally.
#include "AppFixture.h"

#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempFiles.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using testsupport::ScriptedPeer;
using testsupport::TempFile;

namespace {

enum class Step { Greeting, Helo, Rset, Mail, Rcpt, Data, Text, EndMark, Quit };
enum class Fault { Refuses4xx, Refuses5xx, Closes, Resets, StaysSilent, Trickles };

const char* Name(Step s) {
    switch (s) {
        case Step::Greeting: return "Greeting";
        case Step::Helo: return "Helo";
        case Step::Rset: return "Rset";
        case Step::Mail: return "MailFrom";
        case Step::Rcpt: return "RcptTo";
        case Step::Data: return "Data";
        case Step::Text: return "MessageText";
        case Step::EndMark: return "EndMark";
        case Step::Quit: return "Quit";
    }
    return "?";
}

const char* Name(Fault f) {
    switch (f) {
        case Fault::Refuses4xx: return "Refuses4xx";
        case Fault::Refuses5xx: return "Refuses5xx";
        case Fault::Closes: return "Closes";
        case Fault::Resets: return "Resets";
        case Fault::StaysSilent: return "StaysSilent";
        case Fault::Trickles: return "Trickles";
    }
    return "?";
}

struct Cell {
    Step At;
    Fault What;
    friend void PrintTo(const Cell& c, std::ostream* os) { *os << Name(c.At) << "_" << Name(c.What); }
};

const std::string kGateway = "remote-printer.the_following_address@12125551234.iddd.faxgateway.example";
const std::string kSuccess = "传真已经发送，请稍后检查您的邮箱，证实Fax是否真正成功。";
const std::string kNoRecipients = "554 5.5.1 no valid recipients\r\n";
constexpr std::uint32_t kShortMs = 400;   // the step under test: silence ends quickly
constexpr std::uint32_t kNormalMs = 5000;  // every other wait: never the cause of a failure
// Well above kShortMs plus the cleanup, and below the peer's own 5 s step
// bound, which would otherwise be what ends a client that waits for ever.
constexpr auto kPressBound = 4000ms;

// What the client sends at each step, and the server's good and bad answers.
const std::string& Command(Step s) {
    static const std::vector<std::string> commands{
        "",     "HELO me", "RSET",   "MAIL FROM:<me@example.com>", "RCPT TO:<" + kGateway + ">",
        "DATA", "<text>",  "<text>", "QUIT"};
    return commands[static_cast<int>(s)];
}

std::string GoodReply(Step s) {
    switch (s) {
        case Step::Greeting: return "220 test server ready\r\n";
        case Step::Helo: return "250 hello me\r\n";
        case Step::Rset: return "250 flushed\r\n";
        case Step::Mail: return "250 sender ok\r\n";
        case Step::Rcpt: return "250 recipient ok\r\n";
        case Step::Data: return "354 go ahead\r\n";
        case Step::Text: return "";
        case Step::EndMark: return "250 queued as 4711\r\n";
        case Step::Quit: return "221 bye\r\n";
    }
    return "";
}

std::string Refusal(Step s, Fault f) {
    const bool temporary = f == Fault::Refuses4xx;
    switch (s) {
        case Step::Greeting: return temporary ? "421 4.3.2 service not available\r\n" : "554 5.3.2 no service here\r\n";
        case Step::Helo: return temporary ? "421 4.7.0 try again later\r\n" : "501 5.5.4 bad HELO argument\r\n";
        case Step::Rset: return temporary ? "451 4.3.0 local error\r\n" : "502 5.5.1 RSET not implemented\r\n";
        case Step::Mail: return temporary ? "451 4.3.0 sender check failed\r\n" : "553 5.1.8 sender refused\r\n";
        case Step::Rcpt: return temporary ? "450 4.2.1 mailbox busy\r\n" : "550 5.1.1 no such mailbox\r\n";
        case Step::Data: return temporary ? "451 4.3.0 try later\r\n" : kNoRecipients;
        case Step::Text: return temporary ? "451 4.3.0 out of storage\r\n" : "554 5.6.0 message refused\r\n";
        case Step::EndMark: return temporary ? "451 4.3.0 queue write error\r\n" : "552 5.3.4 message too big\r\n";
        case Step::Quit: return temporary ? "421 4.3.0 closing anyway\r\n" : "500 5.5.1 QUIT not understood\r\n";
    }
    return "";
}

// What the client waits for at each step, as the time-limit message names it.
const char* Awaited(Step s) {
    switch (s) {
        case Step::Greeting: return "the greeting";
        case Step::Helo: return "HELO";
        case Step::Rset: return "RSET";
        case Step::Mail: return "MAIL FROM";
        case Step::Rcpt: return "RCPT TO";
        case Step::Data: return "DATA";
        case Step::Text:  // nothing is awaited while the text goes out: silence shows at the end mark
        case Step::EndMark: return "the end of the message";
        case Step::Quit: return "QUIT";
    }
    return "";
}

// The server's side of the step: read what the client sends for it.
void Take(ScriptedPeer& peer, Step s) {
    switch (s) {
        case Step::Greeting: break;
        // Well inside the text: past the header block, in the first document's part.
        case Step::Text: peer.ExpectUntil("filename=\"page1.tif\""); break;
        case Step::EndMark: peer.ExpectUntil("\r\n.\r\n"); break;
        default: peer.Expect(Command(s)); break;
    }
}

// The first connection: good up to the step under test, then the fault.
void FaultyDialogue(ScriptedPeer& peer, Cell cell) {
    for (int i = 0; i <= static_cast<int>(Step::Quit); ++i) {
        const Step s = static_cast<Step>(i);
        Take(peer, s);
        if (s != cell.At || cell.What == Fault::Trickles) {
            if (s == cell.At && s == Step::Text) {
                // A server slow to take the text: small reads with pauses.
                for (int piece = 0; piece < 8; ++piece) peer.ExpectBytes(512).Pause(5ms);
            } else if (s == cell.At) {
                peer.SendBytewise(GoodReply(s));
            } else {
                peer.Send(GoodReply(s));
            }
            continue;
        }
        switch (cell.What) {
            case Fault::Refuses4xx:
            case Fault::Refuses5xx:
                peer.Send(Refusal(s, cell.What));
                // A refused greeting or HELO is followed by the client's QUIT.
                if (s == Step::Greeting || s == Step::Helo) peer.Expect("QUIT").Send(GoodReply(Step::Quit));
                // A refused recipient ends the send before DATA.
                // An early answer during the text: the client still sends the rest.
                if (s == Step::Text) peer.ExpectUntil("\r\n.\r\n");
                peer.ReadUntilClose();
                break;
            case Fault::Closes:
            case Fault::Resets:
                // Let the client see the connection open and wait for the
                // greeting: a reset before that shows as a failed connect.
                if (s == Step::Greeting) peer.Pause(100ms);
                if (cell.What == Fault::Closes)
                    peer.Close();
                else
                    peer.Reset();
                break;
            case Fault::StaysSilent: peer.ReadUntilClose(); break;
            case Fault::Trickles: break;
        }
        return;
    }
    peer.Close();
}

// The whole good dialogue of one fax, QUIT included.
void GoodDialogue(ScriptedPeer& peer) {
    for (int i = 0; i <= static_cast<int>(Step::Quit); ++i) {
        const Step s = static_cast<Step>(i);
        Take(peer, s);
        peer.Send(GoodReply(s));
    }
    peer.Close();
}

// The client's side of one connection: its command lines without line ends,
// and the text after DATA as "<text>" ("<cut text>" when it stops short of
// the end mark).
std::vector<std::string> Dialogue(const std::string& wire) {
    std::vector<std::string> out;
    std::size_t at = 0;
    bool textNext = false;
    while (at < wire.size()) {
        if (textNext) {
            textNext = false;
            const std::size_t end = wire.find("\r\n.\r\n", at);
            if (end == std::string::npos) {
                out.push_back("<cut text>");
                break;
            }
            out.push_back("<text>");
            at = end + 5;
            continue;
        }
        const std::size_t eol = wire.find("\r\n", at);
        if (eol == std::string::npos) {
            out.push_back("<cut line> " + wire.substr(at));
            break;
        }
        out.push_back(wire.substr(at, eol - at));
        textNext = out.back() == "DATA";
        at = eol + 2;
    }
    return out;
}

// The end mark went out and its reply did not come.
std::string MaybeDelivered() { return app::MessageForDisplay(mail::kMsgMaybeDelivered).toStdString(); }

struct Outcome {
    std::optional<std::string> Box;  // the message box's text, none when nothing is shown
    std::optional<std::string> OrBox;  // another text a race may give instead
    bool Sent = false;               // the message was accepted: the success status text shows
    std::vector<std::string> Wire;   // what the client sent on the first connection
};

Outcome Expected(Cell c) {
    Outcome o;
    const int last = c.What == Fault::Trickles ? static_cast<int>(Step::Quit) : static_cast<int>(c.At);
    for (int i = static_cast<int>(Step::Helo); i <= last; ++i)
        if (i != static_cast<int>(Step::EndMark)) o.Wire.push_back(Command(static_cast<Step>(i)));
    o.Sent = c.At == Step::Quit || c.What == Fault::Trickles;
    switch (c.What) {
        case Fault::Refuses4xx:
        case Fault::Refuses5xx:
            o.Box = Refusal(c.At, c.What);
            if (c.At == Step::Greeting || c.At == Step::Helo) o.Wire.push_back("QUIT");
            if (c.At == Step::Helo) o.Box = "Authentication failed.";
            break;
        case Fault::Closes:
        case Fault::Resets:
            // Once the message is accepted, a server that goes away during
            // QUIT is nothing to report.
            if (c.At != Step::Quit) o.Box = "Connection Closed.";
            // Gone after the end mark: the message may be in the server's hands.
            if (c.At == Step::EndMark) o.Box = MaybeDelivered();
            // Gone during the text: the client may have sent all of it first.
            if (c.At == Step::Text) o.OrBox = MaybeDelivered();
            break;
        case Fault::StaysSilent:
            o.Box = std::string("No reply from the server to ") + Awaited(c.At) + " within " +
                    std::to_string(kShortMs) + " ms.";
            // Silence during the text shows at the end mark.
            if (c.At == Step::Text || c.At == Step::EndMark) o.Box = MaybeDelivered();
            break;
        case Fault::Trickles: break;
    }
    return o;
}

void ShortenLimitOf(mail::TSmtpTimeLimits& l, Step s) {
    l = {kNormalMs, kNormalMs, kNormalMs, kNormalMs, kNormalMs, kNormalMs, kNormalMs, kNormalMs, kNormalMs};
    switch (s) {
        case Step::Greeting: l.Greeting = kShortMs; break;
        case Step::Helo: l.Helo = kShortMs; break;
        case Step::Rset: l.Rset = kShortMs; break;
        case Step::Mail: l.MailFrom = kShortMs; break;
        case Step::Rcpt: l.RcptTo = kShortMs; break;
        case Step::Data: l.Data = kShortMs; break;
        case Step::Text: l.Transfer = l.EndMark = kShortMs; break;
        case Step::EndMark: l.EndMark = kShortMs; break;
        case Step::Quit: l.Quit = kShortMs; break;
    }
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class FaultMatrix : public WindowsTest, public ::testing::WithParamInterface<Cell> {};

TEST_P(FaultMatrix, EndsWithAClearResultAndTheNextPressSends) {
    const Cell cell = GetParam();
    const Outcome want = Expected(cell);
    const TempFile page1("page1.tif", testsupport::RandomBytes(3000, 1));
    const TempFile page2("page2.tif", testsupport::RandomBytes(5000, 2));
    AddFile(page1.Path());
    AddFile(page2.Path());
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");

    const int descriptorsBefore = testsupport::OpenDescriptorCount();
    std::optional<ScriptedPeer> peer;
    try {
        peer.emplace();
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
    UsePort(peer->Port());
    std::atomic<std::size_t> firstConnectionEnds{std::string::npos};
    FaultyDialogue(*peer, cell);
    peer->Call([&] { firstConnectionEnds = peer->Received().size(); });
    peer->AcceptNext();
    GoodDialogue(*peer);
    peer->Start();

    ShortenLimitOf(Form1->ZelSMTP1->TimeLimits, cell.At);
    const auto start = std::chrono::steady_clock::now();
    Form1->Button4->click();
    EXPECT_LT(std::chrono::steady_clock::now() - start, kPressBound);

    if (want.Box) {
        ASSERT_EQ(Boxes.size(), 1u);
        // The explanation ends with the component's own text in parentheses.
        const auto own = [](std::string text) {
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
            return text;
        };
        const std::string box = Boxes[0].Text.toStdString();
        if (!want.OrBox || box.find(own(*want.OrBox)) == std::string::npos) {
            EXPECT_NE(box.find(own(*want.Box)), std::string::npos) << box;
        }
        EXPECT_EQ(Boxes[0].Icon, app::TMsgIcon::Error);
        EXPECT_EQ(Boxes[0].Caption, app::ApplicationTitle());
    } else {
        EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text.toStdString();
    }
    EXPECT_EQ(Statuses1.contains(QString::fromStdString(kSuccess)), want.Sent);
    EXPECT_FALSE(Form1->ZelSMTP1->Connected);
    EXPECT_EQ(Form1->Edit1->text(), QString("127.0.0.1"));
    EXPECT_EQ(Form1->Edit2->text(), QString("me@example.com"));
    EXPECT_EQ(Form1->Edit3->text(), QString("001-212-5551234"));
    ASSERT_EQ(Form1->ListBox1->count(), 2);
    EXPECT_EQ(Form1->ListBox1->item(0)->text().toStdString(), page1.Path());
    EXPECT_EQ(Form1->ListBox1->item(1)->text().toStdString(), page2.Path());

    // The next press, with ordinary limits, sends the fax.
    Form1->ZelSMTP1->TimeLimits = {kNormalMs, kNormalMs, kNormalMs, kNormalMs, kNormalMs,
                                   kNormalMs, kNormalMs, kNormalMs, kNormalMs};
    const std::size_t boxesAfterFirst = Boxes.size();
    Statuses1.clear();
    Form1->Button4->click();
    ASSERT_TRUE(peer->WaitDone(5000ms));
    EXPECT_TRUE(peer->Failures().empty()) << peer->Failures().front();
    EXPECT_EQ(Boxes.size(), boxesAfterFirst) << Boxes.back().Text.toStdString();
    ASSERT_FALSE(Statuses1.isEmpty());
    EXPECT_EQ(Statuses1.back().toStdString(), kSuccess);
    EXPECT_EQ(peer->ConnectionsAccepted(), 2);

    const std::string wire = peer->Received();
    ASSERT_NE(firstConnectionEnds.load(), std::string::npos);
    const std::string first = wire.substr(0, firstConnectionEnds);
    const std::string second = wire.substr(firstConnectionEnds);
    std::vector<std::string> firstDialogue = Dialogue(first);
    // A server that goes away during the text may take only part of it.
    if (cell.At == Step::Text && (cell.What == Fault::Closes || cell.What == Fault::Resets) && !firstDialogue.empty() &&
        firstDialogue.back() == "<cut text>")
        firstDialogue.back() = "<text>";
    EXPECT_EQ(firstDialogue, want.Wire);
    const std::vector<std::string> full{"HELO me", "RSET", "MAIL FROM:<me@example.com>", "RCPT TO:<" + kGateway + ">",
                                        "DATA", "<text>", "QUIT"};
    EXPECT_EQ(Dialogue(second), full);
    // Nothing the failed attempt left behind reaches the second message.
    EXPECT_EQ(Count(second, "filename=\"page1.tif\""), 1);
    EXPECT_EQ(Count(second, "filename=\"page2.tif\""), 1);
    EXPECT_EQ(Count(second, "\r\nme@example.comSend a Fax\r\n"), 1);

    peer.reset();
    EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptorsBefore);
}

std::vector<Cell> AllCells() {
    std::vector<Cell> cells;
    for (int s = 0; s <= static_cast<int>(Step::Quit); ++s)
        for (int f = 0; f <= static_cast<int>(Fault::Trickles); ++f)
            cells.push_back({static_cast<Step>(s), static_cast<Fault>(f)});
    return cells;
}

INSTANTIATE_TEST_SUITE_P(StepByFault, FaultMatrix, ::testing::ValuesIn(AllCells()), [](const auto& info) {
    return std::string(Name(info.param.At)) + "_" + Name(info.param.What);
});

}  // namespace
