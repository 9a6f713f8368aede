// Program start-up: the application object, then the start window (the
// application's main window), then the main window, hidden.
#pragma once

#include "app/Forms.h"
#include "app/Unit1.h"
#include "app/Unit4.h"

namespace app {

struct TStartUp {
    TStartUp(int& argc, char** argv);
    TApplicationObject Application;
    TForm4 Form4;
    TForm1 Form1;
};

}  // namespace app
