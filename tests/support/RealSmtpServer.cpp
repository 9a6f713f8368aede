#include "tests/support/RealSmtpServer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>

namespace testsupport {

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
    // A filter's verdict goes to the test's output; the rest is the answer.
    std::string answer;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("spamassassin: ", 0) == 0)
            std::cout << line << std::endl;
        else
            answer += (answer.empty() ? "" : "\n") + line;
    }
    return answer;
}

namespace {

SmtpServerOptions OnPort(std::uint16_t port) {
    SmtpServerOptions options;
    options.Port = port;
    return options;
}

}  // namespace

RealSmtpServer::RealSmtpServer(std::uint16_t port) : RealSmtpServer(OnPort(port)) {}

RealSmtpServer::RealSmtpServer(const SmtpServerOptions& options) {
    std::string pattern = ::testing::TempDir() + "smtp-sink-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    OutDir = pattern;
    std::vector<std::string> args{OutDir, std::to_string(options.Port)};
    if (!options.CertFile.empty()) args.insert(args.end(), {"--cert", options.CertFile, "--key", options.KeyFile});
    if (options.OfferStartTls) args.push_back("--starttls");
    if (options.RequireStartTls) args.push_back("--require-starttls");
    if (options.ImplicitTls) args.push_back("--implicit-tls");
    if (!options.User.empty()) args.insert(args.end(), {"--login", options.User + ":" + options.Password});
    if (options.OnlyAuthLogin) args.push_back("--only-auth-login");
    if (options.SizeLimit > 0) args.push_back("--size=" + std::to_string(options.SizeLimit));
    if (options.EchoFailedLogin) args.push_back("--echo-failed-login");
    if (options.EchoCredentials) args.push_back("--echo-credentials");
    try {
        Server = std::make_unique<PythonServer>(SourceRoot() + "/tests/e2e/smtp_sink.py", args);
    } catch (const std::runtime_error&) {
        std::error_code ec;
        std::filesystem::remove_all(OutDir, ec);
        throw std::runtime_error("the SMTP server did not start (is python3-aiosmtpd installed?)");
    }
}

RealSmtpServer::~RealSmtpServer() {
    Server.reset();
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

std::vector<std::string> RealSmtpServer::Commands() const {
    std::ifstream in(OutDir + "/commands.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int RunCommand(const std::string& command, std::string& output, std::chrono::seconds limit) {
    const std::string line = "timeout " + std::to_string(limit.count()) + " " + command + " 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buf[4096];
    output.clear();
    while (const std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) output.append(buf, n);
    const int status = ::pclose(pipe);
    if (!WIFEXITED(status)) return -1;
    const int code = WEXITSTATUS(status);
    return code == 124 ? -1 : code;
}

int RunPython(const std::string& args, std::string& output, std::chrono::seconds limit) {
    return RunCommand("/usr/bin/python3 " + args, output, limit);
}

}  // namespace testsupport
