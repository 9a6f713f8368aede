// The socket component's data transfer: lines, transactions, streams,
// cancellation and lost connections.
#include "tests/net/NetTest.h"
#include "tests/support/TempFiles.h"

namespace nettest {
namespace {

using net::EAbortError;
using net::ESockError;
using testsupport::ScriptedPeer;

template <typename Exception, typename Fn>
std::string MessageOf(Fn fn) {
    try {
        fn();
    } catch (const Exception& e) {
        return e.Message;
    }
    return "<no exception>";
}

class ZelSockTransfer : public SockTest {
protected:
    void SetUp() override {
        SockTest::SetUp();
        Sock->OnPacketSent = [this](rtl::TObject* sender) {
            EXPECT_EQ(sender, Sock.get());
            EXPECT_TRUE(Sock->TransferActive);
            Packets.emplace_back(Sock->BytesSent, Sock->BytesTotal);
        };
    }
    std::vector<std::pair<std::int32_t, std::int32_t>> Packets;
};

// ---- lines ----

TEST_F(ZelSockTransfer, WritelnSendsTheTextWithCrLf) {
    ScriptedPeer peer;
    peer.ExpectData("QUIT\r\n").Close().Start();
    ConnectTo(peer);
    Sock->Writeln("QUIT");
    EXPECT_EQ(Sock->SendQueue.Size(), 0);
    ExpectScriptDone(peer);
}

TEST_F(ZelSockTransfer, WriteStopsAt16384CharactersAndAtAZero) {
    const std::string longText = testsupport::RandomBytes(20000, 7);
    std::string printable(longText.size(), 'x');
    for (std::size_t i = 0; i < printable.size(); ++i) printable[i] = static_cast<char>('a' + (longText[i] & 15));
    ScriptedPeer peer;
    peer.ExpectData(printable.substr(0, 16384)).ExpectData("ABEFZ\r\n").Close().Start();
    ConnectTo(peer);
    Sock->Write(printable);
    Sock->Write("");  // nothing to send
    Sock->Write(std::string("AB\0CD", 5));
    Sock->Writeln(std::string("EF\0GH", 5));  // loses its CR LF with the rest
    Sock->Writeln("Z");
    ExpectScriptDone(peer);
    EXPECT_EQ(peer.Received(), printable.substr(0, 16384) + "ABEFZ\r\n");
}

TEST_F(ZelSockTransfer, ReadLnTakesOneLineAtATime) {
    ScriptedPeer peer;
    peer.Send("250 first\r\n251 second\r\n")
        .Expect("NEXT")
        .SendBytewise("220 bytewise\r\n")
        .SendPieces("354 in two pieces\r\n", 10, 150ms)
        .Close()
        .Start();
    ConnectTo(peer);
    EXPECT_EQ(Sock->ReadLn(), "250 first\r\n");
    EXPECT_EQ(Sock->ReceiveStream.ToString(), "251 second\r\n");  // already here: no wait needed
    EXPECT_EQ(Sock->ReceiveStream.Position(), Sock->ReceiveStream.Size());
    EXPECT_EQ(Sock->ReadLn(), "251 second\r\n");
    EXPECT_EQ(Sock->ReceiveStream.Size(), 0);
    Sock->Writeln("NEXT");
    EXPECT_EQ(Sock->ReadLn(), "220 bytewise\r\n");
    EXPECT_EQ(Sock->ReadLn(), "354 in two pieces\r\n");
    ExpectScriptDone(peer);
}

TEST_F(ZelSockTransfer, ALineLongerThanOneReceivePassArrivesWhole) {
    std::string line(100000, 'L');
    line += "\r\n";
    ScriptedPeer peer;
    peer.Send(line + "next\n").Close().Start();
    ConnectTo(peer);
    EXPECT_EQ(Sock->ReadLn(), line);
    EXPECT_EQ(Sock->ReadLn(), "next\n");
    ExpectScriptDone(peer);
}

// A peer that never ends its line: ReadLn refuses it once past the limit,
// and the rest stays in the socket instead of the memory.
TEST_F(ZelSockTransfer, ALineBeyondTheLimitEndsReadLnAndTheBufferStaysBounded) {
    ScriptedPeer peer;
    peer.Send(std::string(1 << 20, 'x')).ReadUntilClose().Start();
    Sock->MaxLineLength = 4096;
    ConnectTo(peer);
    EXPECT_EQ(MessageOf<ESockError>([this] { Sock->ReadLn(); }), rtl::FormatMessage(net::kMsgLineTooLong, "4096"));
    testsupport::PumpFor(200ms);
    EXPECT_LT(Sock->ReceiveStream.Size(), 4096 + 16383);
    Sock->Disconnect();
    ExpectScriptDone(peer);
}

// Lines already received cost their own bytes, not the rest's, and a stop
// pressed meanwhile is seen before the rest is taken.
TEST_F(ZelSockTransfer, BufferedLinesAreTakenInLinearTimeAndAStopActsBetweenThem) {
    const std::string line = "250-" + std::string(34, 'x') + "\r\n";
    std::string lines;
    for (int i = 0; i < 100000; ++i) lines += line;  // 4 MB
    ScriptedPeer peer;
    peer.Send(lines).ReadUntilClose().Start();
    ConnectTo(peer);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return Sock->ReceiveStream.Size() == std::int64_t(lines.size()); }, 5000ms));
    const auto start = Clock::now();
    for (int i = 0; i < 50000; ++i) ASSERT_EQ(Sock->ReadLn(), line);
    EXPECT_LT(ElapsedMs(start), 1000);  // quadratic: over 10 s
    TLater stop(1ms, [this] { Sock->Cancel(); });
    std::this_thread::sleep_for(20ms);  // the stop is due before the next line
    int taken = 0;
    EXPECT_THROW(for (;; ++taken) Sock->ReadLn(), EAbortError);
    EXPECT_LT(taken, 50000);
    Sock->Disconnect();
    ExpectScriptDone(peer);
}

