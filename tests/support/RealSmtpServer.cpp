#include "tests/support/RealSmtpServer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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

std::string SourceRoot() {
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().string();
}

void WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string CheckMessage(const RealSmtpServer& server, int n, const std::string& Expect) {
    const std::string path = server.Folder() + "/expect" + std::to_string(n) + ".json";
    WriteTextFile(path, Expect);
    std::string output;
    RunPython(SourceRoot() + "/tests/e2e/check_message.py " + server.Message(n) + " " + path, output);
    if (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

RealSmtpServer::RealSmtpServer(std::uint16_t port) {
    std::string pattern = ::testing::TempDir() + "smtp-sink-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    OutDir = pattern;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string script = SourceRoot() + "/tests/e2e/smtp_sink.py";
    const std::string portText = std::to_string(port);
    const char* argv[] = {"/usr/bin/python3", script.c_str(), OutDir.c_str(), portText.c_str(), nullptr};
    const int rc = ::posix_spawn(&Pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    StdinFd = in[1];
    if (rc != 0) {
        ::close(out[0]);
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
        throw std::runtime_error("the SMTP server did not start (is python3-aiosmtpd installed?)");
    }
    ListenPort = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
}

RealSmtpServer::~RealSmtpServer() { Stop(); }

void RealSmtpServer::Stop() {
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
    std::error_code ec;
    if (!OutDir.empty()) std::filesystem::remove_all(OutDir, ec);
}

std::string RealSmtpServer::Message(int n) const { return OutDir + "/msg" + std::to_string(n); }

int RealSmtpServer::MessageCount() const {
    int n = 0;
    while (std::filesystem::exists(Message(n + 1) + ".eml")) ++n;
    return n;
}

bool RealSmtpServer::WaitForMessages(int n, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (MessageCount() < n) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int RunPython(const std::string& args, std::string& output, std::chrono::seconds limit) {
    const std::string command = "timeout " + std::to_string(limit.count()) + " /usr/bin/python3 " + args + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buf[4096];
    output.clear();
    while (const std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) output.append(buf, n);
    const int status = ::pclose(pipe);
    if (!WIFEXITED(status)) return -1;
    const int code = WEXITSTATUS(status);
    return code == 124 ? -1 : code;
}

}  // namespace testsupport
