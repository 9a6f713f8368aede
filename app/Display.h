// Whether the windows can open: without a display Qt would abort in its own
// words; the program says in Chinese what to do instead.
#pragma once

namespace app {

// False, after saying so on standard error, when no display is named (no
// DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM nor -platform argument).
bool DisplayAvailable(int argc, char** argv);

}  // namespace app
