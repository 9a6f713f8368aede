// The loop runs until the start window closes.
#include "app/StartUp.h"
#include "platform/Application.h"

int main(int argc, char** argv) {
    app::TStartUp startUp(argc, argv);
    Win::Application().Run();
    return 0;
}
