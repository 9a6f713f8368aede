// With a command (send, coverage, --help, --version) the program runs without
// windows; otherwise the loop runs until the start window closes.
#include "app/CommandLine.h"
#include "app/Display.h"
#include "app/StartUp.h"
#include "platform/Application.h"

int main(int argc, char** argv) {
    if (app::IsCommandLine(argc, argv)) return app::RunCommandLine(argc, argv);
    if (!app::DisplayAvailable(argc, argv)) return app::kExitRefused;
    app::TStartUp startUp(argc, argv);
    Win::Application().Run();
    return 0;
}
