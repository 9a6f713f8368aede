#include "tests/support/DovecotServer.h"

#include "tests/support/Ports.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utime.h>

namespace testsupport {
namespace {

// The unprivileged owner of the Maildir: dovecot refuses to read mail as root.
constexpr uid_t kMailUid = 65534;
constexpr gid_t kMailGid = 65534;

bool Listening(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

DovecotServer::DovecotServer() {
    if (::geteuid() != 0) throw std::runtime_error("dovecot needs root here");
    std::string pattern = ::testing::TempDir() + "dovecot-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    Folder = pattern;
    ::chmod(Folder.c_str(), 0755);
    namespace fs = std::filesystem;
    for (const char* sub : {"run", "state", "home", "Maildir/cur", "Maildir/new", "Maildir/tmp"}) fs::create_directories(Folder + "/" + sub);
    for (const char* sub : {"home", "Maildir", "Maildir/cur", "Maildir/new", "Maildir/tmp"})
        ::chown((Folder + "/" + sub).c_str(), kMailUid, kMailGid);
    WriteTextFile(Folder + "/passwd", std::string(kUser) + ":{PLAIN}" + kPassword + "\n");
    ImapPort = UnusedPort();
    ImapsPort = UnusedPort();
    const TestCertificates& certificates = Certificates();
    const std::string conf = Folder + "/dovecot.conf";
    WriteTextFile(conf, "base_dir = " + Folder + "/run\n"
                        "state_dir = " + Folder + "/state\n"
                        "log_path = " + Folder + "/dovecot.log\n"
                        "protocols = imap\n"
                        "listen = 127.0.0.1\n"
                        "ssl = required\n"
                        "ssl_cert = <" + certificates.Server.Cert + "\n"
                        "ssl_key = <" + certificates.Server.Key + "\n"
                        "disable_plaintext_auth = yes\n"
                        "auth_mechanisms = plain login\n"
                        "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " + Folder + "/passwd\n}\n"
                        "userdb {\n  driver = static\n  args = uid=" + std::to_string(kMailUid) + " gid=" + std::to_string(kMailGid) +
                        " home=" + Folder + "/home\n}\n"
                        "mail_location = maildir:" + Folder + "/Maildir\n"
                        // New mail is noticed within a second during IDLE.
                        "mailbox_idle_check_interval = 1 secs\n"
                        "service imap-login {\n"
                        "  inet_listener imap {\n    address = 127.0.0.1\n    port = " + std::to_string(ImapPort) + "\n  }\n"
                        "  inet_listener imaps {\n    address = 127.0.0.1\n    port = " + std::to_string(ImapsPort) + "\n    ssl = yes\n  }\n"
                        "}\n");
    Pid = ::fork();
    if (Pid == 0) {
        ::execl("/usr/sbin/dovecot", "dovecot", "-F", "-c", conf.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(Listening(ImapPort) && Listening(ImapsPort))) {
        int status = 0;
        if (Pid < 0 || ::waitpid(Pid, &status, WNOHANG) == Pid || std::chrono::steady_clock::now() > deadline) {
            Pid = -1;
            Shutdown();
            throw std::runtime_error("dovecot did not start (is dovecot-imapd installed?)");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

DovecotServer::~DovecotServer() { Shutdown(); }

void DovecotServer::Shutdown() {
    if (Pid > 0) {
        ::kill(Pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(Pid, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(Pid, SIGKILL);
                ::waitpid(Pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Pid = -1;
    }
    std::error_code ec;
    if (!Folder.empty()) std::filesystem::remove_all(Folder, ec);
    Folder.clear();
}

std::string DovecotServer::Deliver(const std::string& Text, std::time_t Arrived, const std::string& Flags) {
    const std::string name = std::to_string(Arrived) + ".M" + std::to_string(++Count) + "P" + std::to_string(::getpid()) + ".test:2," + Flags;
    const std::string temporary = Folder + "/Maildir/tmp/" + name;
    WriteTextFile(temporary, Text);
    ::chown(temporary.c_str(), kMailUid, kMailGid);
    const utimbuf times{Arrived, Arrived};
    ::utime(temporary.c_str(), &times);
    std::filesystem::rename(temporary, Folder + "/Maildir/cur/" + name);
    return name;
}

std::vector<std::string> DovecotServer::MessageFiles() const {
    std::vector<std::string> names;
    for (const char* sub : {"/Maildir/cur", "/Maildir/new"})
        for (const auto& entry : std::filesystem::directory_iterator(Folder + sub)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void DovecotServer::Clear() {
    for (const char* sub : {"/Maildir/cur", "/Maildir/new"})
        for (const auto& entry : std::filesystem::directory_iterator(Folder + sub)) std::filesystem::remove(entry.path());
}

}  // namespace testsupport
