// The settings page's 测试连接 in the main window: the connection test with
// what the window holds, its steps in the status bar, the result in a box,
// and a working alternative applied only when the user says yes.
#pragma once

namespace app {

class TForm1;

void TestConnection(TForm1& form);

}  // namespace app
