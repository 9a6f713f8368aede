// Start-up: the start window first (the application's main window), then the
// main window, hidden; the loop runs until the start window closes.
#include "app/Constants.h"
#include "app/Forms.h"
#include "app/Unit1.h"
#include "app/Unit4.h"
#include "platform/Application.h"

int main(int argc, char** argv) {
    app::TApplicationObject qtApplication(argc, argv);
    Win::Application().Title = app::kApplicationTitle;

    app::TForm4 form4;
    app::TForm1 form1(&form4);
    form4.SetMainWindow(&form1);
    form4.show();
    app::CenterOnScreen(&form4);

    Win::Application().Run();
    return 0;
}