TEST_F(ZelSockTransfer, CanceledReadLnKeepsTheBufferedLineAndStaysCanceled) {
    ScriptedPeer peer;
    peer.Send("250 ok\r\n").Pause(300ms).Close().Start();
    ConnectTo(peer);
    ASSERT_TRUE(testsupport::PumpUntil([this] { return Sock->ReceiveStream.Size() == 8; }, 5000ms));
    Sock->Cancel();
    EXPECT_EQ(MessageOf<EAbortError>([this] { Sock->ReadLn(); }), "Socket readln aborted");
    EXPECT_EQ(MessageOf<EAbortError>([this] { Sock->ReadLn(); }), "Socket readln aborted");
    EXPECT_TRUE(Sock->Canceled);
    EXPECT_EQ(Sock->ReceiveStream.ToString(), "250 ok\r\n");

    Sock->Writeln("NOT SENT");  // a send while canceled returns quietly
    EXPECT_EQ(Sock->SendQueue.Size(), 0);
    Sock->Disconnect();
    ExpectScriptDone(peer);
    EXPECT_EQ(peer.Received(), "");
}

TEST_F(ZelSockTransfer, ReadLnEndsWhenThePeerClosesWithoutALineFeed) {
    ScriptedPeer peer;
    peer.Send("221 bye\r\npartial").Close().Start();
    ConnectTo(peer);
    EXPECT_EQ(Sock->ReadLn(), "221 bye\r\n");  // what came with the close is still returned
    EXPECT_EQ(MessageOf<ESockError>([this] { Sock->ReadLn(); }), net::ConnectionClosedText);
    EXPECT_EQ(Sock->ReceiveStream.ToString(), "partial");
    EXPECT_FALSE(Sock->Connected);
    ExpectScriptDone(peer);
}

// ---- transactions ----

TEST_F(ZelSockTransfer, TransactionTakesTheReplyCode) {
    struct Case {
        std::string Reply;
        std::int16_t Code;
        bool RangeFailure;
    };
    const std::vector<Case> cases = {
        {"250 ok\r\n", 250, false},       {"354 go ahead\r\n", 354, false}, {"hello\r\n", 0, false},
        {"\r\n", 0, false},               {"32767 top\r\n", 32767, false},  {"32768 over\r\n", 0, true},
        {"99999 big\r\n", 0, true},       {"4294967296 huge\r\n", 0, false}, {"12345678901 cut\r\n", 0, true},
        {"0042 lead\n", 42, false},
    };
    ScriptedPeer peer;
    for (const auto& c : cases) peer.Expect("CMD").Send(c.Reply);
    peer.Close().Start();
    ConnectTo(peer);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Reply);
        Sock->ReplyCode = 77;
        if (c.RangeFailure) {
            EXPECT_THROW(Sock->Transaction("CMD"), rtl::ERangeError);
            EXPECT_EQ(Sock->LastReply, c.Reply);
        } else {
            EXPECT_EQ(Sock->Transaction("CMD"), c.Reply);
        }
        EXPECT_EQ(Sock->ReplyCode, c.Code);
    }
    ExpectScriptDone(peer);
}

