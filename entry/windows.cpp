// The windows' program, which `faxmail` becomes when started without a
// command or with documents to fax.
#include "app/Display.h"
#include "app/FailureText.h"
#include "gui/StartUp.h"

int main(int argc, char** argv) {
    if (!app::DisplayAvailable(argc, argv)) return app::kExitRefused;
    return app::RunWindows(argc, argv);
}
