// A real IMAP server for the confirmation watch's tests: Debian's dovecot,
// run as root in the foreground with a configuration of its own in a
// temporary folder (the test authority's certificate, STARTTLS and TLS from
// the start on run-time ports of 127.0.0.1, one passwd-file user, the test's
// own Maildir). Nothing of the system's configuration is read or changed.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

class DovecotServer {
public:
    static constexpr const char* kUser = "fax@example.org";
    static constexpr const char* kPassword = "Secret-42 pass";

    // Throws std::runtime_error when dovecot does not listen within 20 s.
    DovecotServer();
    ~DovecotServer();  // stops it (bounded) and removes the folder
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    std::uint16_t StartTlsPort() const { return ImapPort; }
    std::uint16_t TlsPort() const { return ImapsPort; }

    // Places a message in the Maildir as delivery would, arrived at Arrived,
    // with the Maildir flags given ("S" seen, "F" flagged, ""), and returns
    // its file name.
    std::string Deliver(const std::string& Text, std::time_t Arrived, const std::string& Flags = "");
    // The messages' file names (they carry the flags), sorted.
    std::vector<std::string> MessageFiles() const;
    // Empties the Maildir.
    void Clear();

private:
    void Shutdown();
    std::string Folder;
    pid_t Pid = -1;
    std::uint16_t ImapPort = 0;
    std::uint16_t ImapsPort = 0;
    int Count = 0;
};

}  // namespace testsupport