TEST_F(ZelSockTransfer, ReplyArrivingWithTheCloseIsRead) {
    ScriptedPeer peer;
    peer.Expect("QUIT").Send("221 closing\r\n").Close().Start();
    ConnectTo(peer);
    EXPECT_EQ(Sock->Transaction("QUIT"), "221 closing\r\n");
    EXPECT_EQ(Sock->ReplyCode, 221);
    ExpectScriptDone(peer);
}

// ---- streams ----

TEST_F(ZelSockTransfer, EmptyStreamCompletesWithoutSending) {
    ScriptedPeer peer;
    peer.ExpectData("END\r\n").Close().Start();
    ConnectTo(peer);
    Sock->BytesSent = 5;
    rtl::TMemoryStream empty;
    Sock->SendStream(empty);
    EXPECT_EQ(Sock->BytesSent, 0);
    EXPECT_EQ(Sock->BytesTotal, 0);
    EXPECT_TRUE(Packets.empty());
    EXPECT_FALSE(Sock->TransferActive);
    Sock->Writeln("END");
    ExpectScriptDone(peer);
}

TEST_F(ZelSockTransfer, StreamGoesOutInChunksWithProgress) {
    const std::string data = testsupport::RandomBytes(40000, 1);
    ScriptedPeer peer;
    peer.ExpectData(data).Close().Start();
    ConnectTo(peer);
    rtl::TMemoryStream stream;
    stream.WriteString(data);  // the position is at the end: SendStream starts from 0 anyway
    Sock->SendStream(stream);
    EXPECT_EQ(Packets, (std::vector<std::pair<std::int32_t, std::int32_t>>{{16383, 40000}, {32766, 40000}, {40000, 40000}}));
    EXPECT_FALSE(Sock->TransferActive);
    EXPECT_EQ(Sock->SendQueue.Size(), 0);
    ExpectScriptDone(peer);
}

TEST_F(ZelSockTransfer, FiftyMegabytesArriveInOrderAndQuickly) {
    const std::size_t size = 50u * 1024 * 1024;
    const std::string data = testsupport::RandomBytes(size, 50);
    ScriptedPeer peer;
    peer.SetStepTimeout(60s);
    peer.ExpectBytes(size).Close().Start();
    ConnectTo(peer);
    rtl::TMemoryStream stream;
    stream.WriteString(data);
    const auto start = Clock::now();
    Sock->SendStream(stream);
    const long ms = ElapsedMs(start);
    ExpectScriptDone(peer);
    std::printf("[ timing ] 50 MB SendStream: %ld ms\n", ms);
    EXPECT_LT(ms, 30000);
    EXPECT_EQ(Sock->BytesSent, static_cast<std::int32_t>(size));
    EXPECT_EQ(Sock->BytesTotal, static_cast<std::int32_t>(size));
    ASSERT_FALSE(Packets.empty());
    EXPECT_EQ(Packets.back().first, static_cast<std::int32_t>(size));
    std::int32_t previous = 0;
    for (const auto& packet : Packets) {
        EXPECT_GT(packet.first, previous);
        EXPECT_LE(packet.first - previous, 16383);
        previous = packet.first;
    }
    EXPECT_TRUE(peer.Received() == data) << "the received bytes differ from the stream";
}

