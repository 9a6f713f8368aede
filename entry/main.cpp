// The program's one entry. With a command (send, coverage, --help, --version)
// the program runs without windows; otherwise it becomes the windows' program,
// and `watch` the watch's: each of those loads its own libraries (the window
// system, the IMAP library), which no other command pays for.
#include "app/FailureText.h"
#include "cli/CommandLine.h"
#include "platform/LocaleText.h"
#include "platform/Modules.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Replaces this process with the private program `name`, with the same
// arguments and environment; the exit status when it cannot.
int Become(const char* name, char** argv) {
    const std::string path = Win::PrivateFile(name);
    if (!path.empty()) ::execv(path.c_str(), argv);
    const int error = errno;
    std::setlocale(LC_ALL, "");
    std::string text = "无法启动 " + (path.empty() ? std::string(name) : path) + "（安装不完整？）";
    if (!path.empty()) text += "：" + std::string(std::strerror(error));
    text = Win::Utf8ToTerminal(rtl::TUtf8Text(text + "\n"));
    std::fwrite(text.data(), 1, text.size(), stderr);
    return app::kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
    if (!app::IsCommandLine(argc, argv)) return Become("faxmail-windows", argv);
    if (std::strcmp(argv[1], "watch") == 0) return Become("faxmail-watch", argv);
    const int status = app::RunCommandLine(argc, argv);
#ifdef FAXMAIL_SANITIZE
    return status;  // the leak check runs at exit
#else
    // What is left is the libraries' teardown of their tables (the number
    // front's metadata, ICU's sets), about a millisecond of a short command;
    // everything of ours is written and closed by now.
    std::fflush(nullptr);
    std::_Exit(status);
#endif
}
