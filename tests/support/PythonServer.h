// A server script run with /usr/bin/python3 for one test. The script prints
// "PORT <n>" once it listens on 127.0.0.1 and ends when its standard input
// closes, so a test that dies takes the server with it.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

class PythonServer {
public:
    // Throws std::runtime_error when the script does not report its port within 20 s.
    PythonServer(const std::string& script, const std::vector<std::string>& args);
    // Closes the script's standard input; kills it when it has not ended after 5 s.
    ~PythonServer();
    PythonServer(const PythonServer&) = delete;
    PythonServer& operator=(const PythonServer&) = delete;

    std::uint16_t Port() const { return ListenPort; }

private:
    void Stop();
    pid_t Pid = -1;
    int StdinFd = -1;
    std::uint16_t ListenPort = 0;
};

}  // namespace testsupport