TEST_F(ZelSockTransfer, SendsWhileCanceled) {
    ScriptedPeer peer;
    peer.Pause(200ms).Close().Start();
    ConnectTo(peer);
    Sock->Canceled = true;
    const char data[] = "ABC";
    Sock->SendBuffer(data, 3);  // returns without a word
    EXPECT_TRUE(Sock->Canceled);
    rtl::TMemoryStream stream;
    stream.WriteString("payload");
    EXPECT_EQ(MessageOf<EAbortError>([&] { Sock->SendStream(stream); }), "Socket send aborted");
    EXPECT_FALSE(Sock->Canceled);
    EXPECT_FALSE(Sock->TransferActive);
    EXPECT_EQ(Sock->SendQueue.Size(), 0);
    ExpectScriptDone(peer);
    EXPECT_EQ(peer.Received(), "");
}

TEST_F(ZelSockTransfer, CancelKeepsTheUnsentRestAndTheSocketResumesIt) {
    const std::size_t size = 16u * 1024 * 1024;  // far more than the socket buffers hold
    const std::string data = testsupport::RandomBytes(size, 3);
    ScriptedPeer peer;
    peer.SetStepTimeout(20s);
    peer.Pause(1500ms).ExpectBytes(size).Close().Start();
    ConnectTo(peer);
    rtl::TMemoryStream stream;
    stream.WriteString(data);
    Sock->LastError = 0;  // the connect left its "would block" here
    {
        // Cancel once the socket is full: only then does it announce when it can take more.
        TLater cancel(20ms, [this] {
            if (Sock->LastError == 10035 && !Sock->Canceled) Sock->Cancel();
        }, false);
        EXPECT_EQ(MessageOf<EAbortError>([&] { Sock->SendStream(stream); }), "Socket send aborted");
    }
    EXPECT_FALSE(Sock->Canceled);
    EXPECT_FALSE(Sock->TransferActive);
    const auto sent = static_cast<std::size_t>(Sock->BytesSent);
    ASSERT_GT(sent, 0u);
    ASSERT_LT(sent, size);
    EXPECT_EQ(Sock->SendQueue.ToString(), data.substr(sent));
    EXPECT_EQ(Sock->SendQueue.Position(), 0);

    // The open socket's next write notification sends the rest.
    ASSERT_TRUE(testsupport::PumpUntil([this] { return Sock->SendQueue.Size() == 0; }, 15000ms));
    ExpectScriptDone(peer);
    EXPECT_TRUE(peer.Received() == data) << "the resumed bytes differ from the stream";
}

TEST_F(ZelSockTransfer, PeerResetEndsTheSend) {
    ScriptedPeer peer;
    peer.ExpectBytes(100000).Reset().Start();
    ConnectTo(peer);
    rtl::TMemoryStream stream;
    stream.WriteString(testsupport::RandomBytes(16u * 1024 * 1024, 4));
    EXPECT_EQ(MessageOf<ESockError>([&] { Sock->SendStream(stream); }), net::ConnectionClosedText);
    EXPECT_FALSE(Sock->TransferActive);
    ASSERT_TRUE(testsupport::PumpUntil([this] { return !Sock->Connected; }, 5000ms));
    EXPECT_EQ(Sock->SendQueue.Size(), 0);  // nothing left over for the next connection
    EXPECT_EQ(MessageOf<ESockError>([this] { Sock->Writeln("MORE"); }), net::ConnectionClosedText);
    ExpectScriptDone(peer);
}

TEST_F(ZelSockTransfer, HandlerExceptionsInPassesAreDiscarded) {
    const std::string data = testsupport::RandomBytes(40000, 9);
    ScriptedPeer peer;
    peer.ExpectData(data).Send("250 ok\r\n").Close().Start();
    ConnectTo(peer);
    int received = 0;
    Sock->OnPacketSent = [&](rtl::TObject*) {
        Packets.emplace_back(Sock->BytesSent, Sock->BytesTotal);
        throw rtl::Exception("progress failed");
    };
    Sock->OnDataReceived = [&](rtl::TObject*) {
        ++received;
        throw rtl::Exception("data failed");
    };
    rtl::TMemoryStream stream;
    stream.WriteString(data);
    Sock->SendStream(stream);
    EXPECT_EQ(Packets.size(), 3u);
    EXPECT_EQ(Sock->ReadLn(), "250 ok\r\n");
    EXPECT_GE(received, 1);
    EXPECT_FALSE(Sock->InHandler);
    ExpectScriptDone(peer);
}

