#include "app/StartUp.h"

#include "app/Constants.h"
#include "platform/Application.h"

namespace app {

TStartUp::TStartUp(int& argc, char** argv) : Application(argc, argv), Form4(), Form1(&Form4) {
    Win::Application().Title = kApplicationTitle;
    Form4.SetMainWindow(&Form1);
    Form4.show();
    CenterOnScreen(&Form4);
}

}  // namespace app
