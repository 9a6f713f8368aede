#include "tests/support/PythonServer.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {
namespace {

bool WaitExit(pid_t pid, std::chrono::milliseconds limit, int& status) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

PythonServer::PythonServer(const std::string& script, const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<const char*> argv{"/usr/bin/python3", script.c_str()};
    for (const auto& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&Pid, argv[0], &actions, nullptr, const_cast<char**>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    StdinFd = in[1];
    if (rc != 0) {
        Pid = -1;
        ::close(out[0]);
        Stop();
        throw std::runtime_error("cannot start /usr/bin/python3");
    }
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[256];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (line.rfind("PORT ", 0) != 0) {
        Stop();
        throw std::runtime_error(script + " did not start");
    }
    ListenPort = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
}

PythonServer::~PythonServer() { Stop(); }

void PythonServer::Stop() {
    if (StdinFd >= 0) ::close(StdinFd);
    StdinFd = -1;
    if (Pid > 0) {
        int status = 0;
        if (!WaitExit(Pid, std::chrono::seconds(5), status)) {
            ::kill(Pid, SIGKILL);
            ::waitpid(Pid, &status, 0);
        }
        Pid = -1;
    }
}

}  // namespace testsupport