// A notification that arrives while the other pass runs (an event handler
// running the message loop) is not lost: its pass runs once the running one ends.
TEST_F(ZelSockTransfer, PassSkippedWhileAnotherRunsIsRequestedAfterwards) {
    ScriptedPeer peer;
    peer.ExpectBytes(40000).Close().Start();
    ConnectTo(peer);
    std::vector<std::uint16_t> errors;
    Sock->OnError = [&](rtl::TObject*, std::uint16_t no, const std::string&) { errors.push_back(no); };
    Sock->OnPacketSent = [&](rtl::TObject*) {
        if (Sock->BytesSent != 16383) return;
        Sock->ReadToStream();  // the read notification meets the running send pass
        EXPECT_TRUE(errors.empty()) << "the receive pass ran inside the send pass";
    };
    rtl::TMemoryStream stream;
    stream.WriteString(testsupport::RandomBytes(40000, 5));
    Sock->SendStream(stream);
    // The requested receive pass found nothing waiting: "would block".
    EXPECT_TRUE(testsupport::PumpUntil([&] { return !errors.empty(); }, 2000ms));
    EXPECT_EQ(errors, std::vector<std::uint16_t>{10035});
    ExpectScriptDone(peer);
}

TEST_F(ZelSockTransfer, SendFromOffsetKeepsTheQueue) {
    ScriptedPeer peer;
    peer.ExpectData("first\r\nsecond\r\n").Close().Start();
    ConnectTo(peer);
    Sock->SendFromOffset = true;
    Sock->Writeln("first");
    Sock->Writeln("second");
    EXPECT_EQ(Sock->SendQueue.ToString(), "first\r\nsecond\r\n");
    EXPECT_EQ(Sock->SendQueue.Position(), Sock->SendQueue.Size());
    ExpectScriptDone(peer);
}

TEST_F(ZelSockTransfer, WaitsOnANeverConnectedSocketEnd) {
    EXPECT_EQ(MessageOf<ESockError>([this] { Sock->ReadLn(); }), net::ConnectionClosedText);
    EXPECT_EQ(MessageOf<ESockError>([this] { Sock->Writeln("HELO"); }), net::ConnectionClosedText);
    EXPECT_EQ(Sock->SendQueue.Size(), 0);  // not left to open the next connection
    Sock->Write("");  // nothing queued: complete at once
}

// ---- the connection check and fields ----

TEST_F(ZelSockTransfer, EnsureConnectedAsksTheHandlerOnce) {
    ScriptedPeer peer;
    peer.ReadUntilClose().Start();
    EXPECT_EQ(MessageOf<rtl::Exception>([this] { Sock->EnsureConnected(); }), "Not Connected");
    int asked = 0;
    Sock->OnConnectionRequired = [&](bool& handled) { ++asked, handled = true; };  // claims, but connects nothing
    EXPECT_EQ(MessageOf<rtl::Exception>([this] { Sock->EnsureConnected(); }), "Not Connected");
    EXPECT_EQ(asked, 1);
    Sock->OnConnectionRequired = [&](bool& handled) {
        ++asked;
        ConnectTo(peer);
        handled = true;
    };
    Sock->EnsureConnected();
    Sock->EnsureConnected();  // connected: not asked again
    EXPECT_EQ(asked, 2);
    Sock->Disconnect();
    ExpectScriptDone(peer);
}

TEST(ExtractField, SplitsAtTheDelimiter) {
    EXPECT_EQ(net::ExtractField("Jane Doe <jane@example.test>", '<', 2), "jane@example.test>");
    EXPECT_EQ(net::ExtractField(net::ExtractField("Jane <jane@example.test>", '<', 2), '>', 1), "jane@example.test");
    EXPECT_EQ(net::ExtractField("To:jane@example.test", ':', 2), "jane@example.test");
    EXPECT_EQ(net::ExtractField("plain", ',', 1), "plain");
    EXPECT_EQ(net::ExtractField("plain", ',', 2), "");
    EXPECT_EQ(net::ExtractField("a,,c", ',', 2), "");
    EXPECT_EQ(net::ExtractField("a,,c", ',', 3), "c");
    EXPECT_EQ(net::ExtractField("", ',', 1), "");
    EXPECT_EQ(net::ExtractField("a,b", ',', 0), "");
}

}  // namespace
}  // namespace nettest
