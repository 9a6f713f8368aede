// A real SMTP server for end-to-end tests: Debian's aiosmtpd, run by
// tests/e2e/smtp_sink.py on 127.0.0.1, storing what it accepts in a folder.
#pragma once

#include "tests/support/PythonServer.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

struct SmtpServerOptions {
    std::uint16_t Port = 0;  // 0: a free port
    // The server's certificate and key (PEM), for the TLS options.
    std::string CertFile;
    std::string KeyFile;
    bool OfferStartTls = false;    // STARTTLS in the EHLO reply
    bool RequireStartTls = false;  // every command but EHLO, STARTTLS, QUIT refused before it
    bool ImplicitTls = false;      // TLS from the first byte
    // Login required, over TLS only, with exactly these; empty User: no login.
    std::string User;
    std::string Password;
    bool OnlyAuthLogin = false;  // AUTH LOGIN offered, AUTH PLAIN not
    long long SizeLimit = 0;     // the SIZE it announces; 0: its default (200 MB)
    bool EchoFailedLogin = false;  // a refused login's 535 repeats the credentials it was sent
    bool EchoCredentials = false;  // every reply after a login that passed repeats them
};

class RealSmtpServer {
public:
    // Throws std::runtime_error when the server does not come up within 20 s.
    explicit RealSmtpServer(std::uint16_t port = 0);
    explicit RealSmtpServer(const SmtpServerOptions& options);
    ~RealSmtpServer();
    RealSmtpServer(const RealSmtpServer&) = delete;
    RealSmtpServer& operator=(const RealSmtpServer&) = delete;

    std::uint16_t Port() const { return Server->Port(); }
    const std::string& Folder() const { return OutDir; }
    // Base path (without extension) of the n-th stored message, counted from 1.
    std::string Message(int n) const;
    // Waits until n messages are stored.
    bool WaitForMessages(int n, std::chrono::milliseconds limit) const;
    int MessageCount() const;
    // What the server read, in order, except a message's text: "clear <line>"
    // or "tls <line>" for each line, and "login ok <user>" or
    // "login refused <user>" for each login attempt.
    std::vector<std::string> Commands() const;

private:
    std::string OutDir;
    std::unique_ptr<PythonServer> Server;
};

// Runs a shell command line (bounded by timeout(1)); returns its exit code
// (-1 when it did not end within the limit) and what it printed.
int RunCommand(const std::string& command, std::string& output, std::chrono::seconds limit = std::chrono::seconds(60));

// Runs /usr/bin/python3 with the arguments, like RunCommand.
int RunPython(const std::string& args, std::string& output, std::chrono::seconds limit = std::chrono::seconds(60));

// The repository's folder (from this source file's location).
std::string SourceRoot();

// Writes text to a new file in the folder.
void WriteTextFile(const std::string& path, const std::string& text);

// Text as a JSON string (quote and backslash escaped; UTF-8 passes as it is).
std::string JsonString(const std::string& text);
// Checks the server's n-th message with tests/e2e/check_message.py against
// Expect (a JSON object); returns what it printed, "message ok" when all is
// well, except a SpamAssassin verdict, which it prints to standard output.
std::string CheckMessage(const RealSmtpServer& server, int n, const std::string& Expect);

}  // namespace testsupport
