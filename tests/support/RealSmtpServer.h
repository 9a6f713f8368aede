// A real SMTP server for end-to-end tests: Debian's aiosmtpd, run by
// tests/e2e/smtp_sink.py on 127.0.0.1, storing what it accepts in a folder.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace testsupport {

class RealSmtpServer {
public:
    // port 0: a free port. Throws std::runtime_error when the server does not come up within 20 s.
    explicit RealSmtpServer(std::uint16_t port = 0);
    ~RealSmtpServer();
    RealSmtpServer(const RealSmtpServer&) = delete;
    RealSmtpServer& operator=(const RealSmtpServer&) = delete;

    std::uint16_t Port() const { return ListenPort; }
    const std::string& Folder() const { return OutDir; }
    // Base path (without extension) of the n-th stored message, counted from 1.
    std::string Message(int n) const;
    // Waits until n messages are stored.
    bool WaitForMessages(int n, std::chrono::milliseconds limit) const;
    int MessageCount() const;

private:
    void Stop();
    pid_t Pid = -1;
    int StdinFd = -1;
    std::uint16_t ListenPort = 0;
    std::string OutDir;
};

// Runs /usr/bin/python3 with the arguments; returns its exit code (-1 when it
// did not end within the limit) and what it printed.
int RunPython(const std::string& args, std::string& output, std::chrono::seconds limit = std::chrono::seconds(60));

// The repository's folder (from this source file's location).
std::string SourceRoot();

// Writes text to a new file in the folder.
void WriteTextFile(const std::string& path, const std::string& text);

// Text as a JSON string (quote and backslash escaped; UTF-8 passes as it is).
std::string JsonString(const std::string& text);
// Checks the server's n-th message with tests/e2e/check_message.py against
// Expect (a JSON object); returns what it printed, "message ok" when all is well.
std::string CheckMessage(const RealSmtpServer& server, int n, const std::string& Expect);

}  // namespace testsupport
