// The program's one entry. With a command (send, coverage, --help, --version)
// the program runs without windows; otherwise the loop runs until the start
// window closes. It alone knows both front ends, which never know each other.
#include "app/Display.h"
#include "app/FailureText.h"
#include "cli/CommandLine.h"
#include "gui/StartUp.h"

int main(int argc, char** argv) {
    if (app::IsCommandLine(argc, argv)) return app::RunCommandLine(argc, argv);
    if (!app::DisplayAvailable(argc, argv)) return app::kExitRefused;
    return app::RunWindows(argc, argv);
}
