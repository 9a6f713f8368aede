// A loopback TCP server on its own thread that plays a script of expected
// input and replies, and records every byte it received.
//
//   testsupport::ScriptedPeer peer;            // listening on 127.0.0.1 at once
//   peer.Send("220 ready\r\n").Expect("HELO me").Send("250 ok\r\n").Close();
//   peer.Start();                               // accepts the first connection, plays the steps
//   ... drive the client against peer.Port() ...
//   EXPECT_TRUE(peer.WaitDone(std::chrono::seconds(5)));
//   EXPECT_THAT(peer.Failures(), testing::IsEmpty());
//
// Every blocking step is bounded by StepTimeout, and Finish() (also run by the
// destructor) stops the thread within a few tens of milliseconds, so a
// misbehaving client shows as a failure, never as a hung test. The first
// failing step ends the script and closes the connection, so the client under
// test sees the connection go instead of waiting for replies that never come.
// After the last step the peer keeps reading and recording until the client
// closes or Finish() runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptedPeer {
public:
    using Ms = std::chrono::milliseconds;

    // Binds 127.0.0.1:port (0: an ephemeral port) and listens; throws
    // std::runtime_error when that fails.
    explicit ScriptedPeer(std::uint16_t port = 0, int backlog = 16);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // ---- script steps, added before Start(); each returns *this ----

    // The next line (up to and including LF) must be line followed by CR LF.
    ScriptedPeer& Expect(const std::string& line);
    // The next bytes must be exactly these.
    ScriptedPeer& ExpectData(const std::string& bytes);
    // Takes the next count bytes, whatever they are (read them with Received()).
    ScriptedPeer& ExpectBytes(std::size_t count);
    // Takes bytes up to and including the first occurrence of terminator.
    ScriptedPeer& ExpectUntil(const std::string& terminator);
    // Takes everything until the client closes; a failure when it does not.
    ScriptedPeer& ReadUntilClose();

    ScriptedPeer& Send(const std::string& bytes);
    // Sends in pieces of pieceSize bytes with a pause between them, so the
    // client sees them in separate reads.
    ScriptedPeer& SendPieces(const std::string& bytes, std::size_t pieceSize, Ms pause = Ms(20));
    ScriptedPeer& SendBytewise(const std::string& bytes, Ms pause = Ms(2)) { return SendPieces(bytes, 1, pause); }
    // Sends piece times over, never holding more than the piece: a flood of
    // any size (each piece bounded by StepTimeout).
    ScriptedPeer& SendRepeated(const std::string& piece, std::size_t times);

    // Does nothing, reads nothing: the client's data piles up in the socket.
    ScriptedPeer& Pause(Ms duration);
    // Graceful close (FIN); unread input is drained first so that the close
    // does not turn into a reset.
    ScriptedPeer& Close();
    // Abortive close: linger 0, the client sees a reset.
    ScriptedPeer& Reset();
    // Closes the current connection if it is still open, then waits for the next one.
    ScriptedPeer& AcceptNext();
    // Runs fn on the peer's thread (for instance to signal the test).
    ScriptedPeer& Call(std::function<void()> fn);

    // Bound of each blocking step (default 5 s); set before Start().
    void SetStepTimeout(Ms timeout) { StepTimeout = timeout; }

    // Accepts the first connection and plays the script on the peer's thread.
    void Start();
    // Stops the thread (bounded) and closes every socket. Idempotent.
    void Finish();

    // ---- results, readable at any time from any thread ----

    std::uint16_t Port() const { return ListenPort; }
    // Every byte received on every connection, in order.
    std::string Received() const;
    // One text per failed step; empty when the script went as written.
    std::vector<std::string> Failures() const;
    // True once the script has ended (all steps played, or one failed).
    bool Done() const;
    // Waits up to timeout for the script to end; true when it has.
    bool WaitDone(Ms timeout) const;
    int ConnectionsAccepted() const { return Accepted.load(); }

private:
    struct Step;
    enum class Io { Ok, Closed, TimedOut, Stopped, Failed };

    ScriptedPeer& Add(int kind, std::string text = {}, std::size_t size = 0, Ms wait = Ms(0),
                      std::function<void()> fn = {});
    void Run();
    bool Play(std::size_t index, const Step& step);
    bool AcceptConnection();
    void CloseConnection(bool reset);
    // Reads what is available (waiting up to slice); appends to Pending and the record.
    Io ReadSome(Ms slice);
    // Reads until pred(Pending) holds, the deadline passes or the connection ends.
    Io ReadUntil(const std::function<bool()>& pred);
    Io SendAll(const char* data, std::size_t size);
    void Fail(std::size_t index, const std::string& text);
    bool SleepFor(Ms duration);  // false when stopped meanwhile

    std::vector<Step> Steps;
    Ms StepTimeout{5000};
    int ListenFd = -1;
    int ConnFd = -1;
    std::uint16_t ListenPort = 0;
    std::string Pending;  // received and not yet taken by a step (peer thread only)

    std::thread Worker;
    std::atomic<bool> StopRequested{false};
    std::atomic<int> Accepted{0};
    mutable std::mutex Lock;
    mutable std::condition_variable DoneSignal;
    std::string Record;
    std::vector<std::string> FailureTexts;
    bool ScriptDone = false;
};

// A listener whose accept queue is full, so a further connect attempt stays
// pending (its SYNs are dropped) until the listener goes away. For testing
// connect time-outs and cancellation against a server that never answers.
class StalledListener {
public:
    StalledListener();  // throws std::runtime_error when the queue cannot be filled
    ~StalledListener();
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;
    std::uint16_t Port() const { return ListenPort; }

private:
    void Release();
    int ListenFd = -1;
    std::vector<int> Fillers;
    std::uint16_t ListenPort = 0;
};

}  // namespace testsupport
